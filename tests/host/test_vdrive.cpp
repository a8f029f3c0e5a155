// The virtual drive is the oracle of the end-to-end tier: if it accepted a
// wrong download, every flash scenario would pass for the wrong reason.
#include <gtest/gtest.h>

#include <vector>

#include "vdrive/vdrive.h"

using namespace vdrive;

namespace {

struct Block {
  uint8_t cdb[12];
  std::vector<uint8_t> data;
};

// Cuts `image` into download commands the way a correct program must.
std::vector<Block> Download(const std::vector<uint8_t> &image) {
  std::vector<Block> out;
  uint16_t sum = 0;
  size_t count = (image.size() + DOWNLOAD_BLOCK - 1) / DOWNLOAD_BLOCK;
  for (size_t i = 0; i < count; ++i) {
    Block b{{0x55, 0x00, 0x2B, 0x41, 0x50, 0x49, 0, 0xA0, 0x00, 0, 0, 0x00},
            std::vector<uint8_t>(DOWNLOAD_BLOCK, 0)};
    for (size_t j = 0; j < DOWNLOAD_BLOCK && i * DOWNLOAD_BLOCK + j < image.size(); ++j) {
      b.data[j] = image[i * DOWNLOAD_BLOCK + j];
      sum = (uint16_t)(sum + b.data[j]);
    }
    b.cdb[6] = i + 1 == count ? 0xFF : (uint8_t)i;
    b.cdb[9] = sum >> 8;
    b.cdb[10] = sum & 0xFF;
    out.push_back(b);
  }
  return out;
}

Result Send(Drive &drive, Block &b) {
  return drive.Execute(b.cdb, 12, DIR_OUT, b.data.data(), (uint32_t)b.data.size());
}

std::string InquiryRevision(Drive &drive) {
  const uint8_t cdb[6] = {0x12, 0, 0, 0, 100, 0};
  std::vector<uint8_t> data(100, 0xCC);
  Result r = drive.Execute(cdb, 6, DIR_IN, data.data(), 100);
  EXPECT_EQ(r.transferred, 36u);
  return std::string(data.begin() + 32, data.begin() + 36);
}

DriveConfig Named(const char *name) {
  DriveConfig c;
  c.name = name;
  return c;
}

}  // namespace

TEST(VirtualDrive, InquiryCarriesConfiguredIdentityAndRespectsAllocationLength) {
  DriveConfig c = Named("d");
  c.type = 0x25;
  c.vendor = "ACME";
  c.product = "WRITER";
  c.revision = "1.5";
  Drive drive(c);
  std::vector<uint8_t> data(100, 0xCC);
  const uint8_t cdb[12] = {0x12, 0, 0, 0, 100, 0, 0, 0, 0, 0, 0, 0};
  Result r = drive.Execute(cdb, 12, DIR_IN, data.data(), 100);
  EXPECT_EQ(r.kind, Result::COMPLETED);
  EXPECT_EQ(r.scsiStatus, 0);
  ASSERT_EQ(r.transferred, 36u);
  EXPECT_EQ(data[0], 0x25);
  EXPECT_EQ(std::string(data.begin() + 8, data.begin() + 36),
            "ACME    WRITER          1.5 ");
  EXPECT_EQ(data[36], 0xCC);  // nothing written past the standard data

  const uint8_t shortCdb[6] = {0x12, 0, 0, 0, 5, 0};
  EXPECT_EQ(drive.Execute(shortCdb, 6, DIR_IN, data.data(), 100).transferred, 5u);
  EXPECT_EQ(drive.Execute(cdb, 12, DIR_IN, data.data(), 20).transferred, 20u);
}

TEST(VirtualDrive, CompleteDownloadChecksOutAndChangesTheRevision) {
  std::vector<uint8_t> image(DOWNLOAD_BLOCK * 2 + 1);
  for (size_t i = 0; i < image.size(); ++i) image[i] = (uint8_t)(i * 31 + 7);
  Drive drive(Named("d"));
  std::vector<std::string> events;
  for (Block &b : Download(image)) {
    Result r = Send(drive, b);
    EXPECT_EQ(r.scsiStatus, 0);
    events.insert(events.end(), r.events.begin(), r.events.end());
  }
  ASSERT_EQ(drive.blocks.size(), 3u);
  EXPECT_EQ(events[0].substr(0, 14), "BLOCK d idx=00");
  EXPECT_EQ(events[2].substr(0, 14), "BLOCK d idx=FF");
  for (const BlockRecord &b : drive.blocks) EXPECT_EQ(b.problem, "") << (int)b.index;
  EXPECT_EQ(events.back().substr(0, events.back().find(" us=")), "FLASHED d revision=2.00 blocks=3");
  EXPECT_EQ(InquiryRevision(drive), "2.00");
}

