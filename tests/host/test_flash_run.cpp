// The run of a flash against a system of the test's own: what each phase
// leaves behind (polling, the drive taken after the flash) and the code the
// drive's state gives, without a process or a kernel.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "run/flash_run.h"

namespace {

CommandResult Status(uint8_t key, uint8_t asc, uint8_t ascq) {
  CommandResult r;
  r.scsiStatus = CHECK_CONDITION;
  uint8_t sense[18] = {0x70, 0, key, 0, 0, 0, 0, 10, 0, 0, 0, 0, asc, ascq};
  memcpy(r.sense, sense, sizeof sense);
  r.senseLength = sizeof sense;
  return r;
}

CommandResult Lost(uint32_t error) {
  CommandResult r;
  r.kind = CommandResult::SYSTEM_ERROR;
  r.systemError = error;
  return r;
}

// Drives by node, each answering as the test says; every command noted.
class FakeSystem : public FlashSystem {
 public:
  // What a drive answers: nullptr for the usual answer.
  std::function<const CommandResult *(const std::string &node, const ScsiCommand &command, int block)> script;
  std::vector<SeenDrive> present{{"0:0:0:0", "/dev/sr0", "/dev/sg0", "port", "QUOR", "VIRTUAL CD-RW"}};
  std::vector<std::string> sent;  // "node opcode"
  int pollingOff = 0, pollingBack = 0, requested = 0;
  std::string revisionAfter = "2.00";
  std::recursive_mutex lock;

  CommandResult Perform(const std::string &node, const ScsiCommand &command, int *downloads) {
    std::lock_guard<std::recursive_mutex> hold(lock);
    char line[64];
    snprintf(line, sizeof line, "%s %02X", node.c_str(), command.cdb[0]);
    sent.push_back(line);
    int block = command.cdb[0] == 0x55 ? (*downloads)++ : -1;
    if (script) {
      const CommandResult *answer = script(node, command, block);
      if (answer != nullptr) return *answer;
    }
    CommandResult r;
    if (command.cdb[0] == 0x12 && (command.cdb[1] & 1) == 0) {
      memset(command.data, ' ', command.length);
      command.data[0] = CD_DVD_DEVICE_TYPE;
      command.data[4] = 31;
      memcpy(command.data + 8, "QUOR", 4);
      memcpy(command.data + 16, "VIRTUAL CD-RW", 13);
      memcpy(command.data + 32, *downloads > 0 ? revisionAfter.c_str() : "1.00", 4);
      r.transferred = 36;
    } else if (command.cdb[0] == 0x12) {
      r = Status(5, 0x24, 0);  // no serial number page
    }
    return r;
  }
  size_t SentTo(const std::string &node) {
    std::lock_guard<std::recursive_mutex> hold(lock);
    size_t n = 0;
    for (const std::string &line : sent) n += line.compare(0, node.size() + 1, node + " ") == 0;
    return n;
  }

  DriveName Name(const std::string &device) override { return {device, KeyOf(device)}; }
  std::unique_ptr<OpenedDrive> Open(const std::string &device, OpenFailure *failure, std::string *why) override;
  std::vector<SeenDrive> Present() override {
    std::lock_guard<std::recursive_mutex> hold(lock);
    return present;
  }
  bool AskPresent(const SeenDrive &drive, DriveIdentity *identity, std::string *serial) override {
    int downloads = 1;  // it answers as a flashed drive would
    uint8_t data[INQUIRY_ALLOCATION] = {};
    ScsiCommand inquiry = InquiryCommand(data, INQUIRY_ALLOCATION);
    if (!Perform(drive.node, inquiry, &downloads).Succeeded()) return false;
    *identity = ParseInquiry(data, 36);
    serial->clear();
    return true;
  }
  std::string PortOf(const std::string &) override { return "port"; }
  std::string KeepAwake(bool) override { return ""; }
  int Requested() override { return requested; }
  void Hold() override {}
  bool Waiting() override { return false; }
  int Held() override { return 0; }
  void Release() override {}
  std::string KeyOf(const std::string &node) {
    std::lock_guard<std::recursive_mutex> hold(lock);
    for (const SeenDrive &d : present)
      if (d.node == node) return d.key;
    return "";
  }
  void Add(const std::string &key, const std::string &node) {
    std::lock_guard<std::recursive_mutex> hold(lock);
    present.push_back({key, node, "", "port", "QUOR", "VIRTUAL CD-RW"});
  }
  void Remove(const std::string &node) {
    std::lock_guard<std::recursive_mutex> hold(lock);
    for (size_t i = 0; i < present.size(); ++i)
      if (present[i].node == node) present.erase(present.begin() + (long)i);
  }
};

class FakeLink : public DriveLink {
 public:
  FakeLink(FakeSystem &system, const std::string &node) : system_(system), node_(node) {}
  CommandResult PrepareForFlash() override { return ClearUnitAttention(*this); }

