#include "cli/words.h"

#include <cstdio>

std::string StatusWords(uint8_t status) {
  switch (status) {
    case GOOD: return "GOOD";
    case CHECK_CONDITION: return "CHECK CONDITION";
    case 0x08: return "BUSY";
    case 0x18: return "RESERVATION CONFLICT";
    case 0x28: return "TASK SET FULL";
    default: return "unknown status";
  }
}

std::string SenseWords(const CommandResult &result) {
  static const char *const names[16] = {
      "NO SENSE",       "RECOVERED ERROR", "NOT READY",       "MEDIUM ERROR",
      "HARDWARE ERROR", "ILLEGAL REQUEST", "UNIT ATTENTION",  "DATA PROTECT",
      "BLANK CHECK",    "VENDOR SPECIFIC", "COPY ABORTED",    "ABORTED COMMAND",
      "EQUAL",          "VOLUME OVERFLOW", "MISCOMPARE",      "COMPLETED"};
  SenseCodes codes = result.Sense();
  if (!codes.valid) return "no sense data";
  char text[96];
  snprintf(text, sizeof text, "sense key %X (%s), ASC %02Xh, ASCQ %02Xh", codes.key,
           names[codes.key & 0x0F], codes.asc, codes.ascq);
  return text;
}

std::string AdapterWords(const CommandResult &result) {
  char text[48];
  snprintf(text, sizeof text, "host adapter status %02Xh", result.hostStatus);
  return text;
}
