#include "cli/commands.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>

#include "cli/hints.h"
#include "cli/record.h"
#include "cli/report.h"
#include "cli/system.h"
#include "core/flash_sequence.h"
#include "transport/image_file.h"

#ifndef FLASHTOOL_VERSION
#define FLASHTOOL_VERSION "unknown"
#endif

// The record of the flash being run; its reason is the first complaint.
static RunRecord *Recording;

static void Complain(const std::string &text) {
  fprintf(stderr, "flashtool: %s\n", text.c_str());
  if (Recording != nullptr && Recording->reason.empty()) Recording->reason = text;
}

static void Hint(Trouble trouble) { fputs(HintText(trouble), stderr); }

// Standard output carries the facts (drives, identities, outcomes); the
// prompt, progress and complaints go to standard error, so that a closed
// or redirected output hides nothing the user must see. A reader that went
// away does not end the program: what could not be written is told once,
// with the outcome, at the end.
static int OutputError;
static std::string LastSaid;
static FILE *Facts = stdout;  // standard error while standard output carries JSON

static void Say(const char *format, ...) __attribute__((format(printf, 1, 2)));
static void Say(const char *format, ...) {
  va_list args, again;
  va_start(args, format);
  va_copy(again, args);
  int length = vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string line(length > 0 ? (size_t)length : 0, '\0');
  if (length > 0) vsnprintf(&line[0], line.size() + 1, format, again);
  va_end(again);
  if (Facts == stdout) LastSaid = line;
  if ((fputs(line.c_str(), Facts) < 0 || fflush(Facts) != 0) && OutputError == 0 && Facts == stdout)
    OutputError = errno;
}

static int Finished(int code) {
  if (OutputError != 0) {
    Complain(std::string("standard output was lost (") + strerror(OutputError) + ")" +
             (LastSaid.empty() ? "" : "; it last said: " + LastSaid.substr(0, LastSaid.find('\n'))));
  }
  return code;
}

int ListCommand(bool json) {
  std::vector<ListedDrive> drives = ListDrives();
  int listed = 0;
  for (const ListedDrive &drive : drives) {
    if (drive.error.empty()) ++listed;
    else Complain(drive.device + (drive.device.back() == ':' ? " " : ": ") + drive.error);
  }
  if (json) {
    Say("%s\n", DrivesJson(drives).c_str());
  } else {
    for (const ListedDrive &drive : drives)
      if (drive.error.empty()) Say("%s\n", ListLine(drive).c_str());
  }
  if (drives.empty()) Complain("no CD/DVD drive found");
  else if (listed == 0) Complain("no CD/DVD drive could be listed");
  return Finished(listed > 0 ? EXIT_OK : EXIT_NO_DEVICE);
}

// Why an image cannot be flashed, in a sentence; empty when it can.
static std::string ImageProblem(const LoadedImage &image) {
  switch (image.outcome) {
    case IMAGE_LOADED: return "";
    case IMAGE_NOT_OPENED: return "cannot open it: " + SystemErrorText(image.systemError);
    case IMAGE_NOT_A_FILE: return "not a regular file: an image is a file such as fw.bin";
    case IMAGE_SIZE_UNKNOWN: return "cannot tell its size: " + SystemErrorText(image.systemError);
    case IMAGE_EMPTY: return "it is empty";
    case IMAGE_TOO_LARGE:
      return "it holds " + std::to_string(image.plan.imageSize) +
             " bytes; the download command carries at most " + std::to_string(MAX_IMAGE_SIZE);
    case IMAGE_NO_MEMORY: return "not enough memory to hold it";
    case IMAGE_READ_FAILED:
      return "cannot read all of it" +
             (image.systemError != 0 ? ": " + SystemErrorText(image.systemError) : "");
    case IMAGE_CHANGED: return "it changed while it was read; try again once nothing writes to it";
  }
  return "unknown problem";
}

