#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "discovery/aspi_entry.h"

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
