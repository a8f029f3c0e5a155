// The system's part of a flash and of asking drives: finding, naming,
// opening and claiming them, the kernel's media polling, the drives present
// now, the sleep inhibitor, the log file, interrupts and the terminal. One
// file per system: system_linux.cpp over SG_IO, system_windows.cpp over
// pass-through. It decides nothing about a flash and prints nothing: what
// it could not do comes back as a sentence.
#ifndef FLASHTOOL_SYSTEM_SYSTEM_H
#define FLASHTOOL_SYSTEM_SYSTEM_H

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
  std::string note;           // listed, but only as the kernel saw it: why it was not asked
};

// Every CD/DVD drive, including those that could not be asked, and in
// `left` every other unit that looks like one to the kernel, with why it is
// left out ("/dev/sg3: answers as device type 0"). What a killed flash left
// changed (the media polling) is put back for each drive that answered and
// that no flash holds.
std::vector<ListedDrive> ListDrives(std::vector<std::string> *left = nullptr);
// Whether drives here have sg nodes and SCSI addresses to show (Linux).
bool DrivesHaveNodes();

// OPEN_NOT_OPTICAL: a drive the system itself calls no CD/DVD drive (a
// fixed disk behind a drive letter), refused before any word about rights.
// OPEN_MOUNTED: busy with a mounted disc, which the sentence says how to unmount.
enum OpenFailure { OPEN_NOT_A_DEVICE, OPEN_MISSING, OPEN_DENIED, OPEN_BUSY, OPEN_FAILED, OPEN_NOT_OPTICAL, OPEN_MOUNTED };

// A drive opened for a flash and claimed against other flashes of it until
// destroyed.
class OpenedDrive {
 public:
  virtual ~OpenedDrive() = default;
  virtual DriveLink &Link() = 0;
  // Why the system's own commands (media polling) could not be kept off
  // the drive during the blocks; empty when they can, or there are none.
  virtual std::string PollingProblem() { return ""; }
  // Before the first block: whatever keeps the system's own commands off
  // the drive; a sentence when it could not. Nothing puts them back but
  // PollingBack: a drive that has not answered since its last block may be
  // programming its flash, and the kernel's commands would have it reset.
  // What is kept off stays noted for a later run (`flashtool info`) to put
  // back once the drive answers.
  virtual std::string PollingOff() { return ""; }
  // The drive answered after the flash, or never had a block: what
  // PollingOff switched off comes back, if the drive's node is still its own.
  virtual void PollingBack() {}
  // Whether PollingOff left anything off.
  virtual bool PollingIsOff() const { return false; }
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
// What a drive of PresentDrives says it is now, asked without claiming it;
// false when it did not answer, or another flash holds it (not asked).
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
// Where the prompt and progress go (standard error) is a terminal, and
// how wide it is (80 when it is none).
bool MessagesAreTerminal();
size_t MessagesColumns();
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
// where it can; a sentence why it cannot, else empty.
std::string KeepSystemAwake(bool awake);

// What a run of a flash needs of the system, in one place, so that the run
// can be tried against another: the functions above, of this system.
class FlashSystem {
 public:
  virtual ~FlashSystem() = default;
  virtual DriveName Name(const std::string &device) = 0;
  virtual std::unique_ptr<OpenedDrive> Open(const std::string &device, OpenFailure *failure, std::string *why) = 0;
  virtual std::vector<SeenDrive> Present() = 0;
  virtual bool AskPresent(const SeenDrive &drive, DriveIdentity *identity, std::string *serial) = 0;
  virtual std::string PortOf(const std::string &key) = 0;
  virtual std::string KeepAwake(bool awake) = 0;
  virtual int Requested() = 0;   // as InterruptRequested
  virtual void Hold() = 0;       // as HoldInterrupts
  virtual bool Waiting() = 0;    // as InterruptWaiting
  virtual int Held() = 0;        // as InterruptHeld
  virtual void Release() = 0;    // as ReleaseInterrupts
};

// The system this program runs on.
FlashSystem &ThisSystem();

#endif
