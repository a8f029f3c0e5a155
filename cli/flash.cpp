// flashtool flash: the words and the screen of a flash of one drive or of
// several at once. The run itself, its phases and what each ends, is
// run/flash_run's; this turns what it tells into lines.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/report.h"
#include "cli/screen.h"
#include "core/image_kind.h"
#include "core/shown.h"
#include "run/flash_run.h"
#include "system/system.h"
#include "transport/image_file.h"

#ifndef FLASHTOOL_VERSION
#define FLASHTOOL_VERSION "unknown"
#endif

namespace {

using Clock = std::chrono::steady_clock;

// What a command is, in words: the download with its block index and the
// checksum it carries.
std::string CommandName(const ScsiCommand &command) {
  char name[64];
  switch (command.cdb[0]) {
    case 0x00: return "TEST UNIT READY";
    case 0x12:
      if ((command.cdb[1] & 0x01) == 0) return "INQUIRY";
      snprintf(name, sizeof name, "INQUIRY page %02Xh", command.cdb[2]);
      return name;
    case 0x55:
      snprintf(name, sizeof name, "download block %02X, checksum %02X%02X", command.cdb[6], command.cdb[9],
               command.cdb[10]);
      return name;
  }
  snprintf(name, sizeof name, "command %02Xh", command.cdb[0]);
  return name;
}

// Every command on standard error as it goes to the drive and as it ends.
class VerboseTap : public CommandTap {
 public:
  void Before(const ScsiCommand &command) override {
    static const char *const directions[] = {"none", "in", "out"};
    std::string cdb = HexBytes(command.cdb, (size_t)command.cdbLength, " %02X");
    char line[256];
    if (command.direction == DATA_NONE || command.data == nullptr)
      snprintf(line, sizeof line, "> %s: cdb%s  no data, time-out %u s", CommandName(command).c_str(), cdb.c_str(),
               (unsigned)command.timeoutSeconds);
    else
      snprintf(line, sizeof line, "> %s: cdb%s  %s %u bytes, time-out %u s", CommandName(command).c_str(),
               cdb.c_str(), directions[command.direction], (unsigned)command.length, (unsigned)command.timeoutSeconds);
    Screen::Errors().Lines(line);
    started_ = Clock::now();
  }
  void After(const ScsiCommand &, const CommandResult &result) override {
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - started_).count();
    std::string sense = HexBytes(result.sense, (size_t)result.senseLength, " %02X");
    char line[256];
    if (result.kind == CommandResult::SYSTEM_ERROR)
      snprintf(line, sizeof line, "< system error %u (%s), %.1f ms", (unsigned)result.systemError,
               SystemErrorText(result.systemError).c_str(), ms);
    else
      snprintf(line, sizeof line, "< status %02Xh, host %02Xh, driver %02Xh, residual %u, sense%s, %.1f ms",
               result.scsiStatus, (unsigned)result.hostStatus, (unsigned)result.driverStatus,
               (unsigned)result.residual, sense.empty() ? " none" : sense.c_str(), ms);
    Screen::Errors().Lines(line);
  }

 private:
  Clock::time_point started_;
};

std::string SignalName(int signal) { return signal != 0 ? InterruptName(signal) : "an interrupt"; }

// What a drive that took every block may be doing when it does not answer,
// and how its polling comes back.
std::string StillWriting(const DriveRun &r) {
  std::string words = "it may still be writing its firmware: leave it powered and connected for some minutes, "
                      "then run `flashtool info " + r.device + "`";
  if (r.pollingLeftOff)
    words += "; the kernel's media polling of it stays off until then, and that command, run as root "
             "once the drive answers, puts it back";
  return words;
}

// "the drive took all 8 blocks.", and of an image of one block "the drive
// took its one block."
std::string TookAll(int blocks) {
  return blocks == 1 ? "the drive took its one block." : "the drive took all " + std::to_string(blocks) + " blocks.";
}

