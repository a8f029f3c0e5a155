#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "flash/blocks.h"

namespace {

// A temporary image stream positioned at its start; closed by the caller.
FILE *ImageOf(const std::vector<uint8_t> &bytes) {
  FILE *image = tmpfile();
  if (image == nullptr) return nullptr;
  if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), image);
  rewind(image);
  return image;
}

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = (uint8_t)(i * 7 + 3);
  return bytes;
}

}  // namespace

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

TEST(DownloadCommand, OneByteImageGivesGoldenCommandAndZeroFilledBlock) {
  FILE *image = ImageOf({0x61});
  ASSERT_NE(image, nullptr);
  BlockPlan plan = PlanBlocks(1);
  std::vector<uint8_t> block(BLOCK_SIZE, 0xCC);
  size_t delivered = 0, expected = 0;
  uint8_t index = LoadBlock(image, 0, plan, block.data(), &delivered, &expected);
  fclose(image);

  EXPECT_EQ(index, 0xFF);
  EXPECT_EQ(delivered, 1u);
  EXPECT_EQ(expected, 1u);
  EXPECT_EQ(block[0], 0x61);
  EXPECT_EQ(std::vector<uint8_t>(block.begin() + 1, block.end()),
            std::vector<uint8_t>(BLOCK_SIZE - 1, 0));

  uint16_t checksum = AddToChecksum(0, block.data());
  EXPECT_EQ(checksum, 0x0061);
  uint8_t cdb[DOWNLOAD_CDB_LENGTH];
  BuildDownloadCommand(index, BLOCK_SIZE, checksum, cdb);
  const uint8_t golden[DOWNLOAD_CDB_LENGTH] = {0x55, 0x00, 0x2B, 0x41, 0x50, 0x49,
                                               0xFF, 0xA0, 0x00, 0x00, 0x61, 0x00};
  EXPECT_EQ(std::vector<uint8_t>(cdb, cdb + 12), std::vector<uint8_t>(golden, golden + 12));
}

TEST(LoadBlock, SecondBlockOfOneByteIsLastAndZeroFilled) {
  std::vector<uint8_t> bytes = Pattern(BLOCK_SIZE + 1);
  FILE *image = ImageOf(bytes);
  ASSERT_NE(image, nullptr);
  BlockPlan plan = PlanBlocks(bytes.size());
  std::vector<uint8_t> block(BLOCK_SIZE, 0xCC);
  size_t delivered, expected;

  EXPECT_EQ(LoadBlock(image, 0, plan, block.data(), &delivered, &expected), 0x00);
  EXPECT_EQ(delivered, (size_t)BLOCK_SIZE);
  EXPECT_EQ(block, std::vector<uint8_t>(bytes.begin(), bytes.begin() + BLOCK_SIZE));

  EXPECT_EQ(LoadBlock(image, 1, plan, block.data(), &delivered, &expected), 0xFF);
  EXPECT_EQ(delivered, 1u);
  EXPECT_EQ(block[0], bytes[BLOCK_SIZE]);
  EXPECT_EQ(std::vector<uint8_t>(block.begin() + 1, block.end()),
            std::vector<uint8_t>(BLOCK_SIZE - 1, 0));
  fclose(image);
}

TEST(LoadBlock, LargestImageNumbersBlocksUpToFEThenFF) {
  std::vector<uint8_t> bytes = Pattern(10485760);
  FILE *image = ImageOf(bytes);
  ASSERT_NE(image, nullptr);
  BlockPlan plan = PlanBlocks(bytes.size());
  std::vector<uint8_t> block(BLOCK_SIZE);
  uint16_t checksum = 0, imageSum = 0;
  for (uint8_t byte : bytes) imageSum = (uint16_t)(imageSum + byte);
  for (int32_t position = 0; position <= plan.lastIndex; ++position) {
    size_t delivered, expected;
    uint8_t index = LoadBlock(image, position, plan, block.data(), &delivered, &expected);
    ASSERT_EQ(delivered, expected) << position;
    EXPECT_EQ(index, position == 255 ? 0xFF : position) << position;
    checksum = AddToChecksum(checksum, block.data());
  }
  fclose(image);
  EXPECT_EQ(checksum, imageSum);
}

TEST(LoadBlock, ShortStreamReportsFewerBytesAndLeavesNoStaleData) {
  FILE *image = ImageOf(Pattern(100));
  ASSERT_NE(image, nullptr);
  BlockPlan plan = PlanBlocks(BLOCK_SIZE + 1);  // the size said more than the stream holds
  std::vector<uint8_t> block(BLOCK_SIZE, 0xCC);
  size_t delivered, expected;
  LoadBlock(image, 0, plan, block.data(), &delivered, &expected);
  fclose(image);
  EXPECT_EQ(delivered, 100u);
  EXPECT_EQ(expected, (size_t)BLOCK_SIZE);
  EXPECT_EQ(std::vector<uint8_t>(block.begin() + 100, block.end()),
            std::vector<uint8_t>(BLOCK_SIZE - 100, 0));
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
