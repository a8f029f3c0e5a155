// The commands of flashtool, on whatever system it runs.
#ifndef FLASHTOOL_CLI_COMMANDS_H
#define FLASHTOOL_CLI_COMMANDS_H

#include <string>
#include <vector>

#include "run/flash_run.h"

// `header`: the columns' names first, also when standard output is no terminal.
int ListCommand(bool json, bool header);
int InfoCommand(const std::string &device, bool json);
// `sha256`: the digest its maker published, empty when none is given.
int CheckCommand(const std::string &image, const std::string &sha256, bool json);

struct FlashOptions {
  RunOptions run;            // the drives, and what the run checks and waits for
  std::string image;
  bool all = false;          // every CD/DVD drive that --expect names
  bool yes = false;
  bool json = false;         // the run's record on standard output at the end
  bool verbose = false;      // every command on standard error
  bool anyImage = false;     // flash a file that looks like no firmware all the same
  std::string log;           // JSON Lines file that gets the run's record, empty: none
  std::string sha256;        // the image's published digest, empty: not checked
};

int FlashCommand(FlashOptions options);

#endif
