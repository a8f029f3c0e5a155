#include "cli/screen.h"

#include <cstdio>

#include "cli/report.h"
#include "system/system.h"

Screen &Screen::Errors() {
  static Screen screen;
  return screen;
}

// A Windows console before Windows 10 shows the cursor controls as text:
// there a line is redrawn by a carriage return alone, and a board is not
// drawn in place.
#ifdef _WIN32
static const bool CursorControls = false;
#else
static const bool CursorControls = true;
#endif

Screen::Screen() : terminal_(MessagesAreTerminal()), width_(MessagesColumns()) {}

void Screen::Put(const std::string &text) {
  fputs(text.c_str(), stderr);
  fflush(stderr);
}

// A live line ends where it stands; a board stays where it is, and what
// comes now goes below it.
void Screen::Settle() {
  EndLine();
  boardLines_ = 0;
}

void Screen::EndLine() {
  if (live_) Put("\n");
  live_ = false;
}

void Screen::Lines(const std::string &text, size_t indent) {
  std::lock_guard<std::mutex> hold(lock_);
  Settle();
  std::string out;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    // A line that comes wrapped already (a hint) keeps its own indent.
    size_t own = line.find_first_not_of(' ');
    if (own == std::string::npos) out += "\n";
    else out += Wrapped(line.substr(own), own, own > 0 ? own : indent, width_);
    at = end + 1;
  }
  Put(out);
}

void Screen::Raw(const std::string &text) {
  std::lock_guard<std::mutex> hold(lock_);
  Settle();
  Put(text);
}

void Screen::Live(const std::string &text, bool due) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!terminal_) {
    if (due) Put(text + "\n");
    return;
  }
  if (boardLines_ > 0) Settle();
  // One line of the terminal, or the redraw would land a line too low.
  std::string line = text.substr(0, width_ - 1);
  if (CursorControls) Put("\r\x1b[K" + line);
  else Put("\r" + line + std::string(width_ - 1 - line.size(), ' '));
  live_ = true;
}

void Screen::EndLive() {
  std::lock_guard<std::mutex> hold(lock_);
  EndLine();
}

void Screen::Board(const std::vector<std::string> &rows, const std::vector<bool> &due) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!terminal_ || !CursorControls) {
    for (size_t i = 0; i < rows.size(); ++i)
      if (due[i]) Put(rows[i] + "\n");
    return;
  }
  EndLine();
  std::string out;
  if (boardLines_ > 0) out += "\x1b[" + std::to_string(boardLines_) + "A";  // back to the first row
  for (const std::string &row : rows) out += "\r\x1b[K" + row.substr(0, width_ - 1) + "\n";
  Put(out);
  boardLines_ = rows.size();
}