// Endings that are the run's, not one drive's: said once, not per drive.
bool SharedByAll(Ending ending) {
  return ending == Ending::SAME_DRIVE || ending == Ending::MIXED_MODELS || ending == Ending::OTHERS_FAILING ||
         ending == Ending::NOT_CONFIRMED || ending == Ending::INTERRUPTED_BEFORE;
}

// Why a drive's run ended, in the words the user reads and the record
// keeps: the first line, a second one where the drive's state needs it,
// and the hint that fits.
struct Words {
  std::string reason, more;
  Trouble trouble = TROUBLE_NONE;
};

std::string Reason(const CommandResult &result) { return FailureReason(result, SystemErrorText(result.systemError)); }

Words WordsOf(const DriveRun &r, const FlashOptions &options) {
  Words w;
  char where[64];
  switch (r.ending) {
    case Ending::FLASHED:
    case Ending::CHECKED: break;
    case Ending::SAME_DRIVE:
      w.reason = r.other + " and " + r.detail + " are the same drive; name each drive once";
      break;
    case Ending::OPEN_FAILED:
      w.reason = Named(r.device) + r.detail;
      w.trouble = OpenTrouble(r.openFailure);
      break;
    case Ending::NO_IDENTITY:
      w.reason = r.device + " does not say what it is (INQUIRY): " + Reason(r.failure);
      w.trouble = TROUBLE_NO_ANSWER;
      break;
    case Ending::NOT_CONNECTED:
      w.reason = r.device + " answers for a CD/DVD unit that is not connected (peripheral qualifier " +
                 std::to_string(r.identity.qualifier) + "); nothing was sent";
      break;
    case Ending::NOT_CD_DVD:
      w.reason = r.device + " is no CD/DVD drive (device type " + std::to_string(r.identity.deviceType) +
                 "); nothing was sent";
      break;
    case Ending::WRONG_MODEL:
      w.reason = r.device + " is \"" + r.identity.vendor + " " + r.identity.product + "\", not \"" +
                 options.run.expect + "\"; nothing was sent";
      w.trouble = TROUBLE_WRONG_MODEL;
      break;
    case Ending::POLLING_ON:
      w.reason = r.device + ": " + r.detail + "; nothing was sent";
      w.trouble = TROUBLE_POLLING;
      break;
    case Ending::MIXED_MODELS:
      w.reason = "drives of different models: " + r.detail + ", the others \"" + r.other +
                 "\"; one image fits one model: nothing was written to any drive (--expect names the model to flash)";
      break;
    case Ending::OTHERS_FAILING:
      w.reason = "not flashed: " + r.detail + " drives cannot be flashed; nothing was written to any drive "
                 "(--skip-failing flashes the others)";
      break;
    case Ending::NOT_CONFIRMED:
      w.reason = "not confirmed; nothing was sent";
      break;
    case Ending::INTERRUPTED_BEFORE:
      w.reason = "interrupted (" + SignalName(r.signal) + ") before the first block: nothing was written";
      break;
    case Ending::NOT_PREPARED:
      w.reason = r.device + " is not ready to be flashed: " + Reason(r.failure) + "; nothing was written";
      w.trouble = TroubleOf(r.failure);
      break;
    case Ending::BLOCK_REFUSED:
    case Ending::BLOCK_FAILED:
      snprintf(where, sizeof where, "block %02X (%d of the image) failed: ", r.failedIndex, r.blocksSent + 1);
      w.reason = where + Reason(r.failure);
      w.more = r.ending == Ending::BLOCK_REFUSED
                   ? "the drive took no block of the image; it holds what it held"
               : r.holds == Holds::MAY_BE_WRITING
                   ? "the last block went out, but its answer did not come back: " + StillWriting(r)
               : r.blocksSent > 0 ? "the drive holds only the blocks before it; do not use it before a flash succeeds"
                                  : "block 00 may have reached the drive though no answer came back; do not use "
                                    "it before a flash succeeds";
      w.trouble = BlockTrouble(r.failure, r.blocksSent, r.failedIndex == LAST_BLOCK_INDEX);
      break;
    case Ending::INTERRUPTED_AFTER:
      w.reason = "interrupted (" + SignalName(r.signal) +
                 ") during the flash, held until it ended; not waiting for the drive to answer: " + StillWriting(r);
      break;
    case Ending::INTERRUPTED_WAITING:
      w.reason = "interrupted (" + SignalName(r.signal) + ") while waiting for the drive; " + StillWriting(r);
      break;
    case Ending::UNTOLD:
      w.reason = "every block was taken; a drive like it came back, but it cannot be told apart from another "
                 "drive of the same model (no serial number): not confirmed. Ask each with `flashtool info`";
      break;
    case Ending::NO_ANSWER:
      w.reason = "every block was taken, but the drive has not answered within " +
                 std::to_string((long)(r.waitedSeconds + 0.5)) + " s of its last block" +
                 (r.lastAnswerKnown ? " (it last said: " + Reason(r.lastAnswer) + ")" : "") + "; " + StillWriting(r);
      break;
    case Ending::SILENT_AFTER:
      w.reason = "every block was taken, and the drive answered, but does not say what it is now; " + StillWriting(r);
      break;
    case Ending::WRONG_REVISION:
      w.reason = "the drive came back with firmware " + std::string(r.record.after.identity.revision) + ", not " +
                 options.run.expectRevision + " as --expect-revision says; check the image and the drive";
      break;
  }
  return w;
}

