// Closes every dialog or message box that this thread opens while a watch is
// on, after recording what it showed: for code that opens a modal box.
#ifndef FLASHTOOL_TESTS_WIN_DIALOG_WATCH_H
#define FLASHTOOL_TESTS_WIN_DIALOG_WATCH_H

#include <windows.h>

#include <string>
#include <vector>

struct SeenDialog {
  std::string title;
  std::string text;                 // a message box's text (static 0xFFFF)
  std::vector<std::string> fields;  // failure dialog fields 100 to 106
  bool ownerEnabled;
  HWND owner;
};

class DialogWatch {
 public:
  explicit DialogWatch(int answer = IDOK);  // the button pressed on message boxes
  ~DialogWatch();
  std::vector<SeenDialog> seen;
};

#endif