// The drive's identity and serial number (empty when it has none); false,
// with the reason told, when it does not answer.
static bool AskIdentity(DriveLink &link, const std::string &device, DriveIdentity *identity,
                        std::string *serial) {
  CommandResult result = AskIdentity(link, identity, serial);
  if (result.Succeeded()) return true;
  Complain(device + " does not say what it is (INQUIRY): " +
           FailureReason(result, SystemErrorText(result.systemError)));
  return false;
}

static bool Confirmed(const FlashOptions &options) {
  if (options.yes) return true;
  if (!InputIsTerminal()) {
    Complain("not flashing without --yes: standard input is not a terminal to confirm on");
    return false;
  }
  fprintf(stderr, "Type YES to write %s into %s: ", options.image.c_str(), options.device.c_str());
  fflush(stderr);
  char answer[16] = "";
  if (!AwaitInput() || fgets(answer, sizeof answer, stdin) == nullptr) fprintf(stderr, "\n");
  return std::string(answer) == "YES\n";
}

// Every command on standard error as it goes to the drive and as it ends.
class VerboseTap : public CommandTap {
 public:
  void Before(const ScsiCommand &command) override {
    static const char *const directions[] = {"none", "in", "out"};
    char line[160];
    int at = snprintf(line, sizeof line, "> cdb");
    for (int i = 0; i < command.cdbLength && at < (int)sizeof line - 4; ++i)
      at += snprintf(line + at, sizeof line - at, " %02X", command.cdb[i]);
    if (command.direction == DATA_NONE || command.data == nullptr)
      fprintf(stderr, "%s  no data, time-out %u s\n", line, (unsigned)command.timeoutSeconds);
    else
      fprintf(stderr, "%s  %s %u bytes, time-out %u s\n", line, directions[command.direction],
              (unsigned)command.length, (unsigned)command.timeoutSeconds);
    started_ = Clock::now();
  }
  void After(const ScsiCommand &, const CommandResult &result) override {
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - started_).count();
    std::string sense;
    char two[4];
    for (int i = 0; i < result.senseLength; ++i) {
      snprintf(two, sizeof two, " %02X", result.sense[i]);
      sense += two;
    }
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
  using Clock = std::chrono::steady_clock;
  Clock::time_point started_;
};

// Tells what the flash does as it goes, and holds for the blocks what must
// not change under them: interrupts, the drive's media polling, sleep. A
// dry run stops where the first block would go, holding nothing.
class ConsoleObserver : public FlashObserver {
 public:
  ConsoleObserver(OpenedDrive &drive, bool dryRun, RunRecord &record)
      : drive_(drive), dryRun_(dryRun), record_(record) {}
  void Log(std::initializer_list<const char *>) override {}  // the console says it its own way
  void Progress(int sent, int blocks) override {
    record_.blockFacts.push_back({0, SinceLastBlock(), "ok"});
    if (!toldHeld_ && HeldInterruptDue() && InterruptWaiting()) {
      toldHeld_ = true;
      fprintf(stderr, "%sflashtool: interrupt held until the flash ends: a drive left half-written may never start again\n",
              MessagesAreTerminal() ? "\n" : "");
    }
    std::string line = progress_.After(sent, blocks);
    fputs(line.c_str(), stderr);
    fflush(stderr);
  }
  void CommandsBegin() override {
    if (dryRun_) return;
    KeepSystemAwake(true);
    drive_.BeginBlocks();
  }
  void CommandsEnd() override {
    if (dryRun_) return;
    drive_.EndBlocks();
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

  // The last moment at which stopping leaves the drive as it was.
  bool StopBeforeFirstBlock() override {
    if (dryRun_ || InterruptRequested() != 0) return true;
    HoldInterrupts();
    if (InterruptRequested() == 0) {
      fprintf(stderr, "Flashing. Do not turn off the power or unplug the drive.\n");
      lastBlock_ = Clock::now();
      return false;
    }
    return true;
  }

 private:
  using Clock = std::chrono::steady_clock;
  OpenedDrive &drive_;
  bool dryRun_;
  RunRecord &record_;
  ProgressLines progress_{MessagesAreTerminal(), ProgressNote()};
  bool toldHeld_ = false;
  Clock::time_point nextLook_, lastBlock_;
};

static int TellOutcome(const FlashReport &report, const std::string &device, bool dryRun,
                       ConsoleObserver &observer, RunRecord &record) {
  switch (report.outcome) {
    case FLASH_SUCCEEDED:
      Say("Flashed: the drive took all %d blocks.\n", report.blocksSent);
      return EXIT_FLASHED;
    case FLASH_NOT_PREPARED:
      Complain(device + " is not ready to be flashed: " +
               FailureReason(report.failure, SystemErrorText(report.failure.systemError)) +
               "; nothing was written");
      Hint(TroubleOf(report.failure));
      return EXIT_FLASH_FAILED;
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
        Complain("the drive took no block of the image");
      Hint(TroubleOf(report.failure));
      return EXIT_FLASH_FAILED;
    }
    case FLASH_STOPPED:
      if (dryRun) {
        Say("Dry run: every check passed; nothing was written.\n");
        return EXIT_FLASHED;
      }
      Complain("interrupted (" + InterruptName(InterruptRequested()) +
               ") before the first block: nothing was written");
      return EXIT_INTERRUPTED + InterruptRequested();
    case FLASH_REFUSED: break;
  }
  return EXIT_BAD_INPUT;
}

