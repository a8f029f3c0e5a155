// flashtool flash: one drive, or several at once, one worker each.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/report.h"
#include "cli/system.h"
#include "core/flash_sequence.h"
#include "core/shown.h"
#include "discovery/comeback.h"
#include "transport/image_file.h"

#ifndef FLASHTOOL_VERSION
#define FLASHTOOL_VERSION "unknown"
#endif

namespace {

using Clock = std::chrono::steady_clock;

enum {
  // The last block's command: a drive may erase and program its flash
  // before it answers it, and a time-out would have the kernel reset it.
  LAST_BLOCK_TIMEOUT_S = 300,
  // TEST UNIT READY while the drive restarts, for the same reason.
  SETTLE_READY_TIMEOUT_S = 30
};

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The drive's identity and serial number (empty when it has none); false,
// with the reason told, when it does not answer.
bool AskIdentity(DriveLink &link, const std::string &device, DriveIdentity *identity,
                 std::string *serial) {
  CommandResult result = AskIdentity(link, identity, serial);
  if (result.Succeeded()) return true;
  Complain(device + " does not say what it is (INQUIRY): " +
           FailureReason(result, SystemErrorText(result.systemError)));
  return false;
}

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
    if (command.direction == DATA_NONE || command.data == nullptr)
      fprintf(stderr, "> %s: cdb%s  no data, time-out %u s\n", CommandName(command).c_str(), cdb.c_str(),
              (unsigned)command.timeoutSeconds);
    else
      fprintf(stderr, "> %s: cdb%s  %s %u bytes, time-out %u s\n", CommandName(command).c_str(), cdb.c_str(),
              directions[command.direction], (unsigned)command.length, (unsigned)command.timeoutSeconds);
    started_ = Clock::now();
  }
  void After(const ScsiCommand &, const CommandResult &result) override {
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - started_).count();
    std::string sense = HexBytes(result.sense, (size_t)result.senseLength, " %02X");
    if (result.kind == CommandResult::SYSTEM_ERROR) {
      fprintf(stderr, "< system error %u (%s), %.1f ms\n", (unsigned)result.systemError,
              SystemErrorText(result.systemError).c_str(), ms);
      return;
    }
    fprintf(stderr, "< status %02Xh, host %02Xh, driver %02Xh, residual %u, sense%s, %.1f ms\n",
            result.scsiStatus, (unsigned)result.hostStatus, (unsigned)result.driverStatus,
            (unsigned)result.residual, sense.empty() ? " none" : sense.c_str(), ms);
  }

 private:
  Clock::time_point started_;
};

// The progress of several drives: on a terminal one line per drive,
// redrawn in place; elsewhere a line per drive at every tenth.
class ProgressBoard {
 public:
  // A Windows console before Windows 10 shows the cursor controls as text.
#ifdef _WIN32
  explicit ProgressBoard(bool) : terminal_(false) {}
#else
  explicit ProgressBoard(bool terminal) : terminal_(terminal) {}
#endif
  void Add(const std::string &device, const std::string &identity) {
    rows_.push_back({device, identity, 0, 0, "waiting", 0});
  }
  void Update(size_t row, int sent, int blocks, const std::string &state) {
    std::lock_guard<std::mutex> hold(lock_);
    Row &r = rows_[row];
    r.sent = sent;
    r.blocks = blocks;
    r.state = state;
    int tenth = blocks > 0 ? (int)((long long)sent * 10 / blocks) : 0;
    if (terminal_) {
      Draw();
    } else if (tenth > r.tenthsShown || state != "flashing") {
      r.tenthsShown = tenth;
      fprintf(stderr, "%s\n", Line(r).c_str());
    }
  }
  void Start() {
    std::lock_guard<std::mutex> hold(lock_);
    if (terminal_) Draw();
  }
  // An interrupt came and is held: said once, below the rows on a terminal.
  void Held() {
    std::lock_guard<std::mutex> hold(lock_);
    if (held_) return;
    held_ = true;
    if (terminal_) Draw();
    else fprintf(stderr, "%s\n", HeldWords);
  }

 private:
  static constexpr const char *HeldWords =
      "flashtool: interrupt held until the flash ends: a drive left half-written may never start again";
  struct Row {
    std::string device, identity;
    int sent, blocks;
    std::string state;
    int tenthsShown;
  };
  static std::string Line(const Row &r) {
    char line[160];
    int percent = r.blocks > 0 ? (int)((long long)r.sent * 100 / r.blocks) : 0;
    snprintf(line, sizeof line, "%-10s  %-28.28s  %3d/%-3d %3d%%  %s", Shown(r.device).c_str(),
             r.identity.c_str(), r.sent, r.blocks, percent, r.state.c_str());
    return line;
  }
  void Draw() {
    if (drawn_) fprintf(stderr, "\x1b[%zuA", drawnLines_);  // back to the first row
    for (const Row &r : rows_) fprintf(stderr, "\r\x1b[K%s%s\n", Line(r).c_str(), ProgressNote());
    if (held_) fprintf(stderr, "\r\x1b[K%s\n", HeldWords);
    fflush(stderr);
    drawn_ = true;
    drawnLines_ = rows_.size() + (held_ ? 1 : 0);
  }
  bool terminal_;
  bool drawn_ = false, held_ = false;
  size_t drawnLines_ = 0;
  std::mutex lock_;
  std::vector<Row> rows_;
};

