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
#include "discovery/comeback.h"

// One CD/DVD drive as `list` shows it. A drive that exists but could not be
// asked has `error` set, and the identity the system knows of it, if any.
struct ListedDrive {
  std::string device;         // as the user names it: /dev/sr0 (its sg node when it has no sr node), D:
  std::string genericDevice;  // its /dev/sg* node on Linux; empty elsewhere
  std::string address;        // H:C:T:L on Linux; empty elsewhere
  std::string bus;            // usb, ata, scsi...; empty where the system does not say
  DriveIdentity identity;
  bool identityKnown = false; // the drive said it, or the system knows it
  std::string error;          // why it could not be asked (permission, busy, no answer)
};

// Every CD/DVD drive, including those that could not be asked.
std::vector<ListedDrive> ListDrives();
// What a flash that was killed left changed (a drive's media polling off)
// is put back, for every drive that no flash holds now.
void PutBackLeftSettings();
// Whether drives here have sg nodes and SCSI addresses to show (Linux).
bool DrivesHaveNodes();

// OPEN_NOT_OPTICAL: a drive the system itself calls no CD/DVD drive (a
// fixed disk behind a drive letter), refused before any word about rights.
enum OpenFailure { OPEN_NOT_A_DEVICE, OPEN_MISSING, OPEN_DENIED, OPEN_BUSY, OPEN_FAILED, OPEN_NOT_OPTICAL };

// A drive opened for a flash and claimed against other flashes of it until
// destroyed.
class OpenedDrive {
 public:
  virtual ~OpenedDrive() = default;
  virtual DriveLink &Link() = 0;
  // Why the system's own commands (media polling) could not be kept off
  // the drive during the blocks; empty when they can, or there are none.
  virtual std::string PollingProblem() { return ""; }
  // From the first block on: whatever keeps the system's own commands off
  // the drive. They come back once the drive answered after the flash
  // (DriveAnswered), or when this is destroyed. Says in a line what could
  // not be done.
  virtual void BeginBlocks() {}
  virtual void DriveAnswered() {}
  // After a good flash the drive may restart under another node (a USB
  // drive): whether `answer`, the last one at this node, says it has gone.
  virtual bool Gone(const CommandResult &answer) { (void)answer; return false; }
  // The drive's SCSI address ("1:0:0:0") where the system says, else "".
  virtual std::string Address() const { return ""; }
};

// What a name given by the user stands for: the name the system itself
// gives the drive behind it (/dev/sr0 for /dev/cdrom, D: for d:\), and a
// key that is the same for every name of one drive. `key` is empty when
// the name reaches nothing that could be a drive.
struct DriveName {
  std::string shown, key;
};
DriveName NameDrive(const std::string &device);

// Every drive present now, as the system knows it without asking any
// (keys as DriveName's): where a drive that restarted after a flash may be
// looked for. Empty where a drive keeps its name across a restart (drive
// letters).
std::vector<SeenDrive> PresentDrives();
// What a drive of PresentDrives says it is now, asked without taking it
// (no lock, no claim): false when it did not answer.
bool AskPresentDrive(const SeenDrive &drive, DriveIdentity *identity, std::string *serial);
// Where the drive of `key` is plugged in; empty when unknown.
std::string PortOfDrive(const std::string &key);

// Null when the device cannot be opened, with the failure and a sentence
// that says why and what to do.
std::unique_ptr<OpenedDrive> OpenDriveForFlash(const std::string &device, OpenFailure *failure,
                                               std::string *why);

// What `info` tells of a device without writing to it: the drive's nodes
// and address, whether a flash holds it, and what it says it is. `error`
// says why it could not be asked; `busy` drives are not opened at all.
struct DriveDescription {
  std::string device, genericDevice, address;
  bool busy = false;
  DriveIdentity identity;
  std::string serial;
  std::string error;
  OpenFailure failure = OPEN_FAILED;  // when `error` is set
};
DriveDescription DescribeDrive(const std::string &device);

// Appends one line to the file at `path`, creating it, in one write that
// reaches the disk before this returns; a line that a crash cut short
// before it is ended first, so it cannot spoil this one. Only a regular
// file that `path` names itself is written: no symbolic link is followed,
// a FIFO is not waited on, and a file with other hard links is refused. False
// with the reason in `why`.
bool AppendLine(const std::string &path, const std::string &line, std::string *why);
// Whether `path` can be appended to (made if missing): false with the reason.
bool CanAppend(const std::string &path, std::string *why);

// SHA-256 of the bytes, in lower-case hex; empty when the system cannot.
std::string Sha256Hex(const uint8_t *data, size_t size);
std::string HostName();

// The system's own words for one of its error codes (errno, Win32 error).
std::string SystemErrorText(uint32_t code);

bool InputIsTerminal();
bool OutputIsTerminal();
// How wide standard output is: the terminal's columns, 80 when it is none.
size_t OutputColumns();
// Waits until standard input can be read; false when an interrupt came
// first, also one that came just before.
bool AwaitInput();
// Where the prompt and progress go (standard error) is a terminal.
bool MessagesAreTerminal();
// What the progress line adds while blocks go out, e.g. not to close the
// console window; empty where there is nothing to say.
const char *ProgressNote();

// Interrupts: Ctrl-C, Ctrl-\, Ctrl-Z, SIGTERM, SIGHUP, and a background
// read or write of the terminal on Linux; Ctrl-C and a closing console on
// Windows. From CatchInterrupts on they only mark that one came, so that
// the flash can stop cleanly before its first block; between
// HoldInterrupts and ReleaseInterrupts they wait, so that no interrupt can
// cut a flash in half. A closed output never ends the program: writes to
// it fail, and the outcome says so at the end.
void CatchInterrupts();
int InterruptRequested();       // what came (a signal number), 0 when nothing did
void HoldInterrupts();
bool InterruptWaiting();        // one came while held
int InterruptHeld();            // what waits while held (as InterruptRequested), 0 when nothing
void ReleaseInterrupts();
// The name of what InterruptRequested answered: "SIGINT", "Ctrl-C".
std::string InterruptName(int interrupt);

// Keeps the system from sleeping or shutting down while a flash runs,
// where it can; says in a line when it cannot.
void KeepSystemAwake(bool awake);

#endif