// What the run does as it goes, on the screen: for one drive in lines, with
// the progress and the wait redrawn in place; for several a board of one
// row per drive. Calls come from the drives' workers and the run's watch
// at once: one at a time.
class ConsoleObserver : public RunObserver {
 public:
  ConsoleObserver(const FlashOptions &options, std::vector<VerboseTap> &taps, uint64_t imageBytes)
      : options_(options), taps_(taps), several_(options.run.devices.size() > 1 || options.all),
        imageBytes_(imageBytes) {}

  void Asked(const DriveRun &r) override {
    Say("Drive:  %s  %s\n", r.device.c_str(), IdentityText(r.identity).c_str());
    if (!several_) SayImage(r.record);
  }
  void Caution(const DriveRun *r, enum Caution caution, const std::string &detail) override {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    if (boardShown_ && r != nullptr) return;  // the table at the end says what the workers met
    switch (caution) {
      case POLLING_STAYS_ON:
        Warn(r->device + ": " + detail + (r->phase == Phase::CHECK ? "; going on as --allow-polling says" : ""));
        break;
      case SAME_REVISION:
        Warn("the drive reports firmware " + detail +
             ", as before the flash: it may have kept its old firmware (an image it did not take), or "
             "the image holds the same revision");
        break;
      case MAY_SLEEP: Warn(detail); break;
    }
  }
  bool Confirm(const std::vector<const DriveRun *> &drives) override {
    std::string devices;
    for (const DriveRun *r : drives) devices += (devices.empty() ? "" : ", ") + r->device;
    if (options_.yes) return true;
    if (!InputIsTerminal()) {
      Complain("not flashing without --yes: standard input is not a terminal to confirm on");
      refusedSaid_ = true;
      return false;
    }
    Screen::Errors().Raw("Type YES to write " + Shown(options_.image) + " into " + Shown(devices) + ": ");
    char answer[16] = "";
    if (!AwaitInput() || fgets(answer, sizeof answer, stdin) == nullptr) Screen::Errors().Raw("\n");
    return std::string(answer) == "YES\n";
  }
  void BlocksBegin(size_t drives) override {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    if (!several_) {
      Screen::Errors().Lines("Flashing. Do not turn off the power or unplug the drive.");
      return;
    }
    Screen::Errors().Lines("Flashing " + std::to_string(drives) + " drive" + (drives == 1 ? "" : "s") +
                           ". Do not turn off the power or unplug a drive.");
  }
  void PhaseBegins(const DriveRun &r) override {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    if (r.phase == Phase::BLOCKS && several_) {
      Row(r, "flashing");
    } else if (r.phase == Phase::QUIET) {
      if (several_) return Row(r, "waiting for the drive");
      Screen::Errors().EndLive();
      Say("Flashed: %s\n", TookAll(r.blocksSent).c_str());
      Say("Waiting %d s before asking the drive, then up to %d s for it to answer...\n",
          options_.run.settleSeconds, options_.run.readySeconds);
    }
  }
  void Block(const DriveRun &r, double seconds) override {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    if (several_) return Row(r, "flashing");
    int tenth = r.blocks > 0 ? (int)((long long)r.blocksSent * 10 / r.blocks) : 10;
    bool due = tenth > tenthsShown_;
    if (due) tenthsShown_ = tenth;
    // Worded only when it is shown: this runs between two blocks.
    if (due || Screen::Errors().Terminal())
      Screen::Errors().Live(ProgressText(r.blocksSent, r.blocks, imageBytes_, seconds), due);
    if (r.blocksSent == r.blocks) Screen::Errors().EndLive();
  }
  void InterruptHeld(int) override {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    held_ = true;
    if (several_) return Draw();
    Screen::Errors().Lines(HeldWords);
  }
  // A block still outstanding, and the wait after the flash: the clock
  // moves every second on a terminal, every ten seconds elsewhere.
  void StillWaiting(const DriveRun &r, double seconds) override {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    bool blocks = r.phase == Phase::BLOCKS;
    if (several_) {
      if (blocks) Row(r, "block " + std::to_string(r.blocksSent + 1) + ": waiting " + MinutesSeconds(seconds));
      return;
    }
    std::string line = blocks ? "Block " + std::to_string(r.blocksSent + 1) + " of " + std::to_string(r.blocks) +
                                    ": waiting for the drive, " + MinutesSeconds(seconds)
                              : "Waiting for the drive: " + MinutesSeconds(seconds) +
                                    (r.lastAnswerKnown ? ", it last said: " + Reason(r.lastAnswer) : "");
    long tens = (long)seconds / 10;
    bool due = tens > waitToldAt_;
    if (due) waitToldAt_ = tens;
    Screen::Errors().Live(Shown(line), due);
  }
  void CameBack(const DriveRun &r) override {
    if (!several_) Say("The drive came back as %s.\n", r.backAs.c_str());
  }
  void AnsweredAfter(const DriveRun &r) override {
    if (!several_) Say("Drive:  %s  %s\n", r.device.c_str(), IdentityText(r.record.after.identity).c_str());
  }
  void Ended(DriveRun &r) override {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    Words w = WordsOf(r, options_);
    r.record.reason = w.reason;
    r.record.trouble = w.trouble;
    if (!r.record.blockFacts.empty() && r.record.blockFacts.back().outcome.empty())
      r.record.blockFacts.back().outcome = Reason(r.failure);
    if (rows_.count(r.index) != 0) {
      Row(r, r.record.outcome);
      return;  // the table at the end tells the rest
    }
    Screen::Errors().EndLive();
    if (r.ending == Ending::CHECKED && !several_) Say("Dry run: every check passed; nothing was written.\n");
    if (r.ending == Ending::INTERRUPTED_AFTER && !several_) Say("Flashed: %s\n", TookAll(r.blocksSent).c_str());
    if (w.reason.empty()) return;
    // A refusal said before, or the same for every drive, once.
    if (r.ending == Ending::NOT_CONFIRMED && refusedSaid_) return;
    if (SharedByAll(r.ending) && !said_.insert(w.reason).second) return;
    Complain(w.reason);
    if (!w.more.empty()) Complain(w.more);
    Hint(w.trouble);
  }
  CommandTap *Tap(const DriveRun &r) override { return options_.verbose ? &taps_[r.index] : nullptr; }

