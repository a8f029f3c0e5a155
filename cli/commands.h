// The commands of flashtool, on whatever system it runs.
#ifndef FLASHTOOL_CLI_COMMANDS_H
#define FLASHTOOL_CLI_COMMANDS_H

#include <string>

enum ExitCode {
  EXIT_FLASHED = 0,
  EXIT_FLASH_FAILED = 1,   // a command failed, or the drive did not come back
  EXIT_BAD_INPUT = 2,      // bad arguments or image
  EXIT_REFUSED = 3,        // not a CD/DVD drive, another drive than expected, not confirmed
  EXIT_NO_DEVICE = 4,      // the device cannot be opened or does not answer
  EXIT_INTERRUPTED = 128   // plus the signal: stopped before anything was written
};

int ListCommand(bool json);

struct FlashOptions {
  std::string device, image;
  bool yes = false;
  std::string expect;        // "VENDOR PRODUCT", empty: any drive
  int readySeconds = 60;     // how long to wait for the drive after the flash
};

int FlashCommand(const FlashOptions &options);

#endif