// Tells what one drive's flash does as it goes, and holds for its blocks
// what must not change under them: the drive's media polling, and, for a
// flash of one drive, interrupts and sleep (a flash of several holds those
// once for all). A dry run stops where the first block would go, holding
// nothing.
class ConsoleObserver : public FlashObserver {
 public:
  ConsoleObserver(OpenedDrive &drive, bool dryRun, RunRecord &record, ProgressBoard *board, size_t row)
      : drive_(drive), dryRun_(dryRun), record_(record), board_(board), row_(row) {}
  void Log(std::initializer_list<const char *>) override {}  // the console says it its own way
  void Progress(int sent, int blocks) override {
    record_.blockFacts.push_back({0, SinceLastBlock(), "ok"});
    if (board_ != nullptr) {
      board_->Update(row_, sent, blocks, "flashing");
      if (HeldInterruptDue() && InterruptWaiting()) board_->Held();
      return;
    }
    if (!toldHeld_ && HeldInterruptDue() && InterruptWaiting()) {
      toldHeld_ = true;
      fprintf(stderr, "%sflashtool: interrupt held until the flash ends: a drive left half-written may never start again\n",
              MessagesAreTerminal() ? "\n" : "");
    }
    std::string line = progress_.After(sent, blocks, BLOCK_SIZE, SecondsSince(firstBlock_));
    fputs(line.c_str(), stderr);
    fflush(stderr);
  }
  void CommandsBegin() override {
    if (dryRun_) return;
    if (board_ == nullptr) KeepSystemAwake(true);
    drive_.BeginBlocks();
  }
  void CommandsEnd() override {
    if (dryRun_) return;
    if (board_ != nullptr) return;
    ReleaseInterrupts();
    KeepSystemAwake(false);
  }
  // An interrupt waits unseen while held; looked for every tenth of a
  // second, which a user cannot tell from every block, where each look
  // would cost a system call.
  bool HeldInterruptDue() {
    Clock::time_point now = Clock::now();
    if (now < nextLook_) return false;
    nextLook_ = now + std::chrono::milliseconds(100);
    return true;
  }
  double SinceLastBlock() {
    Clock::time_point now = Clock::now();
    double ms = std::chrono::duration<double, std::milli>(now - lastBlock_).count();
    lastBlock_ = now;
    return ms;
  }

  // The last moment at which stopping leaves the drive as it was. A flash
  // of several drives holds interrupts from before its workers start: one
  // that waits stops every drive that has not had its first block.
  bool StopBeforeFirstBlock() override {
    if (dryRun_ || InterruptRequested() != 0) return true;
    if (board_ != nullptr) {
      if (InterruptWaiting()) return true;
      board_->Update(row_, 0, 0, "flashing");
    } else {
      HoldInterrupts();
      if (InterruptRequested() != 0) return true;
      fprintf(stderr, "Flashing. Do not turn off the power or unplug the drive.\n");
    }
    lastBlock_ = firstBlock_ = Clock::now();
    return false;
  }

 private:
  OpenedDrive &drive_;
  bool dryRun_;
  RunRecord &record_;
  ProgressBoard *board_;
  size_t row_;
  ProgressLines progress_{MessagesAreTerminal(), ProgressNote()};
  bool toldHeld_ = false;
  Clock::time_point nextLook_, lastBlock_, firstBlock_;
};

// An interrupt that came and waits, or came and was handled.
bool Interrupted() { return InterruptRequested() != 0 || InterruptWaiting(); }

// The same words for one drive and for several, whose workers hold the
// signal until the last of them ends.
std::string InterruptText() {
  int signal = InterruptRequested() != 0 ? InterruptRequested() : InterruptHeld();
  return signal != 0 ? InterruptName(signal) : "an interrupt";
}

int InterruptedBeforeFirstBlock() {
  Complain("interrupted (" + InterruptText() + ") before the first block: nothing was written");
  return EXIT_INTERRUPTED + (InterruptRequested() != 0 ? InterruptRequested() : 2);
}

// What a drive that took every block may be doing when it does not answer.
std::string StillWriting(const std::string &device) {
  return "it may still be writing its firmware: leave it powered and connected for some minutes, "
         "then run `flashtool info " + device + "`";
}