 private:
  static constexpr const char *HeldWords = "flashtool: interrupt held: the flash ends first";
  struct BoardRow {
    std::string device, identity, state;
    int sent, blocks;
    bool due;
    int tenthsShown;
  };
  // The drive's row on the board, in the order their blocks begin.
  void Row(const DriveRun &r, const std::string &state) {
    auto at = rows_.find(r.index);
    if (at == rows_.end()) {
      const DriveFacts &before = r.record.before;
      std::string identity = before.known ? std::string(before.identity.vendor) + " " + before.identity.product +
                                                " " + before.identity.revision
                                          : "-";
      at = rows_.emplace(r.index, board_.size()).first;
      board_.push_back({r.device, identity, "", 0, 0, false, -1});
    }
    BoardRow &row = board_[at->second];
    int tenth = r.blocks > 0 ? (int)((long long)r.blocksSent * 10 / r.blocks) : 0;
    row.due = tenth > row.tenthsShown || state != row.state;
    if (row.due) row.tenthsShown = tenth;
    row.sent = r.blocksSent;
    row.blocks = r.blocks;
    row.state = state;
    Draw();
  }
  void Draw() {
    std::vector<std::string> lines;
    std::vector<bool> due;
    for (BoardRow &row : board_) {
      char line[160];
      int percent = row.blocks > 0 ? (int)((long long)row.sent * 100 / row.blocks) : 0;
      snprintf(line, sizeof line, "%-10s  %-28.28s  %3d/%-3d %3d%%  %s%s", Shown(row.device).c_str(),
               Shown(row.identity).c_str(), row.sent, row.blocks, percent, row.state.c_str(), ProgressNote());
      lines.push_back(line);
      due.push_back(row.due);
      row.due = false;
    }
    if (held_) {
      lines.push_back(HeldWords);
      due.push_back(!heldTold_);
      heldTold_ = true;
    }
    Screen::Errors().Board(lines, due);
    boardShown_ = true;
  }

