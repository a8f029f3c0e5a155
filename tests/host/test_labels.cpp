#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/labels.h"
#include "core/scsi.h"

namespace {

const std::string Prefix = "\x20\xB8\xCB\xB8\x6D\xA1\x47\x20";
const std::string Middle = "          \xB0\x62\xC5\xE9\xAA\xA9\xA5\xBB\xA1\x47\x20";

// INQUIRY data as a pass-through request leaves it: cleared, then `returned`
// bytes of a drive with the given vendor+product (24) and revision (4).
void Inquiry(uint8_t (&data)[INQUIRY_ALLOCATION], const char *vendorProduct,
             const char *revision, size_t returned = INQUIRY_ALLOCATION) {
  uint8_t drive[INQUIRY_ALLOCATION] = {0x05};
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
  uint8_t data[INQUIRY_ALLOCATION];
  Inquiry(data, "ABCD    CD-RW 1234      ", "1.0A");
  std::string label = LabelOf(data);
  EXPECT_EQ(label, Prefix + "ABCD    CD-RW 1234      " + Middle + "1.0A");
  EXPECT_EQ(label.size(), 57u);
}

TEST(DriveLabel, FieldsEndAtTheirFirstNul) {
  uint8_t data[INQUIRY_ALLOCATION];
  Inquiry(data, "ABCD    CD-R\0 after NUL!", "1.0A");
  EXPECT_EQ(LabelOf(data), Prefix + "ABCD    CD-R" + Middle + "1.0A");

  Inquiry(data, "ABCD    CD-RW 1234      ", "1\0" "2A");
  EXPECT_EQ(LabelOf(data), Prefix + "ABCD    CD-RW 1234      " + Middle + "1");
}

TEST(DriveLabel, ShortDataEndsWhereTheDriveStopped) {
  uint8_t data[INQUIRY_ALLOCATION];
  Inquiry(data, "ABCD    CD-RW 1234      ", "1.0A", 20);
  EXPECT_EQ(LabelOf(data), Prefix + "ABCD    CD-R" + Middle);
  Inquiry(data, "ABCD    CD-RW 1234      ", "1.0A", 0);
  EXPECT_EQ(LabelOf(data), Prefix + Middle);
}

// ---- ASPI entry text ----

namespace {

// Entry text of a drive whose vendor (8), product (16) and revision (6) bytes
// are given in full, NULs included.
std::string EntryOf(const std::string &vendor, const std::string &product,
                    const std::string &revision) {
  uint8_t data[ASPI_INQUIRY_LENGTH] = {0x05};
  memcpy(data + 8, vendor.data(), 8);
  memcpy(data + 16, product.data(), 16);
  memcpy(data + 32, revision.data(), 6);
  char text[ASPI_ENTRY_TEXT_SIZE];
  FormatAspiEntryText(data, text);
  return text;
}

const std::string NoNul(6, '\0');

}  // namespace

TEST(AspiEntry, VendorAndProductKeepTheirColumns) {
  EXPECT_EQ(EntryOf("ABCD    ", "CD-RW 1234      ", "1.0A" + NoNul.substr(0, 2)),
            "Device: ABCD    CD-RW 1234         Firmware Version: 1.0A");
  // Trailing NULs print as blanks; an all-NUL product as sixteen blanks.
  EXPECT_EQ(EntryOf("AB" + NoNul, std::string(16, '\0'), "1.0A  "),
            "Device: AB      " + std::string(16, ' ') + "   Firmware Version: 1.0A");
}

TEST(AspiEntry, LongestTextIs59Characters) {
  std::string text = EntryOf("VENDOR01", "PRODUCT-23456789", "REV123");
  EXPECT_EQ(text, "Device: VENDOR01PRODUCT-23456789   Firmware Version: REV123");
  EXPECT_EQ(text.size(), 59u);
}

TEST(AspiEntry, RevisionLosesItsTrailingRun) {
  EXPECT_EQ(EntryOf("ABCD    ", "CD-RW 1234      ", std::string("1.0 \0\0", 6)),
            "Device: ABCD    CD-RW 1234         Firmware Version: 1.0");
  EXPECT_EQ(EntryOf("ABCD    ", "CD-RW 1234      ", "      "),
            "Device: ABCD    CD-RW 1234         Firmware Version: ");
  EXPECT_EQ(EntryOf("ABCD    ", "CD-RW 1234      ", NoNul),
            "Device: ABCD    CD-RW 1234         Firmware Version: ");
}

TEST(AspiEntry, NulInsideVendorEndsItAndProductFollows) {
  EXPECT_EQ(EntryOf(std::string("AB\0CD\0\0\0", 8), "CD-RW 1234      ", "1.0A  "),
            "Device: ABCD-RW 1234         Firmware Version: 1.0A");
}

TEST(AspiEntry, ListsOnlyUnqualifiedDiskOrCdType) {
  EXPECT_TRUE(IsListedAspiDeviceType(0x00));
  EXPECT_TRUE(IsListedAspiDeviceType(0x05));
  EXPECT_FALSE(IsListedAspiDeviceType(0x25));
  EXPECT_FALSE(IsListedAspiDeviceType(0x20));
  EXPECT_FALSE(IsListedAspiDeviceType(0x01));
}