int TellOutcome(const FlashReport &report, const std::string &device, bool dryRun,
                ConsoleObserver &observer, RunRecord &record) {
  switch (report.outcome) {
    case FLASH_SUCCEEDED:
      Say("Flashed: the drive took all %d blocks.\n", report.blocksSent);
      return EXIT_FLASHED;
    case FLASH_NOT_PREPARED:
      // A signal that came while the drive was asked ended the question.
      if (Interrupted()) return InterruptedBeforeFirstBlock();
      Complain(device + " is not ready to be flashed: " +
               FailureReason(report.failure, SystemErrorText(report.failure.systemError)) +
               "; nothing was written");
      Hint(TroubleOf(report.failure));
      return EXIT_NOTHING_WRITTEN;
    case FLASH_BLOCK_FAILED: {
      char where[64];
      snprintf(where, sizeof where, "block %02X (%d of the image) failed: ", report.failedIndex,
               report.blocksSent + 1);
      std::string reason = FailureReason(report.failure, SystemErrorText(report.failure.systemError));
      record.blockFacts.push_back({report.failedIndex, observer.SinceLastBlock(), reason});
      Complain(where + reason);
      if (report.blocksSent > 0)
        Complain("the drive holds only the blocks before it; do not use it before a flash succeeds");
      else
        Complain("the drive took no block of the image; it holds what it held");
      Hint(BlockTrouble(report.failure, report.blocksSent, report.failedIndex == LAST_BLOCK_INDEX));
      return report.blocksSent > 0 ? EXIT_FLASH_FAILED : EXIT_NOTHING_WRITTEN;
    }
    case FLASH_STOPPED:
      if (dryRun) {
        Say("Dry run: every check passed; nothing was written.\n");
        return EXIT_FLASHED;
      }
      return InterruptedBeforeFirstBlock();
    case FLASH_REFUSED: break;
  }
  return EXIT_BAD_INPUT;
}

// Sleeps until `until`, looking at the system's drives meanwhile (that
// sends nothing to any drive), so that a drive that leaves and one that
// comes are seen in the order they do. False when an interrupt came.
bool Pause(Clock::time_point until, Comeback &comeback) {
  for (;;) {
    if (Interrupted()) return false;
    comeback.Look(PresentDrives());
    Clock::time_point now = Clock::now();
    if (now >= until) return true;
    std::this_thread::sleep_for(std::min<Clock::duration>(std::chrono::milliseconds(200), until - now));
  }
}

enum class Back { YES, NO, UNTOLD, INTERRUPTED };

bool SameDrive(const DriveIdentity &a, const std::string &serialA, const DriveIdentity &b,
               const std::string &serialB) {
  return strcmp(a.vendor, b.vendor) == 0 && strcmp(a.product, b.product) == 0 && serialA == serialB;
}

// One drive of a flash, from its opening to its outcome.
struct Job {
  std::string named;   // as the user named it
  std::string device;  // as the system names it
  std::string key;     // the same for every name of the drive
  std::unique_ptr<OpenedDrive> drive;
  VerboseTap tap;
  DriveIdentity identity;
  std::string serial;
  int ticket = -1;     // in the run's Comeback
  RunRecord record;
  int code = EXIT_FLASHED;  // where it ended; EXIT_FLASHED while it goes on
};

// The drive that left its node after the flash, looked for among the
// nodes that appeared since: the one that says it is this drive, and that
// could be no other drive of the run. A candidate is asked without being
// taken, so that another flashtool never finds it busy for that; only the
// drive found is opened for the rest of the run.
void LookForDrive(Job &job, const FlashOptions &options, Comeback &comeback, bool *untold) {
  std::vector<SeenDrive> matches;
  for (const SeenDrive &candidate : comeback.Candidates(job.ticket)) {
    DriveIdentity identity;
    std::string serial;
    if (!AskPresentDrive(candidate, &identity, &serial) || !SameDrive(identity, serial, job.identity, job.serial))
      continue;
    if (comeback.Shared(job.ticket, candidate, serial)) *untold = true;
    else matches.push_back(candidate);
  }
  if (matches.size() > 1) *untold = true;
  if (matches.size() != 1 || *untold) return;
  OpenFailure failure;
  std::string why;
  job.drive = OpenDriveForFlash(matches[0].node, &failure, &why);
  if (job.drive == nullptr) return;  // gone again, or another flash took it: asked again next time
  if (options.verbose) job.drive->Link().SetTap(&job.tap);
  comeback.Found(job.ticket, matches[0].key);
  if (matches[0].node != job.device) Say("The drive came back as %s.\n", matches[0].node.c_str());
  job.device = matches[0].node;
}