// After a flash the drive restarts with its new firmware: wait until it
// answers TEST UNIT READY (a drive without a disc answers NOT READY with
// MEDIUM NOT PRESENT, and is back all the same). A drive that restarts
// under another node (a USB drive does) is looked for by what it is.
static bool WaitForDrive(std::unique_ptr<OpenedDrive> &drive, std::string &device,
                         const DriveIdentity &identity, const std::string &serial, int seconds) {
  using Clock = std::chrono::steady_clock;
  Say("Waiting for the drive to come back (up to %d s)...\n", seconds);
  Clock::time_point until = Clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    long long left = std::chrono::duration_cast<std::chrono::seconds>(until - Clock::now()).count();
    if (drive != nullptr) {
      // A drive that does not answer at all must not hold the wait past its end.
      uint32_t timeout = (uint32_t)std::max(1LL, std::min(left + 1, (long long)READY_TIMEOUT_S));
      CommandResult result = drive->Link().Run(TestUnitReadyCommand(timeout));
      if (DriveAnswersReady(result)) return true;
      if (drive->Gone(result)) drive.reset();
    }
    if (drive == nullptr) {
      std::string found;
      drive = FindDriveAgain(identity, serial, &found);
      if (drive != nullptr) {
        if (found != device) Say("The drive came back as %s.\n", found.c_str());
        device = found;
        continue;
      }
    }
    if (Clock::now() >= until || InterruptRequested() != 0) return false;
    std::this_thread::sleep_for(std::min<Clock::duration>(std::chrono::milliseconds(500),
                                                          until - Clock::now()));
  }
}

static int OpenFailureCode(OpenFailure failure) {
  if (failure == OPEN_DENIED) Hint(TROUBLE_PERMISSION);
  if (failure == OPEN_BUSY) Hint(TROUBLE_BUSY);
  return failure == OPEN_NOT_A_DEVICE ? EXIT_BAD_INPUT : EXIT_NO_DEVICE;
}

static void NoteImage(RunRecord &record, const LoadedImage &image) {
  record.imageRead = true;
  record.imageSize = image.plan.imageSize;
  record.blocks = image.plan.lastIndex + 1;
  record.checksum = ImageChecksum(image.blocks, image.plan);
  record.sha256 = Sha256Hex(image.blocks, (size_t)image.plan.imageSize);
}

