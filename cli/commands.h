// The commands of flashtool, on whatever system it runs.
#ifndef FLASHTOOL_CLI_COMMANDS_H
#define FLASHTOOL_CLI_COMMANDS_H

#include <string>
#include <vector>

// What a script can tell from the exit code of a flash: whether the drive
// holds what it held (6, 2, 3, 4, 128+N), part of the image (1), or every
// block of it without a word from the drive since (5).
enum ExitCode {
  EXIT_OK = 0,               // list: at least one drive listed
  EXIT_FLASHED = 0,          // flash: flashed, and the drive answered again
  EXIT_FLASH_FAILED = 1,     // part of the image is in the drive, or it came back with
                             // another revision than --expect-revision
  EXIT_BAD_INPUT = 2,        // bad arguments or image
  EXIT_REFUSED = 3,          // not a CD/DVD drive, another drive than expected, mixed
                             // models, not confirmed
  EXIT_NO_DEVICE = 4,        // the device cannot be opened, is busy, does not answer, or its
                             // media polling cannot be switched off; list: no drive listed
  EXIT_UNCONFIRMED = 5,      // every block taken, but the drive not seen back (an
                             // interrupt, the time ran out, another drive could be it)
  EXIT_NOTHING_WRITTEN = 6,  // the preparation or block 00 failed: the drive holds what it held
  // Several drives: 0 when every one flashed and came back, else the first
  // of 1, 5, 6, 128+N, 4, 3, 2 that any drive ended in.
  EXIT_INTERRUPTED = 128     // plus the signal: stopped before anything was written
};

// `header`: the columns' names first, also when standard output is no terminal.
int ListCommand(bool json, bool header);
int InfoCommand(const std::string &device, bool json);
// `sha256`: the digest its maker published, empty when none is given.
int CheckCommand(const std::string &image, const std::string &sha256, bool json);

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
  std::string expectRevision;  // the revision the drive must come back with, empty: any
  std::string sha256;        // the image's published digest, empty: not checked
  bool allowPolling = false; // flash even where the kernel's media polling stays on
  int settleSeconds = 5;     // nothing sent to the drive for this long after the last block
  int readySeconds = 120;    // then how long to wait for the drive to answer
};

int FlashCommand(const FlashOptions &options);

#endif
