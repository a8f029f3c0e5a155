#include "cli/words.h"

#include <cstdio>
#include <cstring>

// StatusText, SenseKeyText, UnknownFormats and AscTexts: sg3_utils' words, written at
// build time (cmake/sense_words.cpp), so that the console program says
// what flashtool on Linux says.
#include "sense_words.inc"

std::string StatusWords(uint8_t status) { return StatusText[status]; }

// The library's words for an additional sense code it does not know; the
// table holds only the codes whose words differ from these.
static std::string UnknownCode(uint8_t asc, uint8_t ascq) {
  char text[96];
  snprintf(text, sizeof text, UnknownFormats[asc >= 0x80 ? 0 : ascq >= 0x80 ? 1 : 2], asc, ascq);
  return text;
}

static std::string CodeWords(uint8_t asc, uint8_t ascq) {
  size_t low = 0, high = sizeof AscTexts / sizeof AscTexts[0];
  unsigned wanted = (unsigned)asc << 8 | ascq;
  while (low < high) {  // the table is in order of ASC, then ASCQ
    size_t middle = (low + high) / 2;
    unsigned here = (unsigned)AscTexts[middle].asc << 8 | AscTexts[middle].ascq;
    if (here == wanted) return AscTexts[middle].text;
    if (here < wanted) low = middle + 1;
    else high = middle;
  }
  return UnknownCode(asc, ascq);
}

std::string SenseWords(const CommandResult &result) {
  SenseCodes codes = result.Sense();
  if (!codes.valid) return "no sense data";
  std::string meaning = CodeWords(codes.asc, codes.ascq);
  if (meaning.compare(0, 18, "Additional sense: ") == 0) meaning.erase(0, 18);
  char text[320];
  snprintf(text, sizeof text, "sense key %X (%s), ASC %02Xh, ASCQ %02Xh: %s", codes.key,
           SenseKeyText[codes.key & 0x0F], codes.asc, codes.ascq, meaning.c_str());
  return text;
}

std::string AdapterWords(const CommandResult &result) {
  char text[48];
  snprintf(text, sizeof text, "host adapter status %02Xh", result.hostStatus);
  return text;
}
