// Standard error while a command runs: the one writer of the terminal, so
// that a line redrawn in place (progress, the wait, the several-drives
// board) is ended or redrawn before any other line, and every line fits
// the terminal's width, broken between words. Outside a terminal: plain
// lines, no escapes. Portable.
#ifndef FLASHTOOL_CLI_SCREEN_H
#define FLASHTOOL_CLI_SCREEN_H

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

class Screen {
 public:
  static Screen &Errors();
  // Whether standard error is a terminal; its width (80 when it is none).
  bool Terminal() const { return terminal_; }
  size_t Width() const { return width_; }
  // Whole lines, each wrapped at the width between words: the rest of a
  // line under its own indent, or `indent` blanks in for one that has none
  // ("hint: " keeps its words under the first one).
  void Lines(const std::string &text, size_t indent = 2);
  // Text as it stands, without a line end (the prompt).
  void Raw(const std::string &text);
  // The line redrawn in place: on a terminal cut to the width, elsewhere
  // written as a line of its own only when `due` (a tenth, ten seconds).
  void Live(const std::string &text, bool due);
  // The live line, as it stands, ends: what follows starts below it (a
  // fact on standard output, which may be the same terminal).
  void EndLive();
  // Rows redrawn in place (a row per drive); elsewhere the rows that are
  // `due` are written as lines.
  void Board(const std::vector<std::string> &rows, const std::vector<bool> &due);

 private:
  Screen();
  void Put(const std::string &text);
  void Settle();   // before a whole line: no live line, the board left as it is
  void EndLine();  // the live line, if one is drawn, ends where it stands
  std::mutex lock_;
  bool terminal_;
  size_t width_;
  bool live_ = false;       // a live line is drawn, its end not written
  size_t boardLines_ = 0;   // rows of the board drawn last, the cursor below them
};

#endif
