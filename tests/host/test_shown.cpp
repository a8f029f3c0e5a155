// What reaches a terminal of text from outside: nothing it would obey.
#include <gtest/gtest.h>

#include "core/shown.h"

TEST(Shown, WritesOutWhatATerminalWouldObey) {
  EXPECT_EQ(Shown("/media/CD\x1b[2J\x07"), "/media/CD\\x1b[2J\\x07");
  EXPECT_EQ(Shown("a\tb\r\n\x7f"), "a\\x09b\\x0d\\x0a\\x7f");
  EXPECT_EQ(Shown("C:\\fw.bin"), "C:\\fw.bin") << "a path's backslashes stay";
  // UTF-8 text stays; its C1 controls (CSI is C2 9B) and broken bytes do not.
  EXPECT_EQ(Shown("/media/VIRTUAL DISC \xc3\xa9\xe5\x85\x89"), "/media/VIRTUAL DISC \xc3\xa9\xe5\x85\x89");
  EXPECT_EQ(Shown("x\xc2\x9b" "2Jy\x9b" "z\xc3"), "x\\xc2\\x9b2Jy\\x9bz\\xc3");
  // A code page's text (Big5) keeps its high bytes, not its controls.
  EXPECT_EQ(Shown("\xa5\xfa\x9b\x1b", false), "\xa5\xfa\x9b\\x1b");
}
