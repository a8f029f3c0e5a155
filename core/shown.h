// Text that came from outside the program (a drive, sysfs, a mount table,
// a file name, the system's messages) as it may reach a terminal or a log
// line: control characters, which a terminal would obey, written out as
// escapes. Portable.
#ifndef FLASHTOOL_CORE_SHOWN_H
#define FLASHTOOL_CORE_SHOWN_H

#include <cstddef>
#include <cstdint>
#include <string>

// Bytes 00h-1Fh and 7Fh become "\xHH" escapes; where the text is UTF-8
// (`utf8`), so do the C1 controls (C2 80 to C2 9F) and bytes that are no
// UTF-8, raw C1 controls among them. A code page's text (Big5 on a Chinese
// Windows) keeps its bytes from 80h up.
std::string Shown(const std::string &text, bool utf8 = true);

// The bytes in hex, each as `format` prints one: " %02X" for "12 00 24".
std::string HexBytes(const uint8_t *bytes, size_t count, const char *format);

#endif