 protected:
  CommandResult Perform(const ScsiCommand &command) override { return system_.Perform(node_, command, &downloads_); }

 private:
  FakeSystem &system_;
  std::string node_;
  int downloads_ = 0;
};

class FakeDrive : public OpenedDrive {
 public:
  FakeDrive(FakeSystem &system, const std::string &node) : system_(system), link_(system, node), node_(node) {}
  DriveLink &Link() override { return link_; }
  std::string PollingOff() override {
    ++system_.pollingOff;
    off_ = true;
    return "";
  }
  void PollingBack() override {
    if (!off_) return;
    ++system_.pollingBack;
    off_ = false;
  }
  bool PollingIsOff() const override { return off_; }
  bool Gone(const CommandResult &answer) override {
    return answer.kind == CommandResult::SYSTEM_ERROR && answer.systemError == ENODEV;
  }

 private:
  FakeSystem &system_;
  FakeLink link_;
  std::string node_;
  bool off_ = false;
};

std::unique_ptr<OpenedDrive> FakeSystem::Open(const std::string &device, OpenFailure *failure, std::string *why) {
  if (KeyOf(device).empty()) {
    *failure = OPEN_MISSING;
    *why = "no such drive";
    return nullptr;
  }
  return std::unique_ptr<OpenedDrive>(new FakeDrive(*this, device));
}

class Quiet : public RunObserver {
 public:
  std::function<void()> onConfirm;
  bool Confirm(const std::vector<const DriveRun *> &) override {
    if (onConfirm) onConfirm();
    return true;
  }
};

struct Image {
  explicit Image(size_t size) : bytes(((size + BLOCK_SIZE - 1) / BLOCK_SIZE) * BLOCK_SIZE, 0x5A) {
    loaded.outcome = IMAGE_LOADED;
    loaded.blocks = bytes.data();
    loaded.plan = PlanBlocks(size);
  }
  std::vector<uint8_t> bytes;
  LoadedImage loaded{};
};

std::vector<DriveRun> Flash(FakeSystem &system, size_t imageSize, std::vector<std::string> devices = {"/dev/sr0"},
                            int settle = 0, int ready = 1, Quiet *observer = nullptr) {
  RunOptions options;
  options.devices = devices;
  options.settleSeconds = settle;
  options.readySeconds = ready;
  Image image(imageSize);
  Quiet quiet;
  return RunFlash(system, options, image.loaded, RunRecord(), observer != nullptr ? *observer : quiet);
}

// The polling goes off before the first block and comes back only once the
// drive answered; a drive that may be writing its firmware keeps it off.
// The code follows what the drive may hold.
TEST(FlashRun, PollingAndTheCodeFollowWhatTheDriveMayHold) {
  FakeSystem good;
  std::vector<DriveRun> runs = Flash(good, 3 * BLOCK_SIZE);
  EXPECT_EQ(runs[0].code, EXIT_FLASHED);
  EXPECT_EQ(good.pollingOff, 1);
  EXPECT_EQ(good.pollingBack, 1);
  EXPECT_STREQ(runs[0].record.after.identity.revision, "2.00");

  // Never ready after the flash: asked from the end of the quiet period
  // for the whole ready time, and the polling stays off.
  FakeSystem unready;
  CommandResult notReady = Status(2, 0x04, 0x01);
  int asked = 0;
  bool flashed = false;
  unready.script = [&](const std::string &, const ScsiCommand &c, int block) -> const CommandResult * {
    flashed |= block == 1;
    if (c.cdb[0] != 0x00 || !flashed) return nullptr;
    ++asked;
    EXPECT_GE(c.timeoutSeconds, (uint32_t)AFTER_FLASH_TIMEOUT_S);
    return &notReady;
  };
  runs = Flash(unready, 2 * BLOCK_SIZE, {"/dev/sr0"}, 1, 1);
  EXPECT_EQ(runs[0].ending, Ending::NO_ANSWER);
  EXPECT_EQ(runs[0].code, EXIT_UNCONFIRMED);
  EXPECT_EQ(unready.pollingBack, 0);
  EXPECT_TRUE(runs[0].pollingLeftOff);
  EXPECT_GE(asked, 2) << "the ready time counts from the end of the quiet period";
  EXPECT_GE(runs[0].waitedSeconds, 1.9);

  struct Case {
    size_t size;
    int failingBlock;
    CommandResult answer;
    int code;
    Holds holds;
    int pollingBack;
  } cases[] = {
      {3 * BLOCK_SIZE, 0, Status(5, 0x20, 0), EXIT_NOTHING_WRITTEN, Holds::AS_IT_WAS, 1},
      {3 * BLOCK_SIZE, 0, Lost(ETIMEDOUT), EXIT_FLASH_FAILED, Holds::PART_OF_IMAGE, 0},
      {3 * BLOCK_SIZE, 1, Status(5, 0x24, 0), EXIT_FLASH_FAILED, Holds::PART_OF_IMAGE, 1},
      {BLOCK_SIZE, 0, Lost(EIO), EXIT_FLASH_FAILED, Holds::MAY_BE_WRITING, 0},
  };
  for (const Case &c : cases) {
    FakeSystem failing;
    failing.script = [&](const std::string &, const ScsiCommand &, int block) {
      return block == c.failingBlock ? &c.answer : nullptr;
    };
    runs = Flash(failing, c.size);
    EXPECT_EQ(runs[0].code, c.code) << c.size << " bytes, block " << c.failingBlock;
    EXPECT_EQ(runs[0].holds, c.holds) << c.size << " bytes, block " << c.failingBlock;
    EXPECT_EQ(failing.pollingBack, c.pollingBack) << c.size << " bytes, block " << c.failingBlock;
  }
}

// A drive that restarts under another node is taken there only when its
// node appeared after the flashed drive's left; one that came during the
// blocks is never asked.
TEST(FlashRun, TheDriveAfterTheFlashIsTheFlashedOneOrNone) {
  for (bool newcomerFirst : {true, false}) {
    FakeSystem system;
    CommandResult gone = Lost(ENODEV);
    system.script = [&](const std::string &node, const ScsiCommand &c, int block) -> const CommandResult * {
      // Plugged in during the blocks, with ours gone at its last block:
      // both are first seen by one look.
      if (newcomerFirst && block == 1) system.Add("1:0:0:0", "/dev/sr1");
      if (newcomerFirst && block == 2) system.Remove("/dev/sr0");
      if (node == "/dev/sr0" && c.cdb[0] == 0x00 && system.SentTo("/dev/sr0") > 6) {
        system.Remove("/dev/sr0");
        if (!newcomerFirst) system.Add("1:0:0:0", "/dev/sr1");  // the drive restarting
        return &gone;
      }
      return nullptr;
    };
    std::vector<DriveRun> runs = Flash(system, 3 * BLOCK_SIZE, {"/dev/sr0"}, 1, 2);
    if (newcomerFirst) {
      EXPECT_EQ(runs[0].code, EXIT_UNCONFIRMED);
      EXPECT_EQ(system.SentTo("/dev/sr1"), 0u) << "a drive that was there before ours left is not asked";
    } else {
      EXPECT_EQ(runs[0].code, EXIT_FLASHED);
      EXPECT_EQ(runs[0].backAs, "/dev/sr1");
    }
  }
}

// Several drives stopped before their first block end with the signal's code.
TEST(FlashRun, SeveralDrivesInterruptedEndWithTheSignal) {
  FakeSystem system;
  system.Add("1:0:0:0", "/dev/sr1");
  Quiet observer;
  observer.onConfirm = [&] { system.requested = SIGTERM; };
  std::vector<DriveRun> runs = Flash(system, 2 * BLOCK_SIZE, {"/dev/sr0", "/dev/sr1"}, 0, 1, &observer);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(RunCode(runs), EXIT_INTERRUPTED + SIGTERM);
  EXPECT_EQ(system.pollingOff, 0);
  for (const std::string &line : system.sent) EXPECT_NE(line.substr(line.size() - 2), "55") << line;
}

}  // namespace
