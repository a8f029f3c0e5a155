// The flash sequence against the virtual drive, which checks every block it
// receives, through an in-memory drive link.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/flash_sequence.h"
#include "vdrive/vdrive.h"

namespace {

// The link of a route whose preparation is an INQUIRY that must answer GOOD.
class VirtualLink : public DriveLink {
 public:
  explicit VirtualLink(vdrive::Drive &drive) : drive_(drive) {}
  CommandResult Perform(const ScsiCommand &command) override {
    vdrive::Direction direction = command.direction == DATA_IN    ? vdrive::DIR_IN
                                  : command.direction == DATA_OUT ? vdrive::DIR_OUT
                                                                  : vdrive::DIR_NONE;
    vdrive::Result r = drive_.Execute(command.cdb, command.cdbLength, direction, command.data,
                                      command.length);
    CommandResult result;
    if (r.kind == vdrive::Result::WIN32_ERROR) {
      result.kind = CommandResult::SYSTEM_ERROR;
      result.systemError = r.error;
    } else if (r.kind == vdrive::Result::ASPI_ERROR) {
      result.kind = CommandResult::ADAPTER_ERROR;
      result.hostStatus = r.aspiStatus;
    }
    result.scsiStatus = r.scsiStatus;
    result.senseLength = (uint8_t)r.sense.size();
    if (!r.sense.empty()) memcpy(result.sense, r.sense.data(), r.sense.size());
    return result;
  }
  CommandResult PrepareForFlash() override {
    uint8_t data[INQUIRY_ALLOCATION];
    return Run(InquiryCommand(data, INQUIRY_ALLOCATION));
  }

 private:
  vdrive::Drive &drive_;
};

// Everything the sequence told, in one stream: lines, "progress k/n", "begin", "end".
class Recorder : public FlashObserver {
 public:
  void Log(std::initializer_list<const char *> lines) override {
    for (const char *line : lines) said.push_back(line);
  }
  void Progress(int sent, int blocks) override {
    said.push_back("progress " + std::to_string(sent) + "/" + std::to_string(blocks));
  }
  void CommandsBegin() override { said.push_back("begin"); }
  void CommandsEnd() override { said.push_back("end"); }
  bool StopBeforeFirstBlock() override { return stop; }
  std::vector<std::string> said;
  bool stop = false;
};

std::vector<uint8_t> Image(size_t size) {
  std::vector<uint8_t> blocks(PlannedBytes(PlanBlocks(size)), 0);
  for (size_t i = 0; i < size; ++i) blocks[i] = (uint8_t)(i * 13 + (i >> 9));
  return blocks;
}

vdrive::DriveConfig Drive() {
  vdrive::DriveConfig d;
  d.name = "d";
  return d;
}

size_t Downloads(const vdrive::Drive &drive) {
  size_t n = 0;
  for (const vdrive::CommandRecord &c : drive.commands) n += c.cdb[0] == 0x55;
  return n;
}

const std::vector<std::string> START = {"Start Flashing...", "Don't turn off the power!!", "begin"};

std::vector<std::string> Tail(const std::vector<std::string> &said, size_t n) {
  return std::vector<std::string>(said.end() - std::min(n, said.size()), said.end());
}

}  // namespace

TEST(FlashSequence, LargestImageGoesOutInOrderEndingInFFWithTheImageChecksum) {
  vdrive::Drive drive(Drive());
  VirtualLink link(drive);
  Recorder observer;
  std::vector<uint8_t> image = Image(10485760);
  BlockPlan plan = PlanBlocks(10485760);
  FlashReport report = RunFlashSequence(link, image.data(), plan, observer);

  EXPECT_EQ(report.outcome, FLASH_SUCCEEDED);
  EXPECT_EQ(report.blocksSent, 256);
  ASSERT_EQ(drive.blocks.size(), 256u);
  for (size_t i = 0; i < 256; ++i) {
    EXPECT_EQ(drive.blocks[i].index, i == 255 ? 0xFF : i) << i;
    EXPECT_EQ(drive.blocks[i].problem, "") << i;
  }
  uint16_t sum = 0;
  for (uint8_t byte : image) sum = (uint16_t)(sum + byte);
  EXPECT_EQ(report.checksum, sum);
  EXPECT_EQ(ImageChecksum(image.data(), plan), sum);
  EXPECT_EQ(drive.flashedRevision, "2.00");
  EXPECT_EQ(drive.commands[0].cdb[0], 0x12) << "the preparation comes first";

  // Once per block, the checksum line just before the last one.
  std::vector<std::string> expected = START;
  char line[32];
  FormatChecksumLine(sum, line);
  for (int k = 1; k <= 256; ++k) {
    if (k == 256) expected.insert(expected.end(), {line, "Please wait...."});
    expected.push_back("progress " + std::to_string(k) + "/256");
  }
  expected.insert(expected.end(), {" ", "======== SUCCEED ========", " ", "end"});
  EXPECT_EQ(observer.said, expected);
}