static int Flash(const FlashOptions &options, RunRecord &record) {
  // The image first: nothing reaches the drive for an image that cannot go.
  LoadedImage image = LoadImageFile(options.image.c_str());
  std::string problem = ImageProblem(image);
  if (!problem.empty()) {
    Complain(options.image + ": " + problem);
    return EXIT_BAD_INPUT;
  }
  NoteImage(record, image);

  OpenFailure failure;
  std::string why;
  std::unique_ptr<OpenedDrive> drive = OpenDriveForFlash(options.device, &failure, &why);
  if (drive == nullptr) {
    Complain(options.device + ": " + why);
    FreeImage(image);
    return OpenFailureCode(failure);
  }
  record.address = drive->Address();
  VerboseTap tap;
  if (options.verbose) drive->Link().SetTap(&tap);
  DriveIdentity identity;
  std::string serial;
  if (!AskIdentity(drive->Link(), options.device, &identity, &serial)) {
    Hint(TROUBLE_NO_ANSWER);
    FreeImage(image);
    return EXIT_NO_DEVICE;
  }
  record.before = {true, identity, serial};
  Say("Drive:  %s  %s\n", options.device.c_str(), IdentityText(identity).c_str());
  Say("Image:  %s  %llu bytes, %d blocks, checksum %04X\n", options.image.c_str(),
      (unsigned long long)image.plan.imageSize, image.plan.lastIndex + 1, record.checksum);

  int refused = EXIT_FLASHED;
  if (!IsCdDvdDrive(identity)) {
    Complain(options.device + " is no CD/DVD drive (device type " +
             std::to_string(identity.deviceType) + "); nothing was sent");
    refused = EXIT_REFUSED;
  } else if (!options.expect.empty() && !IsExpectedDrive(identity, options.expect)) {
    Complain(options.device + " is \"" + identity.vendor + " " + identity.product + "\", not \"" +
             options.expect + "\"; nothing was sent");
    Hint(TROUBLE_WRONG_MODEL);
    refused = EXIT_REFUSED;
  } else if (!options.dryRun && !Confirmed(options)) {
    if (InterruptRequested() == 0) Complain("not confirmed; nothing was sent");
    refused = InterruptRequested() != 0 ? EXIT_INTERRUPTED + InterruptRequested() : EXIT_REFUSED;
  }
  if (refused != EXIT_FLASHED) {
    FreeImage(image);
    return refused;
  }

  ConsoleObserver observer(*drive, options.dryRun, record);
  FlashReport report = RunFlashSequence(drive->Link(), image.blocks, image.plan, observer);
  FreeImage(image);
  for (size_t i = 0; i < record.blockFacts.size() && i < (size_t)report.blocksSent; ++i)
    record.blockFacts[i].index = BlockIndex(image.plan, (int32_t)i);
  int code = TellOutcome(report, options.device, options.dryRun, observer, record);
  if (code != EXIT_FLASHED || options.dryRun) return code;
  if (InterruptRequested() != 0) {
    Complain("interrupted (" + InterruptName(InterruptRequested()) +
             ") during the flash, held until it ended; not waiting for the drive to come back: "
             "check it before use");
    return EXIT_FLASHED_UNSEEN;
  }
  std::string device = options.device;
  if (!WaitForDrive(drive, device, identity, serial, options.readySeconds)) {
    if (InterruptRequested() != 0) {
      Complain("interrupted (" + InterruptName(InterruptRequested()) +
               ") while waiting for the drive; check it before use");
      return EXIT_FLASHED_UNSEEN;
    }
    Complain("the drive did not come back within " + std::to_string(options.readySeconds) +
             " s; check it before use");
    Hint(TROUBLE_NO_ANSWER);
    return EXIT_FLASH_FAILED;
  }
  if (!AskIdentity(drive->Link(), device, &identity, &serial)) return EXIT_FLASH_FAILED;
  record.after = {true, identity, serial};
  record.afterDevice = device;
  Say("Drive:  %s  %s\n", device.c_str(), IdentityText(identity).c_str());
  return EXIT_FLASHED;
}

static const char *OutcomeWord(int code, bool dryRun) {
  switch (code) {
    case EXIT_FLASHED: return dryRun ? "checked" : "flashed";
    case EXIT_FLASH_FAILED: return "failed";
    case EXIT_BAD_INPUT: return "bad input";
    case EXIT_REFUSED: return "refused";
    case EXIT_NO_DEVICE: return "no device";
    case EXIT_FLASHED_UNSEEN: return "flashed, not seen back";
    default: return "interrupted";
  }
}

static RunRecord NewRecord(const char *command, const std::string &device) {
  RunRecord record;
  record.started = UtcNow();
  record.host = HostName();
  record.version = FLASHTOOL_VERSION;
  record.command = command;
  record.device = device;
  return record;
}

