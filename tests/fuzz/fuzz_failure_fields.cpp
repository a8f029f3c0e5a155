// A failed ASPI request as the failure dialog shows it: every field a text
// of its own, whatever lengths and statuses the request holds.
#include <cstdint>

#include "core/failure_fields.h"
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  uint8_t request[4 + 16 + 14] = {};  // target, CDB length, statuses, CDB, sense
  memcpy(request, data, size < sizeof request ? size : sizeof request);
  FailureView view = {request[0], request[1], request + 4, request[2], request[3], request + 20};
  char fields[FAILURE_FIELD_COUNT][FAILURE_FIELD_SIZE];
  FormatFailureFields(view, "N/A", fields);
  for (int i = 0; i < FAILURE_FIELD_COUNT; ++i) TextWithin(fields[i], FAILURE_FIELD_SIZE);
  FUZZ_CHECK(strlen(fields[1]) == 3u * (view.cdbLength < 16 ? view.cdbLength : 16));
  return 0;
}
