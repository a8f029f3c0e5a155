#include "cli/commands.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>

#include "cli/report.h"
#include "cli/system.h"
#include "core/flash_sequence.h"
#include "transport/image_file.h"

static void Complain(const std::string &text) { fprintf(stderr, "flashtool: %s\n", text.c_str()); }

// Standard output carries the facts (drives, identities, outcomes); the
// prompt, progress and complaints go to standard error, so that a closed
// or redirected output hides nothing the user must see. A reader that went
// away does not end the program: what could not be written is told once,
// with the outcome, at the end.
static int OutputError;
static std::string LastSaid;

static void Say(const char *format, ...) __attribute__((format(printf, 1, 2)));
static void Say(const char *format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  LastSaid = line;
  if ((fputs(line, stdout) < 0 || fflush(stdout) != 0) && OutputError == 0) OutputError = errno;
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
           FailureReason(result, SystemErrorText(result.error)));
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

// Tells what the flash does as it goes, and holds for the blocks what must
// not change under them: interrupts, the drive's media polling, sleep.
class ConsoleObserver : public FlashObserver {
 public:
  explicit ConsoleObserver(OpenedDrive &drive) : drive_(drive) {}
  void Log(std::initializer_list<const char *>) override {}  // the console says it its own way
  void Progress(int sent, int blocks) override {
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
    KeepSystemAwake(true);
    drive_.BeginBlocks();
  }
  void CommandsEnd() override {
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

  // The last moment at which stopping leaves the drive as it was.
  bool StopBeforeFirstBlock() override {
    if (InterruptRequested() != 0) return true;
    HoldInterrupts();
    if (InterruptRequested() == 0) {
      fprintf(stderr, "Flashing. Do not turn off the power or unplug the drive.\n");
      return false;
    }
    return true;
  }

 private:
  using Clock = std::chrono::steady_clock;
  OpenedDrive &drive_;
  ProgressLines progress_{MessagesAreTerminal(), ProgressNote()};
  bool toldHeld_ = false;
  Clock::time_point nextLook_;
};

static int TellOutcome(const FlashReport &report, const std::string &device) {
  switch (report.outcome) {
    case FLASH_SUCCEEDED:
      Say("Flashed: the drive took all %d blocks.\n", report.blocksSent);
      return EXIT_FLASHED;
    case FLASH_NOT_PREPARED:
      Complain(device + " is not ready to be flashed: " +
               FailureReason(report.failure, SystemErrorText(report.failure.error)) +
               "; nothing was written");
      return EXIT_FLASH_FAILED;
    case FLASH_BLOCK_FAILED: {
      char where[64];
      snprintf(where, sizeof where, "block %02X (%d of the image) failed: ", report.failedIndex,
               report.blocksSent + 1);
      Complain(where + FailureReason(report.failure, SystemErrorText(report.failure.error)));
      if (report.blocksSent > 0)
        Complain("the drive holds only the blocks before it; do not use it before a flash succeeds");
      else
        Complain("the drive took no block of the image");
      return EXIT_FLASH_FAILED;
    }
    case FLASH_STOPPED:
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

int FlashCommand(const FlashOptions &options) {
  CatchInterrupts();
  // The image first: nothing reaches the drive for an image that cannot go.
  LoadedImage image = LoadImageFile(options.image.c_str());
  std::string problem = ImageProblem(image);
  if (!problem.empty()) {
    Complain(options.image + ": " + problem);
    return EXIT_BAD_INPUT;
  }

  OpenFailure failure;
  std::string why;
  std::unique_ptr<OpenedDrive> drive = OpenDriveForFlash(options.device, &failure, &why);
  if (drive == nullptr) {
    Complain(options.device + ": " + why);
    FreeImage(image);
    return failure == OPEN_NOT_A_DEVICE ? EXIT_BAD_INPUT : EXIT_NO_DEVICE;
  }
  DriveIdentity identity;
  std::string serial;
  if (!AskIdentity(drive->Link(), options.device, &identity, &serial)) {
    FreeImage(image);
    return EXIT_NO_DEVICE;
  }
  Say("Drive:  %s  %s\n", options.device.c_str(), IdentityText(identity).c_str());
  Say("Image:  %s  %llu bytes, %d blocks, checksum %04X\n", options.image.c_str(),
      (unsigned long long)image.plan.imageSize, image.plan.lastIndex + 1,
      ImageChecksum(image.blocks, image.plan));

  int refused = EXIT_FLASHED;
  if (!IsCdDvdDrive(identity)) {
    Complain(options.device + " is no CD/DVD drive (device type " +
             std::to_string(identity.deviceType) + "); nothing was sent");
    refused = EXIT_REFUSED;
  } else if (!options.expect.empty() && !IsExpectedDrive(identity, options.expect)) {
    Complain(options.device + " is \"" + identity.vendor + " " + identity.product + "\", not \"" +
             options.expect + "\"; nothing was sent");
    refused = EXIT_REFUSED;
  } else if (!Confirmed(options)) {
    if (InterruptRequested() == 0) Complain("not confirmed; nothing was sent");
    refused = InterruptRequested() != 0 ? EXIT_INTERRUPTED + InterruptRequested() : EXIT_REFUSED;
  }
  if (refused != EXIT_FLASHED) {
    FreeImage(image);
    return Finished(refused);
  }

  ConsoleObserver observer(*drive);
  FlashReport report = RunFlashSequence(drive->Link(), image.blocks, image.plan, observer);
  FreeImage(image);
  int code = TellOutcome(report, options.device);
  if (code != EXIT_FLASHED) return Finished(code);
  if (InterruptRequested() != 0) {
    Complain("interrupted (" + InterruptName(InterruptRequested()) +
             ") during the flash, held until it ended; not waiting for the drive to come back: "
             "check it before use");
    return Finished(EXIT_FLASHED_UNSEEN);
  }
  std::string device = options.device;
  if (!WaitForDrive(drive, device, identity, serial, options.readySeconds)) {
    if (InterruptRequested() != 0) {
      Complain("interrupted (" + InterruptName(InterruptRequested()) +
               ") while waiting for the drive; check it before use");
      return Finished(EXIT_FLASHED_UNSEEN);
    }
    Complain("the drive did not come back within " + std::to_string(options.readySeconds) +
             " s; check it before use");
    return Finished(EXIT_FLASH_FAILED);
  }
  if (!AskIdentity(drive->Link(), device, &identity, &serial)) return Finished(EXIT_FLASH_FAILED);
  Say("Drive:  %s  %s\n", device.c_str(), IdentityText(identity).c_str());
  return Finished(EXIT_FLASHED);
}
