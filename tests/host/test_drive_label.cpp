#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "discovery/drive_label.h"

namespace {

const std::string Prefix = "\x20\xB8\xCB\xB8\x6D\xA1\x47\x20";
const std::string Middle = "          \xB0\x62\xC5\xE9\xAA\xA9\xA5\xBB\xA1\x47\x20";

// INQUIRY data as a pass-through request leaves it: cleared, then `returned`
// bytes of a drive with the given vendor+product (24) and revision (4).
void Inquiry(uint8_t (&data)[INQUIRY_DATA_LENGTH], const char *vendorProduct,
             const char *revision, size_t returned = INQUIRY_DATA_LENGTH) {
  uint8_t drive[INQUIRY_DATA_LENGTH] = {0x05};
  memcpy(drive + 8, vendorProduct, 24);
  memcpy(drive + 32, revision, 4);
  memset(data, 0, sizeof data);
  memcpy(data, drive, returned);
}

std::string LabelOf(const uint8_t *data) {
  char label[DRIVE_LABEL_SIZE];
  memset(label, 0x5A, sizeof label);
  BuildDriveLabel(data, label);
  return std::string(label, strnlen(label, sizeof label));
}

}  // namespace

TEST(DriveLabel, FullDriveGivesBig5TextOf57Characters) {
  uint8_t data[INQUIRY_DATA_LENGTH];
  Inquiry(data, "ABCD    CD-RW 1234      ", "1.0A");
  std::string label = LabelOf(data);
  EXPECT_EQ(label, Prefix + "ABCD    CD-RW 1234      " + Middle + "1.0A");
  EXPECT_EQ(label.size(), 57u);
}

TEST(DriveLabel, FieldsEndAtTheirFirstNul) {
  uint8_t data[INQUIRY_DATA_LENGTH];
  Inquiry(data, "ABCD    CD-R\0 after NUL!", "1.0A");
  EXPECT_EQ(LabelOf(data), Prefix + "ABCD    CD-R" + Middle + "1.0A");

  Inquiry(data, "ABCD    CD-RW 1234      ", "1\0" "2A");
  EXPECT_EQ(LabelOf(data), Prefix + "ABCD    CD-RW 1234      " + Middle + "1");
}

TEST(DriveLabel, ShortDataEndsWhereTheDriveStopped) {
  uint8_t data[INQUIRY_DATA_LENGTH];
  Inquiry(data, "ABCD    CD-RW 1234      ", "1.0A", 20);
  EXPECT_EQ(LabelOf(data), Prefix + "ABCD    CD-R" + Middle);
  Inquiry(data, "ABCD    CD-RW 1234      ", "1.0A", 0);
  EXPECT_EQ(LabelOf(data), Prefix + Middle);
}