  const FlashOptions &options_;
  std::vector<VerboseTap> &taps_;
  bool several_;
  uint64_t imageBytes_;
  std::recursive_mutex lock_;
  std::vector<BoardRow> board_;
  std::map<size_t, size_t> rows_;
  std::set<std::string> said_;
  bool refusedSaid_ = false, held_ = false, heldTold_ = false, boardShown_ = false;
  int tenthsShown_ = 0;
  long waitToldAt_ = 0;
};

std::string RevisionOf(const DriveFacts &facts) { return facts.known ? facts.identity.revision : "-"; }

// What a drive that did not flash holds now, in the words of the table.
const char *HoldsWords(const DriveRun &r) {
  switch (r.holds) {
    case Holds::AS_IT_WAS: return "the drive is as it was";
    case Holds::PART_OF_IMAGE: return "half-written: do not use it before a flash succeeds";
    case Holds::MAY_BE_WRITING: return "it may be writing its firmware: leave it powered";
    case Holds::NEW_FIRMWARE: break;
  }
  return "";
}

// The end of a flash of several drives, within the terminal's width (80
// columns at most): a row per drive with where it sits, its revisions
// before and after, its time and outcome; under it why it ended so, what
// it holds now and where it came back under another node. A reason that is
// the same for every drive comes once, after the rows.
void TellTable(const std::vector<DriveRun> &runs) {
  size_t width = std::min<size_t>(OutputColumns(), 80);
  Say("%-10s  %-9s  %-8s  %-8s  %7s  %s\n", "DEVICE", DrivesHaveNodes() ? "ADDRESS" : "BUS", "BEFORE", "AFTER",
      "TIME", "OUTCOME");
  std::vector<std::string> once;
  for (const DriveRun &r : runs) {
    bool shared = SharedByAll(r.ending);
    std::string reason = shared ? "" : r.record.reason;
    if (shared && std::find(once.begin(), once.end(), r.record.reason) == once.end()) once.push_back(r.record.reason);
    if (!r.record.afterDevice.empty() && r.record.afterDevice != r.record.device)
      reason = "came back as " + r.record.afterDevice + (reason.empty() ? "" : "; " + reason);
    if (r.code != EXIT_FLASHED && !shared) reason += std::string(reason.empty() ? "" : "; ") + HoldsWords(r);
    Say("%-10s  %-9s  %-8s  %-8s  %6.1fs  %s\n%s", r.record.device.c_str(),
        (r.address.empty() ? "-" : r.address).c_str(), RevisionOf(r.record.before).c_str(),
        RevisionOf(r.record.after).c_str(), r.record.seconds, r.record.outcome.c_str(),
        Wrapped(reason, 12, 12, width).c_str());
  }
  for (const std::string &reason : once) Say("%s", Wrapped(reason, 0, 2, width).c_str());
  for (const DriveRun &r : runs) Hint((Trouble)r.record.trouble);
}

