// The append rule of the progress log, on a plain text buffer. Portable.
#ifndef FLASHTOOL_CORE_LOG_RULE_H
#define FLASHTOOL_CORE_LOG_RULE_H

#include <cstddef>

enum {
  LOG_TEXT_LIMIT = 2000,              // characters of text the log holds
  LOG_BUFFER_SIZE = LOG_TEXT_LIMIT + 3 // plus CR LF and the NUL
};

// `buffer` holds the control's current text (at most LOG_TEXT_LIMIT - 1
// characters, as the control hands it back) and has LOG_BUFFER_SIZE bytes.
// Appends `line` and CR LF, emptying the buffer first when the text would
// pass the limit. A line longer than the limit is cut so that nothing ever
// writes past the buffer.
void AppendToLogBuffer(char *buffer, const char *line);

#endif
