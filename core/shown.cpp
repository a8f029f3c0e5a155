#include "core/shown.h"

#include <cstdio>

// The length of the UTF-8 sequence that starts at `at`, 0 when it is none
// or is a C1 control (U+0080 to U+009F, written C2 80 to C2 9F).
static size_t Utf8Length(const std::string &text, size_t at) {
  unsigned char first = (unsigned char)text[at];
  size_t length = first >= 0xF0 && first <= 0xF4 ? 4 : first >= 0xE0 && first < 0xF0 ? 3
                : first >= 0xC2 && first < 0xE0 ? 2 : 0;
  if (length == 0 || at + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i)
    if (((unsigned char)text[at + i] & 0xC0) != 0x80) return 0;
  if (first == 0xC2 && (unsigned char)text[at + 1] < 0xA0) return 0;
  return length;
}

std::string Shown(const std::string &text, bool utf8) {
  std::string shown;
  char escape[8];
  for (size_t at = 0; at < text.size();) {
    unsigned char byte = (unsigned char)text[at];
    size_t length = byte < 0x80 ? (byte >= 0x20 && byte != 0x7F) : Utf8Length(text, at);
    if (byte >= 0x80 && !utf8) length = 1;  // a code page's byte, whatever follows
    if (length > 0) {
      shown.append(text, at, length);
      at += length;
    } else {
      snprintf(escape, sizeof escape, "\\x%02x", byte);
      shown += escape;
      ++at;
    }
  }
  return shown;
}

std::string HexBytes(const uint8_t *bytes, size_t count, const char *format) {
  std::string hex;
  char one[8];
  for (size_t i = 0; i < count; ++i) {
    snprintf(one, sizeof one, format, bytes[i]);
    hex += one;
  }
  return hex;
}
