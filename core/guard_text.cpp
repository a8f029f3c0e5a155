#include "core/guard_text.h"

#include <cstring>

void MakeGuardSearchText(const char *entryText, char *searchText) {
  size_t length = 0;
  while (length < GUARD_SEARCH_TEXT_LENGTH && entryText[length] != '\0') ++length;
  memcpy(searchText, entryText, length);
  // The padding after the name is dropped before the other blanks become
  // underscores, so the text stops where the name does and a key name that
  // goes on beyond it still matches.
  while (length > 0 && searchText[length - 1] == ' ') --length;
  searchText[length] = '\0';
  // Device key names hold underscores where the drive's name has blanks.
  for (size_t i = 0; i < length; ++i) {
    if (searchText[i] == ' ') searchText[i] = '_';
  }
}
