#include <gtest/gtest.h>

#include <vector>

#include "core/blocks.h"
#include "core/inquiry.h"
#include "core/scsi.h"

TEST(BlockPlan, LastIndexAndSizeAtBlockBoundaries) {
  struct Case { uint64_t size; int32_t lastIndex, lastSize; };
  const Case cases[] = {
      {1, 0, 1},
      {BLOCK_SIZE, 0, BLOCK_SIZE},
      {BLOCK_SIZE + 1, 1, 1},
      {2 * BLOCK_SIZE, 1, BLOCK_SIZE},
      {10485760, 255, BLOCK_SIZE},
  };
  for (const Case &c : cases) {
    BlockPlan plan = PlanBlocks(c.size);
    EXPECT_EQ(plan.verdict, PlanFits) << c.size;
    EXPECT_EQ(plan.lastIndex, c.lastIndex) << c.size;
    EXPECT_EQ(plan.lastSize, c.lastSize) << c.size;
  }
}

TEST(BlockPlan, FlagsImagesTheCommandCannotCarry) {
  EXPECT_EQ(PlanBlocks(0).verdict, PlanEmpty);
  EXPECT_EQ(PlanBlocks(0).lastIndex, -1);
  EXPECT_EQ(PlanBlocks(10485761).verdict, PlanTooLarge);
  // The low 32 bits alone would read as a 100-byte image.
  BlockPlan huge = PlanBlocks((1ull << 32) + 100);
  EXPECT_EQ(huge.verdict, PlanTooLarge);
  EXPECT_EQ(huge.lastIndex, -1);
}

TEST(DownloadCommand, OneByteImageGivesGoldenCommand) {
  std::vector<uint8_t> block(BLOCK_SIZE, 0);
  block[0] = 0x61;
  uint16_t checksum = AddToChecksum(0, block.data());
  EXPECT_EQ(checksum, 0x0061);
  ScsiCommand command = DownloadCommand(BlockIndex(PlanBlocks(1), 0), checksum, block.data());
  const uint8_t golden[CDB_CAPACITY] = {0x55, 0x00, 0x2B, 0x41, 0x50, 0x49,
                                        0xFF, 0xA0, 0x00, 0x00, 0x61, 0x00};
  EXPECT_EQ(std::vector<uint8_t>(command.cdb, command.cdb + CDB_CAPACITY),
            std::vector<uint8_t>(golden, golden + CDB_CAPACITY));
  EXPECT_EQ(command.cdbLength, 12);
  EXPECT_EQ(command.direction, DATA_OUT);
  EXPECT_EQ(command.length, (uint32_t)BLOCK_SIZE);
  EXPECT_EQ(command.timeoutSeconds, 100u);
  EXPECT_EQ(command.data, block.data());
}

TEST(DownloadCommand, IndexesRunToFEAndTheLastIsFF) {
  BlockPlan largest = PlanBlocks(10485760);
  EXPECT_EQ(BlockIndex(largest, 0), 0x00);
  EXPECT_EQ(BlockIndex(largest, 254), 0xFE);
  EXPECT_EQ(BlockIndex(largest, 255), 0xFF);
  EXPECT_EQ(BlockIndex(PlanBlocks(BLOCK_SIZE + 1), 1), 0xFF);
  EXPECT_EQ(PlannedBytes(PlanBlocks(BLOCK_SIZE + 1)), 2u * BLOCK_SIZE);
  EXPECT_EQ(PlannedBytes(PlanBlocks(0)), 0u);
}

TEST(Inquiry, GoldenCommandAndIdentity) {
  uint8_t data[INQUIRY_ALLOCATION];
  ScsiCommand command = InquiryCommand(data, INQUIRY_ALLOCATION);
  EXPECT_EQ(std::vector<uint8_t>(command.cdb, command.cdb + 6),
            (std::vector<uint8_t>{0x12, 0x00, 0x00, 0x00, 0x64, 0x00}));
  EXPECT_EQ(command.cdbLength, 6);
  EXPECT_EQ(command.direction, DATA_IN);
  EXPECT_EQ(command.length, 100u);

  const uint8_t drive[] = "\x25\x80\x00\x02\x1F\x00\x00\x00QUOR    CD-RW\x1B[2J       1.0 ";
  DriveIdentity identity = ParseInquiry(drive, sizeof drive - 1);
  EXPECT_EQ(identity.deviceType, 5) << "the qualifier bits are not the type";
  EXPECT_FALSE(IsCdDvdDrive(identity)) << "qualifier 1: no unit connected there";
  EXPECT_STREQ(identity.vendor, "QUOR");
  EXPECT_STREQ(identity.product, "CD-RW?[2J") << "control bytes never reach a terminal";
  EXPECT_STREQ(identity.revision, "1.0");
  DriveIdentity none = ParseInquiry(drive, 10);
  EXPECT_STREQ(none.vendor, "QU");
  EXPECT_STREQ(none.revision, "") << "bytes not returned read as 0";
}

TEST(Checksum, SumsBytesAndFormatsLine) {
  std::vector<uint8_t> block(BLOCK_SIZE, 0);
  block[0] = 'a';
  block[1] = 'b';
  block[2] = 'c';
  uint16_t checksum = AddToChecksum(0, block.data());
  EXPECT_EQ(checksum, 0x0126);
  char line[26];
  FormatChecksumLine(checksum, line);
  EXPECT_STREQ(line, "Firmware check sum: 0126");
  FormatChecksumLine(0xABCD, line);
  EXPECT_STREQ(line, "Firmware check sum: ABCD");
}

TEST(Checksum, WrapsPastFFFF) {
  std::vector<uint8_t> block(BLOCK_SIZE, 0);
  block[0] = 0x10;
  block[BLOCK_SIZE - 1] = 0x10;
  EXPECT_EQ(AddToChecksum(0xFFF0, block.data()), 0x0010);
}

// Both sense formats give the same codes; a data-out block that did not
// arrive whole fails even under GOOD.
TEST(CommandResult, SenseFormatsAndShortTransfers) {
  const uint8_t fixed[] = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00};
  const uint8_t descriptor[] = {0x72, 0x05, 0x24, 0x00, 0, 0, 0, 0};
  for (const auto &sense : {std::vector<uint8_t>(fixed, fixed + sizeof fixed),
                            std::vector<uint8_t>(descriptor, descriptor + sizeof descriptor)}) {
    SenseCodes codes = ParseSense(sense.data(), sense.size());
    EXPECT_TRUE(codes.valid);
    EXPECT_EQ(codes.key, 5);
    EXPECT_EQ(codes.asc, 0x24);
    EXPECT_EQ(codes.ascq, 0);
  }
  EXPECT_FALSE(ParseSense(descriptor, 0).valid);

  uint8_t block[BLOCK_SIZE] = {};
  ScsiCommand out = DownloadCommand(0, 0, block);
  CommandResult result;
  SetResidual(result, out, 0);
  EXPECT_TRUE(result.Succeeded());
  SetResidual(result, out, 512);
  EXPECT_FALSE(result.Succeeded());
  EXPECT_EQ(result.kind, CommandResult::SHORT_TRANSFER);
  uint8_t data[INQUIRY_ALLOCATION];
  CommandResult in;
  SetResidual(in, InquiryCommand(data, INQUIRY_ALLOCATION), 64);
  EXPECT_TRUE(in.Succeeded()) << "a short data-in answer is only shorter";
  EXPECT_EQ(in.transferred, 36u);
}
