#include "cli/commands.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "cli/report.h"
#include "cli/system.h"
#include "core/flash_sequence.h"
#include "transport/image_file.h"

static void Complain(const std::string &text) { fprintf(stderr, "flashtool: %s\n", text.c_str()); }

int ListCommand(bool json) {
  std::vector<std::string> problems;
  std::vector<ListedDrive> drives = ListDrives(&problems);
  for (const std::string &problem : problems) Complain(problem);
  if (json) {
    printf("%s\n", DrivesJson(drives).c_str());
  } else {
    for (const ListedDrive &drive : drives) printf("%s\n", ListLine(drive).c_str());
    if (drives.empty()) Complain("no CD/DVD drive found");
  }
  return EXIT_FLASHED;
}

// Why an image cannot be flashed, in a sentence; empty when it can.
static std::string ImageProblem(const LoadedImage &image) {
  switch (image.outcome) {
    case IMAGE_LOADED: return "";
    case IMAGE_NOT_OPENED: return "cannot open it: " + SystemErrorText(image.systemError);
    case IMAGE_SIZE_UNKNOWN: return "cannot tell its size: " + SystemErrorText(image.systemError);
    case IMAGE_EMPTY: return "it is empty";
    case IMAGE_TOO_LARGE:
      return "it holds " + std::to_string(image.plan.imageSize) +
             " bytes; the download command carries at most " + std::to_string(MAX_IMAGE_SIZE);
    case IMAGE_NO_MEMORY: return "not enough memory to hold it";
    case IMAGE_READ_FAILED:
      return "cannot read all of it" +
             (image.systemError != 0 ? ": " + SystemErrorText(image.systemError) : "");
  }
  return "unknown problem";
}

// The drive's identity; false, with the reason told, when it does not answer.
static bool AskIdentity(DriveLink &link, const std::string &device, DriveIdentity *identity) {
  uint8_t data[INQUIRY_ALLOCATION] = {};
  CommandResult result = link.Run(InquiryCommand(data, INQUIRY_ALLOCATION));
  if (!result.Succeeded()) {
    Complain(device + " does not say what it is (INQUIRY): " +
             FailureReason(result, SystemErrorText(result.error)));
    return false;
  }
  *identity = ParseInquiry(data, result.transferred != 0 ? result.transferred : sizeof data);
  return true;
}

static bool Confirmed(const FlashOptions &options) {
  if (options.yes) return true;
  if (!InputIsTerminal()) {
    Complain("not flashing without --yes: standard input is not a terminal to confirm on");
    return false;
  }
  printf("Type YES to write %s into %s: ", options.image.c_str(), options.device.c_str());
  fflush(stdout);
  char answer[16] = "";
  if (fgets(answer, sizeof answer, stdin) == nullptr) printf("\n");
  return std::string(answer) == "YES\n";
}

// Tells what the flash does as it goes: progress, and an interrupt held.
class ConsoleObserver : public FlashObserver {
 public:
  void Log(std::initializer_list<const char *>) override {}  // the console says it its own way
  void Progress(int sent, int blocks) override {
    if (!toldHeld_ && HeldInterruptDue() && InterruptWaiting()) {
      toldHeld_ = true;
      fprintf(stderr, "%sflashtool: interrupt held until the flash ends: a drive left half-written may never start again\n",
              OutputIsTerminal() ? "\n" : "");
    }
    std::string line = progress_.After(sent, blocks);
    fputs(line.c_str(), stdout);
    fflush(stdout);
  }
  void CommandsBegin() override { KeepSystemAwake(true); }
  void CommandsEnd() override {
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
      printf("Flashing. Do not turn off the power or unplug the drive.\n");
      return false;
    }
    ReleaseInterrupts();
    return true;
  }

 private:
  using Clock = std::chrono::steady_clock;
  ProgressLines progress_{OutputIsTerminal()};
  bool toldHeld_ = false;
  Clock::time_point nextLook_;
};

static int TellOutcome(const FlashReport &report, const std::string &device) {
  switch (report.outcome) {
    case FLASH_SUCCEEDED:
      printf("Flashed: the drive took all %d blocks.\n", report.blocksSent);
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
      Complain("the drive holds only the blocks before it; do not use it before a flash succeeds");
      return EXIT_FLASH_FAILED;
    }
    case FLASH_STOPPED:
      Complain("interrupted before the first block: nothing was written");
      return EXIT_INTERRUPTED + InterruptRequested();
    case FLASH_REFUSED: break;
  }
  return EXIT_BAD_INPUT;
}

// After a flash the drive restarts with its new firmware: wait until it
// answers TEST UNIT READY (a drive without a disc answers NOT READY with
// MEDIUM NOT PRESENT, and is back all the same).
static bool WaitUntilReady(DriveLink &link, int seconds) {
  printf("Waiting for the drive to come back (up to %d s)...\n", seconds);
  fflush(stdout);
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    CommandResult result = link.Run(TestUnitReadyCommand());
    if (result.Succeeded()) return true;
    if (result.kind == CommandResult::DONE && result.scsiStatus == CHECK_CONDITION &&
        result.SenseKey() == 0x2 && result.AdditionalSenseCode() == 0x3A)
      return true;
    if (std::chrono::steady_clock::now() >= until || InterruptRequested() != 0) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
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
    return EXIT_NO_DEVICE;
  }
  DriveIdentity identity;
  if (!AskIdentity(drive->Link(), options.device, &identity)) {
    FreeImage(image);
    return EXIT_NO_DEVICE;
  }
  printf("Drive:  %s  %s\n", options.device.c_str(), IdentityText(identity).c_str());
  printf("Image:  %s  %llu bytes, %d blocks, checksum %04X\n", options.image.c_str(),
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
    return refused;
  }

  ConsoleObserver observer;
  FlashReport report = RunFlashSequence(drive->Link(), image.blocks, image.plan, observer);
  FreeImage(image);
  int code = TellOutcome(report, options.device);
  if (code != EXIT_FLASHED) return code;
  if (InterruptRequested() != 0) {
    printf("Interrupted: not waiting for the drive to come back.\n");
    return code;
  }
  if (!WaitUntilReady(drive->Link(), options.readySeconds)) {
    Complain("the drive did not come back within " + std::to_string(options.readySeconds) +
             " s; check it before use");
    return EXIT_FLASH_FAILED;
  }
  if (!AskIdentity(drive->Link(), options.device, &identity)) return EXIT_FLASH_FAILED;
  printf("Drive:  %s  %s\n", options.device.c_str(), IdentityText(identity).c_str());
  return EXIT_FLASHED;
}