// After the last block the drive may erase and program its flash before
// it answers again, or leave its bus to restart: nothing is sent to it for
// the quiet period, then TEST UNIT READY, with a time-out long enough that
// the kernel never resets the drive for it, at most one a second, until it
// answers (a drive without a disc answers NOT READY, MEDIUM NOT PRESENT) or
// the time is up. `lastWord` is what it said last.
// `show`: the wait told as it goes (one drive): on a terminal a line
// redrawn with its time and what the drive last said, elsewhere such a line
// every ten seconds.
Back WaitForDrive(Job &job, const FlashOptions &options, Comeback &comeback, std::string *lastWord,
                  bool show) {
  Say("Waiting %d s before asking the drive, then up to %d s for it to answer...\n",
      options.settleSeconds, options.readySeconds);
  Clock::time_point started = Clock::now(), settled = started + std::chrono::seconds(options.settleSeconds);
  bool terminal = MessagesAreTerminal(), drawn = false;
  long toldAt = 0;
  auto tell = [&](bool last) {
    if (!show) return;
    double seconds = SecondsSince(started);
    std::string line = "Waiting for the drive: " + MinutesSeconds(seconds) +
                       (lastWord->empty() ? "" : ", it last said: " + *lastWord);
    if (terminal) {
      if (line.size() > 79) line = line.substr(0, 76) + "...";
      fprintf(stderr, "\r\x1b[K%s%s", Shown(line).c_str(), last ? "\n" : "");
      drawn = !last;
    } else if (!last && (long)seconds / 10 > toldAt) {
      toldAt = (long)seconds / 10;
      fprintf(stderr, "%s\n", Shown(line).c_str());
    }
    fflush(stderr);
  };
  auto end = [&](Back back) {
    if (drawn) tell(true);
    return back;
  };
  if (!Pause(settled, comeback)) return end(Back::INTERRUPTED);
  Clock::time_point until = settled + std::chrono::seconds(options.readySeconds);
  bool untold = false;
  for (;;) {
    Clock::time_point asked = Clock::now();
    if (job.drive == nullptr) LookForDrive(job, options, comeback, &untold);
    if (job.drive != nullptr) {
      CommandResult result = job.drive->Link().Run(TestUnitReadyCommand(SETTLE_READY_TIMEOUT_S));
      if (DriveAnswersReady(result)) return end(Back::YES);
      *lastWord = FailureReason(result, SystemErrorText(result.systemError));
      if (job.drive->Gone(result)) {
        job.drive.reset();
        comeback.Left(job.ticket);
      }
    }
    tell(false);
    if (Clock::now() >= until) return end(untold ? Back::UNTOLD : Back::NO);
    if (!Pause(asked + std::chrono::seconds(1), comeback)) return end(Back::INTERRUPTED);
  }
}

const char *OutcomeWord(int code, bool dryRun) {
  switch (code) {
    case EXIT_FLASHED: return dryRun ? "checked" : "flashed";
    case EXIT_FLASH_FAILED: return "failed";
    case EXIT_BAD_INPUT: return "bad input";
    case EXIT_REFUSED: return "refused";
    case EXIT_NO_DEVICE: return "no device";
    case EXIT_UNCONFIRMED: return "flashed, not confirmed";
    case EXIT_NOTHING_WRITTEN: return "failed, nothing written";
    default: return "interrupted";
  }
}

// What every drive's record of this run starts with: the run and its image.
RunRecord StartRecord(const FlashOptions &options, const LoadedImage &image) {
  RunRecord r;
  r.started = UtcNow();
  r.host = HostName();
  r.version = FLASHTOOL_VERSION;
  r.command = options.dryRun ? "flash --dry-run" : "flash";
  r.imagePath = options.image;
  ReadImageFacts(r, image);
  return r;
}

// Opens the drive, asks what it is and tells it: EXIT_FLASHED when it
// answered, else the code it ends with.
int OpenJob(Job &job, const FlashOptions &options) {
  OpenFailure failure;
  std::string why;
  job.drive = OpenDriveForFlash(job.named, &failure, &why);
  if (job.drive == nullptr) {
    Complain(Named(job.device) + why);
    return OpenFailureCode(failure);
  }
  job.record.address = job.drive->Address();
  if (options.verbose) job.drive->Link().SetTap(&job.tap);
  if (!AskIdentity(job.drive->Link(), job.device, &job.identity, &job.serial)) {
    Hint(TROUBLE_NO_ANSWER);
    return EXIT_NO_DEVICE;
  }
  job.record.before = {true, job.identity, job.serial};
  Say("Drive:  %s  %s\n", job.device.c_str(), IdentityText(job.identity).c_str());
  return EXIT_FLASHED;
}