TEST(FlashSequence, BlockThatFailsWithASystemErrorEndsTheFlashThereAndNamesIt) {
  vdrive::DriveConfig config = Drive();
  config.failAt = 2;
  config.failError = 31;
  vdrive::Drive drive(config);
  VirtualLink link(drive);
  Recorder observer;
  std::vector<uint8_t> image = Image(5 * BLOCK_SIZE);
  FlashReport report = RunFlashSequence(link, image.data(), PlanBlocks(5 * BLOCK_SIZE), observer);

  EXPECT_EQ(report.outcome, FLASH_BLOCK_FAILED);
  EXPECT_EQ(report.blocksSent, 2);
  EXPECT_EQ(report.failedIndex, 2);
  EXPECT_EQ(report.failure.systemError, 31u);
  EXPECT_EQ(Downloads(drive), 3u) << "nothing after the failed block";
  EXPECT_EQ(Tail(observer.said, 6), (std::vector<std::string>{
                                        "progress 1/5", "progress 2/5", " ",
                                        "======== FAIL 31========", " ", "end"}));
}

TEST(FlashSequence, RefusedBlockAndAdapterErrorFailWithoutANumber) {
  vdrive::DriveConfig config = Drive();
  config.failAt = 1;
  config.checkCondition = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x26, 0x01};
  vdrive::Drive refusing(config);
  VirtualLink link(refusing);
  Recorder observer;
  std::vector<uint8_t> image = Image(3 * BLOCK_SIZE);
  FlashReport report = RunFlashSequence(link, image.data(), PlanBlocks(3 * BLOCK_SIZE), observer);
  EXPECT_EQ(report.outcome, FLASH_BLOCK_FAILED);
  EXPECT_EQ(report.failure.scsiStatus, CHECK_CONDITION);
  EXPECT_EQ(report.failure.SenseKey(), 5);
  EXPECT_EQ(report.failure.AdditionalSenseCode(), 0x26);
  EXPECT_EQ(report.failure.Qualifier(), 0x01);
  EXPECT_EQ(Tail(observer.said, 4),
            (std::vector<std::string>{" ", "======== FAIL ========", " ", "end"}));

  config.checkCondition.clear();
  config.aspiStatus = 0x04;
  vdrive::Drive adapter(config);
  VirtualLink adapterLink(adapter);
  Recorder second;
  report = RunFlashSequence(adapterLink, image.data(), PlanBlocks(3 * BLOCK_SIZE), second);
  EXPECT_EQ(report.failure.kind, CommandResult::ADAPTER_ERROR);
  EXPECT_EQ(Tail(second.said, 4),
            (std::vector<std::string>{" ", "======== FAIL ========", " ", "end"}));
}

TEST(FlashSequence, NothingIsWrittenWhenThePreparationFailsOrTheCallerStops) {
  vdrive::DriveConfig config = Drive();
  config.failOpcode = 0x12;
  config.failAt = 0;
  config.failError = 1167;
  vdrive::Drive gone(config);
  VirtualLink link(gone);
  Recorder observer;
  std::vector<uint8_t> image = Image(BLOCK_SIZE + 1);
  FlashReport report = RunFlashSequence(link, image.data(), PlanBlocks(BLOCK_SIZE + 1), observer);
  EXPECT_EQ(report.outcome, FLASH_NOT_PREPARED);
  EXPECT_EQ(Downloads(gone), 0u);
  std::vector<std::string> expected = START;
  expected.insert(expected.end(), {" ", "======== FAIL ========", " ", "end"});
  EXPECT_EQ(observer.said, expected) << "a drive that does not answer gets no number";

  vdrive::Drive drive(Drive());
  VirtualLink ready(drive);
  Recorder stopping;
  stopping.stop = true;
  report = RunFlashSequence(ready, image.data(), PlanBlocks(BLOCK_SIZE + 1), stopping);
  EXPECT_EQ(report.outcome, FLASH_STOPPED);
  EXPECT_EQ(Downloads(drive), 0u);
  EXPECT_EQ(stopping.said.back(), "end");

  Recorder refused;
  report = RunFlashSequence(ready, nullptr, PlanBlocks(0), refused);
  EXPECT_EQ(report.outcome, FLASH_REFUSED);
  EXPECT_TRUE(refused.said.empty());
  EXPECT_EQ(drive.commands.size(), 1u) << "only the earlier preparation";
}
