#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/log_rule.h"

namespace {

const char GUARD = 0x5A;

// The log buffer with bytes after it that no append may touch.
struct GuardedLog {
  char buffer[LOG_BUFFER_SIZE];
  char after[32];
};

void Fill(GuardedLog &log, size_t characters) {
  memset(&log, GUARD, sizeof log);
  memset(log.buffer, 'x', characters);
  log.buffer[characters] = '\0';
}

bool AfterUntouched(const GuardedLog &log) {
  for (char byte : log.after) {
    if (byte != GUARD) return false;
  }
  return true;
}

}  // namespace

TEST(LogRule, AppendsWhileTextAndLineStayWithinLimit) {
  GuardedLog log;
  Fill(log, 1900);
  AppendToLogBuffer(log.buffer, "Please wait....");
  EXPECT_EQ(std::string(log.buffer), std::string(1900, 'x') + "Please wait....\r\n");

  // Exactly 2000 characters of text still fit.
  Fill(log, 2000 - 17);
  AppendToLogBuffer(log.buffer, "Start Flashing...");
  EXPECT_EQ(strlen(log.buffer), 2002u);

  // The control gave back 1999 of its 2002 characters: 1999 + 1 does not pass 2000.
  Fill(log, 1999);
  AppendToLogBuffer(log.buffer, " ");
  EXPECT_EQ(std::string(log.buffer), std::string(1999, 'x') + " \r\n");
  EXPECT_TRUE(AfterUntouched(log));
}

TEST(LogRule, StartsAgainWhenTheLineWouldPassLimit) {
  GuardedLog log;
  Fill(log, 1990);
  AppendToLogBuffer(log.buffer, "Start Flashing...");
  EXPECT_STREQ(log.buffer, "Start Flashing...\r\n");
  // Nothing of the old text survives behind the new one.
  EXPECT_EQ(std::string(log.buffer + 20, 1980), std::string(1980, '\0'));

  Fill(log, 2000 - 16);
  AppendToLogBuffer(log.buffer, "Start Flashing...");
  EXPECT_STREQ(log.buffer, "Start Flashing...\r\n");
}

TEST(LogRule, OverlongLineNeverWritesPastBuffer) {
  const std::string line(5000, 'L');
  for (size_t characters : {0, 1999}) {
    GuardedLog log;
    Fill(log, characters);
    AppendToLogBuffer(log.buffer, line.c_str());
    EXPECT_EQ(std::string(log.buffer), std::string(LOG_TEXT_LIMIT, 'L') + "\r\n") << characters;
    EXPECT_TRUE(AfterUntouched(log)) << characters;
  }
}