// Whether the drive is one to flash with this image, with nothing of the
// system's own between its blocks: EXIT_FLASHED, else the code it ends
// with, the reason told.
int CheckJob(const Job &job, const FlashOptions &options) {
  if (!IsCdDvdDrive(job.identity)) {
    Complain(job.device + (job.identity.deviceType == CD_DVD_DEVICE_TYPE
                               ? " answers for a CD/DVD unit that is not connected (peripheral qualifier " +
                                     std::to_string(job.identity.qualifier) + ")"
                               : " is no CD/DVD drive (device type " + std::to_string(job.identity.deviceType) + ")") +
             "; nothing was sent");
    return EXIT_REFUSED;
  }
  if (!options.expect.empty() && !IsExpectedDrive(job.identity, options.expect)) {
    Complain(job.device + " is \"" + job.identity.vendor + " " + job.identity.product +
             "\", not \"" + options.expect + "\"; nothing was sent");
    Hint(TROUBLE_WRONG_MODEL);
    return EXIT_REFUSED;
  }
  std::string polling = job.drive->PollingProblem();
  if (!polling.empty() && !options.allowPolling) {
    Complain(job.device + ": " + polling + "; nothing was sent");
    Hint(TROUBLE_POLLING);
    return EXIT_NO_DEVICE;
  }
  if (!polling.empty()) Warn(job.device + ": " + polling + "; going on as --allow-polling says");
  return EXIT_FLASHED;
}

// What the drive says after it answered again, against what it said
// before: EXIT_FLASHED, or the code of a drive not confirmed or not at the
// revision expected.
int TellDriveBack(Job &job, const FlashOptions &options) {
  job.drive->DriveAnswered();
  DriveIdentity after;
  std::string serial;
  if (!AskIdentity(job.drive->Link(), job.device, &after, &serial)) {
    Complain("every block was taken, and the drive answered, but does not say what it is now; " +
             StillWriting(job.device));
    return EXIT_UNCONFIRMED;
  }
  job.record.after = {true, after, serial};
  job.record.afterDevice = job.device;
  Say("Drive:  %s  %s\n", job.device.c_str(), IdentityText(after).c_str());
  if (!options.expectRevision.empty() && after.revision != options.expectRevision) {
    Complain("the drive came back with firmware " + std::string(after.revision) + ", not " +
             options.expectRevision + " as --expect-revision says; check the image and the drive");
    return EXIT_FLASH_FAILED;
  }
  if (strcmp(after.revision, job.identity.revision) == 0)
    Warn("the drive reports firmware " + std::string(after.revision) +
         ", as before the flash: it may have kept its old firmware (an image it did not take), or "
         "the image holds the same revision");
  return EXIT_FLASHED;
}

// The blocks, the outcome, the wait for the drive and what it says then.
int RunJob(Job &job, const LoadedImage &image, const FlashOptions &options, ProgressBoard *board,
           size_t row, Comeback &comeback) {
  job.ticket = comeback.Follow(job.key, PortOfDrive(job.key), job.identity.vendor, job.identity.product,
                               job.serial);
  ConsoleObserver observer(*job.drive, options.dryRun, job.record, board, row);
  FlashReport report = RunFlashSequence(job.drive->Link(), image.blocks, image.plan, observer,
                                        LAST_BLOCK_TIMEOUT_S);
  for (size_t i = 0; i < job.record.blockFacts.size() && i < (size_t)report.blocksSent; ++i)
    job.record.blockFacts[i].index = BlockIndex(image.plan, (int32_t)i);
  int code = TellOutcome(report, job.device, options.dryRun, observer, job.record);
  if (code != EXIT_FLASHED || options.dryRun) return code;
  if (Interrupted()) {
    Complain("interrupted (" + InterruptText() +
             ") during the flash, held until it ended; not waiting for the drive to answer: " +
             StillWriting(job.device));
    return EXIT_UNCONFIRMED;
  }
  if (board != nullptr) board->Update(row, report.blocksSent, report.blocksSent, "waiting for the drive");
  std::string lastWord;
  switch (WaitForDrive(job, options, comeback, &lastWord, board == nullptr)) {
    case Back::YES: return TellDriveBack(job, options);
    case Back::INTERRUPTED:
      Complain("interrupted (" + InterruptText() + ") while waiting for the drive; " + StillWriting(job.device));
      return EXIT_UNCONFIRMED;
    case Back::UNTOLD:
      Complain("every block was taken; a drive like it came back, but it cannot be told apart from "
               "another drive of the same model (no serial number): not confirmed. Ask each with "
               "`flashtool info`");
      return EXIT_UNCONFIRMED;
    case Back::NO: break;
  }
  Complain("every block was taken, but the drive has not answered within " +
           std::to_string(options.settleSeconds + options.readySeconds) + " s" +
           (lastWord.empty() ? "" : " (it last said: " + lastWord + ")") + "; " + StillWriting(job.device));
  return EXIT_UNCONFIRMED;
}

