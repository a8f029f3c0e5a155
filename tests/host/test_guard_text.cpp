#include <gtest/gtest.h>

#include "core/guard_text.h"

namespace {

std::string SearchTextOf(const char *entry) {
  char searchText[GUARD_SEARCH_TEXT_LENGTH + 1];
  MakeGuardSearchText(entry, searchText);
  return searchText;
}

}  // namespace

TEST(GuardText, KeepsFirst24CharactersWithBlanksAsUnderscores) {
  EXPECT_EQ(SearchTextOf("Device: ABCD    CD-RW 1234         Firmware Version: 1.0A"),
            "Device:_ABCD____CD-RW_12");
}

TEST(GuardText, DropsTrailingBlanksBeforeReplacing) {
  EXPECT_EQ(SearchTextOf("AB CD   "), "AB_CD");
  // The cut comes first: blanks that end the first 24 characters are dropped.
  EXPECT_EQ(SearchTextOf("Device: ABCD    CD-RW   X"), "Device:_ABCD____CD-RW");
  EXPECT_EQ(SearchTextOf("     "), "");
  EXPECT_EQ(SearchTextOf(""), "");
}
