// The commands of flashtool, on whatever system it runs.
#ifndef FLASHTOOL_CLI_COMMANDS_H
#define FLASHTOOL_CLI_COMMANDS_H

#include <string>
#include <vector>

enum ExitCode {
  EXIT_OK = 0,             // list: at least one drive listed
  EXIT_FLASHED = 0,        // flash: flashed, and the drive answered again
  EXIT_FLASH_FAILED = 1,   // a command failed, or the drive did not come back
  EXIT_BAD_INPUT = 2,      // bad arguments or image
  EXIT_REFUSED = 3,        // not a CD/DVD drive, another drive than expected, not confirmed
  EXIT_NO_DEVICE = 4,      // the device cannot be opened, is busy or does not answer;
                           // list: no drive could be listed
  EXIT_FLASHED_UNSEEN = 5, // flashed, but interrupted before the drive answered again
  // Several drives: 0 when every one flashed and came back, else the first
  // of 1, 5, 128+N, 4, 3, 2 that any drive ended in.
  EXIT_INTERRUPTED = 128   // plus the signal: stopped before anything was written
};

int ListCommand(bool json);
int InfoCommand(const std::string &device, bool json);
int CheckCommand(const std::string &image, bool json);

struct FlashOptions {
  std::vector<std::string> devices;  // one drive, or several flashed at once
  std::string image;
  bool all = false;          // every CD/DVD drive that --expect names
  bool skipFailing = false;  // several drives: flash those that pass their checks
  bool yes = false;
  bool dryRun = false;       // every check up to the first block, then stop
  bool json = false;         // the run's record on standard output at the end
  bool verbose = false;      // every command on standard error
  std::string log;           // JSON Lines file that gets the run's record, empty: none
  std::string expect;        // "VENDOR PRODUCT", empty: any drive (never blank when given)
  int readySeconds = 60;     // how long to wait for the drive after the flash
};

int FlashCommand(const FlashOptions &options);

#endif