void EndRecord(Job &job, const FlashOptions &options) {
  job.record.ended = UtcNow();
  job.record.exitCode = job.code;
  job.record.outcome = OutcomeWord(job.code, options.dryRun);
}

bool Confirmed(const FlashOptions &options, const std::string &devices) {
  if (options.yes || options.dryRun) return true;
  if (!InputIsTerminal()) {
    Complain("not flashing without --yes: standard input is not a terminal to confirm on");
    return false;
  }
  fprintf(stderr, "Type YES to write %s into %s: ", Shown(options.image).c_str(), Shown(devices).c_str());
  fflush(stderr);
  char answer[16] = "";
  if (!AwaitInput() || fgets(answer, sizeof answer, stdin) == nullptr) fprintf(stderr, "\n");
  return std::string(answer) == "YES\n";
}

// The code of a run that was not confirmed, after saying why when no
// interrupt did.
int NotConfirmed() {
  if (InterruptRequested() != 0) return EXIT_INTERRUPTED + InterruptRequested();
  Complain("not confirmed; nothing was sent");
  return EXIT_REFUSED;
}

// Of several drives' codes, the one the run ends with: a drive that may
// be half-written first, then one not confirmed, one that failed with
// nothing written, an interrupt, a drive that could not be had, a
// refusal, a bad argument.
int WorstCode(const std::vector<Job> &jobs) {
  static const int order[] = {EXIT_FLASH_FAILED, EXIT_UNCONFIRMED, EXIT_NOTHING_WRITTEN, -1,
                              EXIT_NO_DEVICE, EXIT_REFUSED, EXIT_BAD_INPUT};
  for (int code : order)
    for (const Job &job : jobs)
      if (code == -1 ? job.code >= EXIT_INTERRUPTED : job.code == code) return job.code;
  return EXIT_FLASHED;
}

std::string Revisioned(const DriveFacts &facts) {
  return facts.known ? std::string(facts.identity.vendor) + " " + facts.identity.product + " " +
                           facts.identity.revision
                     : "-";
}

std::string RevisionOf(const DriveFacts &facts) { return facts.known ? facts.identity.revision : "-"; }

// The end of a flash of several drives, within 80 columns: a row per
// drive with its revisions before and after, its time and outcome, and
// under it why it ended so and where it came back under another node.
void TellTable(const std::vector<Job> &jobs) {
  Say("%-10s  %-8s  %-8s  %7s  %s\n", "DEVICE", "BEFORE", "AFTER", "TIME", "OUTCOME");
  for (const Job &job : jobs) {
    std::string reason = job.record.reason;
    if (!job.record.afterDevice.empty() && job.record.afterDevice != job.record.device)
      reason = "came back as " + job.record.afterDevice + (reason.empty() ? "" : "; " + reason);
    Say("%-10s  %-8s  %-8s  %6.1fs  %s\n%s", job.device.c_str(), RevisionOf(job.record.before).c_str(),
        RevisionOf(job.record.after).c_str(), job.record.seconds, job.record.outcome.c_str(),
        Wrapped(reason, 12, 12, 80).c_str());
  }
  for (const Job &job : jobs) Hint((Trouble)job.record.trouble);
}

// The last word on one drive: what it holds now, in one line.
void TellVerdict(const Job &job, bool dryRun) {
  const RunRecord &r = job.record;
  char seconds[32];
  snprintf(seconds, sizeof seconds, "%.0f s", r.seconds);
  // Named as it was when the run began; where it came back is said after.
  const char *device = r.device.c_str();
  if (job.code == EXIT_FLASHED && dryRun)
    Say("checked %s: every check passed, nothing was written\n", device);
  else if (job.code == EXIT_FLASHED)
    Say("flashed %s: firmware %s -> %s in %s%s\n", device, RevisionOf(r.before).c_str(),
        RevisionOf(r.after).c_str(), seconds,
        !r.afterDevice.empty() && r.afterDevice != r.device ? (", back as " + r.afterDevice).c_str() : "");
  else if (r.reason.compare(0, Named(r.device).size(), Named(r.device)) == 0)
    Say("%s: %s (exit %d)\n", r.outcome.c_str(), r.reason.c_str(), job.code);  // it names the drive
  else
    Say("%s %s%s (exit %d)\n", r.outcome.c_str(), Named(r.device).c_str(),
        r.reason.empty() ? "no reason given" : r.reason.c_str(), job.code);
}