// The last word on one drive: what it holds now, in one line, wrapped
// between words at the terminal's width.
void TellVerdict(const DriveRun &r, bool dryRun, bool imageRefused) {
  const RunRecord &record = r.record;
  char seconds[32];
  snprintf(seconds, sizeof seconds, "%.0f s", record.seconds);
  // Named as it was when the run began; where it came back is said after.
  std::string device = Named(record.device), line;
  char code[16];
  snprintf(code, sizeof code, " (exit %d)", r.code);
  if (r.code == EXIT_FLASHED && dryRun)
    line = "checked " + device + "every check passed, nothing was written";
  else if (r.code == EXIT_FLASHED)
    line = "flashed " + device + "firmware " + RevisionOf(record.before) + " -> " + RevisionOf(record.after) +
           " in " + seconds +
           (!record.afterDevice.empty() && record.afterDevice != record.device ? ", back as " + record.afterDevice : "");
  else if (imageRefused || r.ending == Ending::SAME_DRIVE || record.reason.compare(0, device.size(), device) == 0 ||
           record.reason.compare(0, record.device.size() + 1, record.device + " ") == 0)
    line = record.outcome + ": " + record.reason + code;  // it names what it is about
  else
    line = record.outcome + " " + device + record.reason + code;
  Say("%s", Wrapped(line, 0, 2, OutputColumns()).c_str());
}

// Keeps the records: one line per drive in the log, and on standard
// output one object (one drive) or an array (several).
void KeepRecords(const std::vector<DriveRun> &runs, const FlashOptions &options, bool several) {
  std::string why;
  for (const DriveRun &r : runs)
    if (!options.log.empty() && !AppendLine(options.log, JsonLine(RecordJson(r.record)), &why))
      Complain(options.log + ": the record of " + r.device + " was not kept: " + why);
  if (!options.json) return;
  FactsToStandardError(false);
  nlohmann::ordered_json out = nlohmann::ordered_json::array();
  for (const DriveRun &r : runs) out.push_back(RecordJson(r.record));
  Say("%s\n", JsonLine(several ? out : out[0], 2).c_str());
}

// The drives --all flashes: every CD/DVD drive of the --expect identity,
// each of the others named on standard error with the reason it is left.
std::vector<std::string> AllDrives(const FlashOptions &options) {
  std::vector<std::string> devices, left;
  for (const ListedDrive &listed : ListDrives(&left)) {
    if (!listed.error.empty()) {
      Warn("--all leaves out " + listed.device + ": " + listed.error);
    } else if (!IsExpectedDrive(listed.identity, options.run.expect)) {
      Warn("--all leaves out " + listed.device + ": it is \"" + listed.identity.vendor + " " +
           listed.identity.product + "\", not \"" + options.run.expect + "\"");
    } else {
      devices.push_back(listed.device);
    }
  }
  for (const std::string &why : left) Warn("--all leaves out " + why);
  return devices;
}

