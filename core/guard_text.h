// The text by which the auto-insert guard recognises the drive's registry key.
#ifndef FLASHTOOL_CORE_GUARD_TEXT_H
#define FLASHTOOL_CORE_GUARD_TEXT_H

enum { GUARD_SEARCH_TEXT_LENGTH = 24 };

// First 24 characters of the entry text, trailing spaces dropped, every other
// space made an underscore. `searchText` holds at least 25 bytes.
void MakeGuardSearchText(const char *entryText, char *searchText);

#endif