// Keeps the records: one line per drive in the log, and on standard
// output one object (one drive) or an array (several).
void KeepRecords(std::vector<Job> &jobs, const FlashOptions &options, bool several) {
  std::string why;
  for (Job &job : jobs)
    if (!options.log.empty() && !AppendLine(options.log, JsonLine(RecordJson(job.record)), &why))
      Complain(options.log + ": the record of " + job.device + " was not kept: " + why);
  if (!options.json) return;
  FactsToStandardError(false);
  nlohmann::ordered_json out = nlohmann::ordered_json::array();
  for (Job &job : jobs) out.push_back(RecordJson(job.record));
  Say("%s\n", JsonLine(several ? out : out[0], 2).c_str());
}

int FlashOne(Job &job, const LoadedImage &image, const FlashOptions &options, Comeback &comeback) {
  SpeakFor(&job.record, false);
  int code = OpenJob(job, options);
  if (code != EXIT_FLASHED) return code;
  SayImage(job.record);
  code = CheckJob(job, options);
  if (code != EXIT_FLASHED) return code;
  if (!Confirmed(options, job.device)) return NotConfirmed();
  return RunJob(job, image, options, nullptr, 0, comeback);
}

// One image fits one model: drives of a run without --expect must all be
// of the model most of them are. Names the others, refusing the run.
bool OneModel(std::vector<Job> &jobs) {
  std::map<std::string, int> models;
  auto model = [](const Job &job) { return std::string(job.identity.vendor) + " " + job.identity.product; };
  for (const Job &job : jobs)
    if (job.code == EXIT_FLASHED) ++models[model(job)];
  if (models.size() <= 1) return true;
  std::string most = models.begin()->first;
  for (const auto &m : models)
    if (m.second > models[most]) most = m.first;
  std::string odd;
  for (const Job &job : jobs)
    if (job.code == EXIT_FLASHED && model(job) != most)
      odd += (odd.empty() ? "" : ", ") + job.device + " is \"" + model(job) + "\"";
  std::string why = "drives of different models: " + odd + ", the others \"" + most +
                    "\"; one image fits one model: nothing was written to any drive "
                    "(--expect names the model to flash)";
  Complain(why);
  for (Job &job : jobs)
    if (job.code == EXIT_FLASHED) {
      job.code = EXIT_REFUSED;
      job.record.reason = why;
    }
  return false;
}

// Every drive is opened, asked, checked and shown before anything is
// written; then one worker per drive, each on its own link, so that one
// drive's failure or slowness never holds another. Each job ends with its
// code.
void FlashSeveral(std::vector<Job> &jobs, const LoadedImage &image, const FlashOptions &options,
                  Comeback &comeback) {
  SayImage(jobs[0].record);
  int failing = 0;
  for (Job &job : jobs) {
    SpeakFor(&job.record, false);
    job.code = OpenJob(job, options);
    if (job.code == EXIT_FLASHED) job.code = CheckJob(job, options);
    if (job.code != EXIT_FLASHED) ++failing;
  }
  SpeakFor(nullptr, false);
  if (options.expect.empty() && !OneModel(jobs)) return;
  if (failing > 0 && !options.skipFailing) {
    std::string why = std::to_string(failing) + " of " + std::to_string(jobs.size()) +
                      " drives cannot be flashed; nothing was written to any drive";
    Complain(why + " (--skip-failing flashes the others)");
    for (Job &job : jobs)
      if (job.code == EXIT_FLASHED) {
        job.code = EXIT_REFUSED;
        job.record.reason = "not flashed: " + why;
      }
    return;
  }
  std::string devices;
  for (Job &job : jobs)
    if (job.code == EXIT_FLASHED) devices += (devices.empty() ? "" : ", ") + job.device;
  if (devices.empty()) return;
  if (!Confirmed(options, devices)) {
    int code = NotConfirmed();
    for (Job &job : jobs)
      if (job.code == EXIT_FLASHED) job.code = code;
    return;
  }

  ProgressBoard board(MessagesAreTerminal());
  std::vector<size_t> rows;
  for (Job &job : jobs)
    if (job.code == EXIT_FLASHED) {
      rows.push_back(&job - &jobs[0]);
      board.Add(job.device, Revisioned(job.record.before));
    }
  if (!options.dryRun) {
    fprintf(stderr, "Flashing %zu drive%s. Do not turn off the power or unplug a drive.\n", rows.size(),
            rows.size() == 1 ? "" : "s");
    KeepSystemAwake(true);
  }
  // Held before the workers start, so that each inherits it; a worker
  // whose first block has not gone when one comes stops cleanly.
  HoldInterrupts();
  board.Start();
  std::vector<std::thread> workers;
  for (size_t r = 0; r < rows.size(); ++r) {
    Job &job = jobs[rows[r]];
    workers.emplace_back([&job, &image, &options, &board, &comeback, r] {
      SpeakFor(&job.record, true);
      Clock::time_point started = Clock::now();
      job.code = RunJob(job, image, options, &board, r, comeback);
      job.record.seconds = SecondsSince(started);
      int taken = 0;
      for (const BlockFact &block : job.record.blockFacts) taken += block.outcome == "ok";
      board.Update(r, taken, job.record.blocks, OutcomeWord(job.code, options.dryRun));
      job.drive.reset();  // the lock and the claim go with the worker's outcome
    });
  }
  for (std::thread &worker : workers) worker.join();
  ReleaseInterrupts();
  if (!options.dryRun) KeepSystemAwake(false);
}