TEST(VirtualDrive, RejectsBadBlocksAndDoesNotFlash) {
  std::vector<uint8_t> image(DOWNLOAD_BLOCK * 3, 1);
  struct Case {
    const char *what;
    void (*spoil)(std::vector<Block> &);
    size_t badAt;
    const char *problem;
  };
  const Case cases[] = {
      {"wrong checksum", [](std::vector<Block> &b) { b[1].cdb[10] ^= 1; }, 1, "checksum want=4000"},
      {"skipped index", [](std::vector<Block> &b) { b[1].cdb[6] = 2; }, 1, "order"},
      {"bad signature", [](std::vector<Block> &b) { b[0].cdb[3] = 'a'; }, 0, "signature"},
      {"short block", [](std::vector<Block> &b) { b[2].data.resize(40959); }, 2, "length"},
  };
  for (const Case &c : cases) {
    Drive drive(Named("d"));
    std::vector<Block> blocks = Download(image);
    c.spoil(blocks);
    for (Block &b : blocks) Send(drive, b);
    ASSERT_EQ(drive.blocks.size(), 3u) << c.what;
    EXPECT_EQ(drive.blocks[c.badAt].problem, c.problem) << c.what;
    if (c.badAt < 2) EXPECT_EQ(drive.blocks[2].problem, "after-bad") << c.what;
    EXPECT_EQ(drive.flashedRevision, "") << c.what;
    EXPECT_EQ(InquiryRevision(drive), "1.00") << c.what;
  }
}

TEST(VirtualDrive, FaultsHitTheCountedCommand) {
  std::vector<uint8_t> image(DOWNLOAD_BLOCK * 3, 2);
  DriveConfig c = Named("d");
  c.failAt = 1;
  c.failError = 31;
  Drive drive(c);
  std::vector<Block> blocks = Download(image);
  EXPECT_EQ(Send(drive, blocks[0]).kind, Result::COMPLETED);
  Result r = Send(drive, blocks[1]);
  EXPECT_EQ(r.kind, Result::WIN32_ERROR);
  EXPECT_EQ(r.error, 31u);
  EXPECT_EQ(drive.blocks.size(), 1u);  // the failed block never reached the drive

  c.failOpcode = 0x12;
  c.failAt = 0;
  c.failError = 0;
  c.checkCondition = {0x70, 0, 0x06, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x28, 0};
  Drive unitAttention(c);
  std::vector<uint8_t> data(100, 0);
  const uint8_t inquiry[6] = {0x12, 0, 0, 0, 100, 0};
  r = unitAttention.Execute(inquiry, 6, DIR_IN, data.data(), 100);
  EXPECT_EQ(r.scsiStatus, 2);
  EXPECT_EQ(r.sense, c.checkCondition);
  EXPECT_EQ(data[0], 0);
  EXPECT_EQ(unitAttention.Execute(inquiry, 6, DIR_IN, data.data(), 100).scsiStatus, 0)
      << "fail_count 1 hits one command only";

  c.checkCondition.clear();
  c.vanish = true;
  Drive vanishing(c);
  r = vanishing.Execute(inquiry, 6, DIR_IN, data.data(), 100);
  EXPECT_EQ(r.error, (uint32_t)ERROR_GONE);
  EXPECT_FALSE(vanishing.Present());
  const uint8_t tur[6] = {};
  EXPECT_EQ(vanishing.Execute(tur, 6, DIR_NONE, nullptr, 0).error, (uint32_t)ERROR_GONE);
}

TEST(VirtualDriveConfig, RoundTripsAndRefusesWhatItCannotMean) {
  Config config;
  config.drives.push_back(Named("d"));
  config.drives.push_back(Named("c"));
  config.drives[0].failAt = 3;
  config.drives[0].checkCondition = {0x70, 0x00, 0x05};
  config.drives[1].type = 0;
  config.drives[1].newRevision = "";
  Config back;
  std::string error;
  ASSERT_TRUE(ParseConfig(FormatConfig(config), &back, &error)) << error;
  ASSERT_EQ(back.drives.size(), 2u);
  EXPECT_EQ(back.drives[0].failOpcode, 0x55);
  EXPECT_EQ(back.drives[0].failAt, 3);
  EXPECT_EQ(back.drives[0].checkCondition, config.drives[0].checkCondition);
  EXPECT_EQ(back.Find("c")->type, 0);
  EXPECT_EQ(back.Find("c")->newRevision, "");

  ASSERT_TRUE(ParseConfig("# two faults\n[drive g]\nfail_block=0\nfail_error=31\n", &back, &error));
  EXPECT_EQ(back.drives[0].failAt, 0);
  EXPECT_EQ(back.drives[0].failError, 31u);

  const char *bad[] = {
      "vendor=X\n",                                   // no section
      "[drive d]\nfail_eror=31\n",                    // typo
      "[drive d]\nfail_block=2\n",                    // fault without outcome
      "[drive d]\nfail_block=2\nhang=1\nvanish=1\n",  // two outcomes
      "[drive d]\ncheck_condition=70 0G\n",
  };
  for (const char *text : bad) EXPECT_FALSE(ParseConfig(text, &back, &error)) << text;
}