int FlashCommand(const FlashOptions &options) {
  CatchInterrupts();
  if (options.json) Facts = stderr;
  RunRecord record = NewRecord(options.dryRun ? "flash --dry-run" : "flash", options.device);
  record.imagePath = options.image;
  // A record that cannot be kept is known before the drive is touched.
  std::string why;
  if (!options.log.empty() && !CanAppend(options.log, &why)) {
    Complain(options.log + ": cannot append the record to it: " + why);
    return EXIT_BAD_INPUT;
  }
  Recording = &record;
  int code = Flash(options, record);
  Recording = nullptr;
  record.ended = UtcNow();
  record.exitCode = code;
  record.outcome = OutcomeWord(code, options.dryRun);
  if (!options.log.empty() && !AppendLine(options.log, JsonLine(RecordJson(record)), &why))
    Complain(options.log + ": the record was not kept: " + why);
  if (options.json) {
    Facts = stdout;
    Say("%s\n", JsonLine(RecordJson(record), 2).c_str());
  }
  return Finished(code);
}

int InfoCommand(const std::string &device, bool json) {
  DriveDescription d = DescribeDrive(device);
  if (json) {
    nlohmann::ordered_json out = {{"device", d.device}};
    out["sg"] = d.genericDevice.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(d.genericDevice);
    out["address"] = d.address.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(d.address);
    out["busy"] = d.busy;
    if (!d.busy && d.error.empty()) {
      nlohmann::ordered_json identity = IdentityJson(d.identity, d.serial);
      identity["type"] = d.identity.deviceType;
      out["identity"] = identity;
    }
    if (!d.error.empty()) out["error"] = d.error;
    Say("%s\n", JsonLine(out, 2).c_str());
  } else {
    Say("Device:   %s\n", d.device.c_str());
    if (!d.genericDevice.empty()) Say("SG node:  %s\n", d.genericDevice.c_str());
    if (!d.address.empty()) Say("Address:  %s\n", d.address.c_str());
    if (d.busy) Say("Busy:     a flashtool is flashing it; it was not asked\n");
    if (!d.busy && d.error.empty()) {
      Say("Drive:    %s\n", IdentityText(d.identity).c_str());
      Say("Serial:   %s\n", d.serial.empty() ? "(none given)" : d.serial.c_str());
      Say("Type:     %d (%s)\n", d.identity.deviceType,
          IsCdDvdDrive(d.identity) ? "CD/DVD drive" : "no CD/DVD drive");
    }
  }
  if (!d.error.empty()) {
    Complain(device + ": " + d.error);
    return Finished(OpenFailureCode(d.failure));
  }
  return Finished(d.busy ? EXIT_NO_DEVICE : EXIT_OK);
}

int CheckCommand(const std::string &path, bool json) {
  LoadedImage image = LoadImageFile(path.c_str());
  std::string problem = ImageProblem(image);
  RunRecord record;
  if (problem.empty()) NoteImage(record, image);
  FreeImage(image);
  if (json) {
    nlohmann::ordered_json out = {{"path", path}, {"flashable", problem.empty()}};
    if (problem.empty()) {
      char checksum[8];
      snprintf(checksum, sizeof checksum, "%04X", record.checksum);
      out["size"] = record.imageSize;
      out["blocks"] = record.blocks;
      out["checksum"] = checksum;
      out["sha256"] = record.sha256;
    } else {
      out["problem"] = problem;
    }
    Say("%s\n", JsonLine(out, 2).c_str());
  } else if (problem.empty()) {
    Say("Image:  %s  %llu bytes, %d blocks, checksum %04X\n", path.c_str(),
        (unsigned long long)record.imageSize, record.blocks, record.checksum);
    Say("SHA-256: %s\n", record.sha256.c_str());
    Say("It can be flashed.\n");
  }
  if (!problem.empty()) {
    Complain(path + ": " + problem);
    return Finished(EXIT_BAD_INPUT);
  }
  return Finished(EXIT_OK);
}