// The drives --all flashes: every CD/DVD drive of the --expect identity,
// each of the others named on standard error with the reason it is left.
std::vector<std::string> AllDrives(const FlashOptions &options) {
  std::vector<std::string> devices;
  for (const ListedDrive &listed : ListDrives()) {
    if (!listed.error.empty()) {
      Warn("--all leaves out " + listed.device + ": " + listed.error);
    } else if (!IsExpectedDrive(listed.identity, options.expect)) {
      Warn("--all leaves out " + listed.device + ": it is \"" + listed.identity.vendor + " " +
           listed.identity.product + "\", not \"" + options.expect + "\"");
    } else {
      devices.push_back(listed.device);
    }
  }
  return devices;
}

// Two names of one drive (its sr and sg node, a link) would flash it twice.
bool EachDriveOnce(std::vector<Job> &jobs) {
  std::map<std::string, const Job *> seen;
  for (const Job &job : jobs) {
    if (job.key.empty()) continue;
    auto first = seen.emplace(job.key, &job);
    if (first.second) continue;
    Complain(first.first->second->named + " and " + job.named + " are the same drive; name each drive once");
    return false;
  }
  return true;
}

}  // namespace

int FlashCommand(const FlashOptions &options) {
  CatchInterrupts();
  PutBackLeftSettings();
  if (options.json) FactsToStandardError(true);
  std::vector<std::string> devices = options.devices;
  if (options.all) {
    devices = AllDrives(options);
    if (devices.empty()) {
      Complain("no CD/DVD drive is \"" + options.expect + "\"; nothing was written");
      return Finished(EXIT_NO_DEVICE);
    }
  }
  bool several = devices.size() > 1 || options.all;
  // A record that cannot be kept is known before a drive is touched.
  std::string why;
  if (!options.log.empty() && !CanAppend(options.log, &why)) {
    Complain(options.log + ": cannot append the record to it: " + why);
    return Finished(EXIT_BAD_INPUT);
  }

  // The image first, once: nothing reaches a drive for an image that cannot go.
  LoadedImage image = LoadImageFile(options.image.c_str());
  RunRecord start = StartRecord(options, image);
  std::vector<Job> jobs(devices.size());
  for (size_t i = 0; i < devices.size(); ++i) {
    DriveName name = NameDrive(devices[i]);
    jobs[i].named = devices[i];
    jobs[i].device = name.shown;
    jobs[i].key = name.key;
    jobs[i].record = start;
    jobs[i].record.device = name.shown;
  }
  std::string problem = ImageProblem(image);
  // A drive where the image goes: the words were swapped, whatever else is wrong.
  if (image.outcome == IMAGE_NOT_A_FILE && !NameDrive(options.image).key.empty())
    problem += " (is DEVICE before IMAGE?)";
  if (problem.empty() && !DigestProblem(start, options.sha256).empty())
    problem = DigestProblem(start, options.sha256) + "; nothing was sent";
  if (!problem.empty()) {
    SpeakFor(&jobs[0].record, false);
    Complain(options.image + ": " + problem);
    for (Job &job : jobs) {
      job.record.reason = jobs[0].record.reason;
      job.code = EXIT_BAD_INPUT;
    }
  } else if (!EachDriveOnce(jobs)) {
    for (Job &job : jobs) job.code = EXIT_BAD_INPUT;
    problem = "same drive";
  } else {
    std::string warning = NoFirmwareWords(image);
    if (!warning.empty()) Warn(options.image + " " + warning);
    // What is there before the first block, to tell a drive that comes
    // back after its flash from one that was there all along.
    Comeback comeback(PresentDrives());
    Clock::time_point started = Clock::now();
    if (several) FlashSeveral(jobs, image, options, comeback);
    else jobs[0].code = FlashOne(jobs[0], image, options, comeback);
    if (!several) jobs[0].record.seconds = SecondsSince(started);
  }
  SpeakFor(nullptr, false);
  FreeImage(image);
  for (Job &job : jobs) {
    job.drive.reset();
    EndRecord(job, options);
  }
  if (several && problem.empty()) TellTable(jobs);
  for (const Job &job : jobs) TellVerdict(job, options.dryRun);
  KeepRecords(jobs, options, several);
  return Finished(several ? WorstCode(jobs) : jobs[0].code);
}
