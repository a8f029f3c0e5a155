// What the command line needs of the system it runs on. One file per
// system: system_linux.cpp over SG_IO, system_windows.cpp over
// pass-through.
#ifndef FLASHTOOL_CLI_SYSTEM_H
#define FLASHTOOL_CLI_SYSTEM_H

#include <memory>
#include <string>
#include <vector>

#include "core/inquiry.h"
#include "core/scsi.h"

struct ListedDrive {
  std::string device;  // as the user names it: /dev/sr0, D:
  DriveIdentity identity;
};

// Every CD/DVD drive; a device that exists but cannot be asked adds a
// message to `problems` saying why.
std::vector<ListedDrive> ListDrives(std::vector<std::string> *problems);

enum OpenFailure { OPEN_MISSING, OPEN_DENIED, OPEN_BUSY, OPEN_FAILED };

// A drive opened for a flash, held by this process alone until destroyed.
class OpenedDrive {
 public:
  virtual ~OpenedDrive() = default;
  virtual DriveLink &Link() = 0;
};

// Null when the device cannot be opened, with the failure and a sentence
// that says why and what to do.
std::unique_ptr<OpenedDrive> OpenDriveForFlash(const std::string &device, OpenFailure *failure,
                                               std::string *why);

// The system's own words for one of its error codes (errno, Win32 error).
std::string SystemErrorText(uint32_t code);

bool InputIsTerminal();
bool OutputIsTerminal();

// Interrupts: Ctrl-C, and SIGTERM and SIGHUP on Linux, a closing console on
// Windows. From CatchInterrupts on they only mark that one came, so that
// the flash can stop cleanly before its first block; between
// HoldInterrupts and ReleaseInterrupts they wait, so that no interrupt can
// cut a flash in half.
void CatchInterrupts();
int InterruptRequested();       // what came (a signal number), 0 when nothing did
void HoldInterrupts();
bool InterruptWaiting();        // one came while held
void ReleaseInterrupts();

// Keeps the system from sleeping while a flash runs, where it can.
void KeepSystemAwake(bool awake);

#endif