// What every drive's record of this run starts with: the run and its image.
RunRecord StartRecord(const FlashOptions &options, const LoadedImage &image) {
  RunRecord r;
  r.started = UtcNow();
  r.host = HostName();
  r.version = FLASHTOOL_VERSION;
  r.command = options.run.dryRun ? "flash --dry-run" : "flash";
  r.imagePath = options.image;
  ReadImageFacts(r, image);
  return r;
}

// The runs of drives that never began: the image or the log is refused.
std::vector<DriveRun> Refused(const FlashOptions &options, const RunRecord &start, const std::string &reason) {
  std::vector<DriveRun> runs(options.run.devices.size());
  for (size_t i = 0; i < runs.size(); ++i) {
    runs[i].device = NameDrive(options.run.devices[i]).shown;
    runs[i].record = start;
    runs[i].record.device = runs[i].device;
    runs[i].code = EXIT_BAD_INPUT;
    runs[i].record.reason = reason;
    runs[i].record.ended = UtcNow();
    runs[i].record.exitCode = EXIT_BAD_INPUT;
    runs[i].record.outcome = OutcomeWord(EXIT_BAD_INPUT, options.run.dryRun);
  }
  return runs;
}

}  // namespace

int FlashCommand(FlashOptions options) {
  CatchInterrupts();
  if (options.json) FactsToStandardError(true);
  if (options.all) {
    options.run.devices = AllDrives(options);
    if (options.run.devices.empty()) {
      Complain("no CD/DVD drive is \"" + options.run.expect + "\"; nothing was written");
      return Finished(EXIT_REFUSED);
    }
  }
  bool several = options.run.devices.size() > 1 || options.all;
  // A record that cannot be kept is known before a drive is touched.
  std::string why;
  if (!options.log.empty() && !CanAppend(options.log, &why)) {
    Complain(options.log + ": cannot append the record to it: " + why);
    return Finished(EXIT_BAD_INPUT);
  }

  // The image first, once: nothing reaches a drive for an image that cannot go.
  LoadedImage image = LoadImageFile(options.image.c_str());
  RunRecord start = StartRecord(options, image);
  std::string problem = ImageProblem(image);
  // A drive where the image goes: the words were swapped, whatever else is wrong.
  if (image.outcome == IMAGE_NOT_A_FILE && !NameDrive(options.image).key.empty())
    problem += " (is DEVICE before IMAGE?)";
  if (problem.empty() && !DigestProblem(start, options.sha256).empty())
    problem = DigestProblem(start, options.sha256) + "; nothing was sent";
  std::string notFirmware = NoFirmwareWords(image);
  if (problem.empty() && !notFirmware.empty() && !options.anyImage)
    problem = notFirmware + "; nothing was sent (--any-image flashes it all the same)";
  std::vector<DriveRun> runs;
  if (!problem.empty()) {
    Complain(options.image + ": " + problem);
    runs = Refused(options, start, options.image + ": " + problem);
  } else {
    if (!notFirmware.empty()) Warn(options.image + " " + notFirmware + "; flashing it as --any-image says");
    std::vector<VerboseTap> taps(options.run.devices.size());
    ConsoleObserver observer(options, taps, image.plan.imageSize);
    runs = RunFlash(ThisSystem(), options.run, image, start, observer);
  }
  FreeImage(image);
  bool once = !runs.empty() && (runs[0].ending == Ending::SAME_DRIVE || !problem.empty());
  if (several && !once) TellTable(runs);
  for (const DriveRun &r : runs) {
    TellVerdict(r, options.run.dryRun, !problem.empty());
    if (once) break;
  }
  KeepRecords(runs, options, several);
  return Finished(several ? RunCode(runs) : runs[0].code);
}
