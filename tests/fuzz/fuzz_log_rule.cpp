// The log's append rule on whatever text the control hands back, with or
// without its end, and any line.
#include <cstdint>

#include "core/log_rule.h"
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  // The first two bytes say how much of the rest is the log's text.
  size_t split = ((size_t)data[0] << 8 | data[1]) % (size - 1);
  const uint8_t *rest = data + 2;
  size_t restSize = size - 2;
  if (split > restSize) split = restSize;

  static char buffer[LOG_BUFFER_SIZE + 1];
  memset(buffer, 'x', sizeof buffer);  // no NUL unless the input brings one
  memcpy(buffer, rest, split < LOG_BUFFER_SIZE ? split : LOG_BUFFER_SIZE);
  buffer[LOG_BUFFER_SIZE] = 0x55;      // a guard past the end
  char *line = new char[restSize - split + 1];
  memcpy(line, rest + split, restSize - split);
  line[restSize - split] = '\0';

  AppendToLogBuffer(buffer, line);
  size_t length = TextWithin(buffer, LOG_BUFFER_SIZE);
  FUZZ_CHECK(length >= 2 && buffer[length - 2] == '\r' && buffer[length - 1] == '\n');
  FUZZ_CHECK(length <= LOG_TEXT_LIMIT + 2);
  FUZZ_CHECK((uint8_t)buffer[LOG_BUFFER_SIZE] == 0x55);
  delete[] line;
  return 0;
}
