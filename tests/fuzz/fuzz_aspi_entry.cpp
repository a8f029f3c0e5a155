// INQUIRY data on the ASPI bus: the entry text, and the registry search
// text the auto-insert guard makes of it.
#include <cstdint>

#include "core/guard_text.h"
#include "core/labels.h"
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  uint8_t inquiry[ASPI_INQUIRY_LENGTH] = {};
  memcpy(inquiry, data, size < sizeof inquiry ? size : sizeof inquiry);
  IsListedAspiDeviceType(inquiry[0]);
  char text[ASPI_ENTRY_TEXT_SIZE];
  FormatAspiEntryText(inquiry, text);
  size_t length = TextWithin(text, sizeof text);
  FUZZ_CHECK(length <= 59);
  FUZZ_CHECK(memcmp(text, "Device: ", 8) == 0);

  char search[GUARD_SEARCH_TEXT_LENGTH + 1];
  MakeGuardSearchText(text, search);
  size_t searchLength = TextWithin(search, sizeof search);
  FUZZ_CHECK(searchLength <= GUARD_SEARCH_TEXT_LENGTH);
  FUZZ_CHECK(memchr(search, ' ', searchLength) == nullptr);
  return 0;
}
