#include "core/log_rule.h"

#include <cstring>

// Length of `text`, looking at no more than `limit` bytes of it.
static size_t BoundedLength(const char *text, size_t limit) {
  size_t length = 0;
  while (length < limit && text[length] != '\0') ++length;
  return length;
}

void AppendToLogBuffer(char *buffer, const char *line) {
  // Measured within the buffer, so a text that lost its NUL is not followed
  // past the end: it reads as too long and the log starts again.
  size_t textLength = BoundedLength(buffer, LOG_BUFFER_SIZE);
  // A line longer than the whole log keeps only what the log can hold.
  size_t lineLength = BoundedLength(line, LOG_TEXT_LIMIT);
  if (textLength + lineLength > LOG_TEXT_LIMIT) {
    // The log is not trimmed line by line: it starts again from this line.
    memset(buffer, 0, LOG_TEXT_LIMIT);
    textLength = 0;
  }
  memcpy(buffer + textLength, line, lineLength);
  buffer[textLength + lineLength] = '\r';
  buffer[textLength + lineLength + 1] = '\n';
  buffer[textLength + lineLength + 2] = '\0';
}
