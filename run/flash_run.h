// The run of a flash, of one drive or of several at once, from naming the
// drives to the outcome of each: its phases in order, each ending what it
// started (the claim, the hold on interrupts and sleep, the media polling,
// the look at the system's drives), before the next begins. It prints
// nothing: an observer hears what happens and the front end words it.
// Portable: the console programs of every system run it.
#ifndef FLASHTOOL_RUN_FLASH_RUN_H
#define FLASHTOOL_RUN_FLASH_RUN_H

#include <memory>
#include <string>
#include <vector>

#include "core/flash_sequence.h"
#include "core/inquiry.h"
#include "core/scsi.h"
#include "run/record.h"
#include "system/system.h"
#include "transport/image_file.h"

// What a script can tell from the exit code of a flash: whether the drive
// holds what it held (6, 2, 3, 4, 128+N), part of the image (1), or every
// block of it without a word from the drive since (5).
enum ExitCode {
  EXIT_OK = 0,               // list: at least one drive listed
  EXIT_FLASHED = 0,          // flash: flashed, and the drive answered again
  EXIT_FLASH_FAILED = 1,     // part of the image may be in the drive, or it came back with
                             // another revision than --expect-revision
  EXIT_BAD_INPUT = 2,        // bad arguments or image
  EXIT_REFUSED = 3,          // not a CD/DVD drive, another drive than expected, mixed
                             // models, not confirmed
  EXIT_NO_DEVICE = 4,        // the device cannot be opened, is busy, does not answer, or its
                             // media polling cannot be switched off; list: no drive listed
  EXIT_UNCONFIRMED = 5,      // every block taken, but the drive not seen back (an
                             // interrupt, the time ran out, another drive could be it)
  EXIT_NOTHING_WRITTEN = 6,  // the preparation failed, or the drive refused block 00
  EXIT_INTERRUPTED = 128     // plus the signal: stopped before anything was written
};

// The time-outs of the commands after the last block: a drive may erase
// and program its flash before it answers, and a time-out would have the
// kernel reset it part-way.
enum { LAST_BLOCK_TIMEOUT_S = 300, AFTER_FLASH_TIMEOUT_S = 120, LEAST_SETTLE_S = 5 };

struct RunOptions {
  std::vector<std::string> devices;  // one drive, or several flashed at once
  bool skipFailing = false;  // several drives: flash those that pass their checks
  bool dryRun = false;       // every check up to the first block, then stop
  bool allowPolling = false; // flash even where the kernel's media polling stays on
  std::string expect;        // "VENDOR PRODUCT", empty: any drive
  std::string expectRevision;  // the revision the drive must come back with, empty: any
  int settleSeconds = LEAST_SETTLE_S;  // nothing sent to the drive for this long after the last block
  int readySeconds = 120;    // then how long to wait for the drive to answer
};

// The phases of one drive's run, in order.
enum class Phase { OPEN, ASK, CHECK, BLOCKS, QUIET, WAIT, REVISION, DONE };

// Where a drive's run ended. The code of each is fixed by what the drive
// may hold then.
enum class Ending {
  FLASHED,            // every block taken, and the drive answered again (0)
  CHECKED,            // a dry run: every check passed (0)
  SAME_DRIVE,         // named twice: `other` is the first name (2)
  OPEN_FAILED,        // `openFailure`, `detail`: the system's sentence
  NO_IDENTITY,        // INQUIRY failed: `failure` (4)
  NOT_CONNECTED,      // a CD/DVD unit that is not connected (3)
  NOT_CD_DVD,         // another device type (3)
  WRONG_MODEL,        // not the drive --expect names (3)
  POLLING_ON,         // polling cannot be switched off: `detail` (4)
  MIXED_MODELS,       // several drives of different models: `detail` names them (3)
  OTHERS_FAILING,     // several: `detail` "N of M" drives cannot be flashed (3)
  NOT_CONFIRMED,      // no YES (3)
  INTERRUPTED_BEFORE, // `signal` came before the first block (128+N)
  NOT_PREPARED,       // the preparation failed: `failure` (6)
  BLOCK_REFUSED,      // the drive refused block 00 with its status: `failure` (6)
  BLOCK_FAILED,       // a block failed, or block 00 got no answer: `failure` (1)
  INTERRUPTED_AFTER,  // every block taken, an interrupt was held (5)
  INTERRUPTED_WAITING,// every block taken, interrupted while waiting (5)
  UNTOLD,             // a drive like it came back, but cannot be told apart (5)
  NO_ANSWER,          // every block taken, no answer within the time (5)
  SILENT_AFTER,       // it answered, but does not say what it is: `failure` (5)
  WRONG_REVISION      // it came back with another revision than expected (1)
};

// What the drive holds when its run ends.
enum class Holds { AS_IT_WAS, PART_OF_IMAGE, MAY_BE_WRITING, NEW_FIRMWARE };

// One drive's run: filled as its phases pass, read by the observer.
struct DriveRun {
  size_t index = 0;     // in the run's order of drives
  std::string named;    // as the user named it
  std::string device;   // as the system names it (where it answers now)
  std::string key;      // the same for every name of the drive
  std::string address;  // its SCSI address where the system says
  Phase phase = Phase::OPEN;
  DriveIdentity identity;  // what it said before the flash
  std::string serial;
  int blocks = 0, blocksSent = 0;
  double blocksSeconds = 0;    // from the first block to the last answer
  CommandResult lastAnswer;    // after the flash: what the drive last said
  bool lastAnswerKnown = false;
  double waitedSeconds = 0;    // after the last block, in all
  std::string backAs;          // the node it answered at after the flash, when another

  Ending ending = Ending::FLASHED;
  int code = EXIT_FLASHED;
  Holds holds = Holds::AS_IT_WAS;
  OpenFailure openFailure = OPEN_FAILED;
  std::string detail, other;
  CommandResult failure;
  uint8_t failedIndex = 0;
  int signal = 0;
  bool pollingLeftOff = false;  // the run ended with the kernel's polling of it off
  RunRecord record;             // the run's facts; the front end adds reason and hint
};

// What the run tells as it goes. Calls for several drives come from one
// thread per drive once their blocks begin.
class RunObserver {
 public:
  virtual ~RunObserver() = default;
  virtual void PhaseBegins(const DriveRun &drive) { (void)drive; }
  // The drive said what it is.
  virtual void Asked(const DriveRun &drive) { (void)drive; }
  // What the run goes on despite: polling that stays on (--allow-polling),
  // the same revision after a flash, a system that may sleep.
  enum Caution { POLLING_STAYS_ON, SAME_REVISION, MAY_SLEEP };
  virtual void Caution(const DriveRun *drive, Caution caution, const std::string &detail) {
    (void)drive, (void)caution, (void)detail;
  }
  // Before the first block of any drive: true to go on. Not asked in a dry run.
  virtual bool Confirm(const std::vector<const DriveRun *> &drives) = 0;
  // The blocks of `drives` drives begin: from now on interrupts are held.
  virtual void BlocksBegin(size_t drives) { (void)drives; }
  // After each block the drive took.
  virtual void Block(const DriveRun &drive, double seconds) { (void)drive, (void)seconds; }
  // At least once a second while a block or a question after the flash is
  // outstanding, and during the quiet period: `seconds` since the phase began.
  virtual void StillWaiting(const DriveRun &drive, double seconds) { (void)drive, (void)seconds; }
  // An interrupt came while held: said once, soon after it came.
  virtual void InterruptHeld(int signal) { (void)signal; }
  // The drive answered after its flash under another node (`backAs`).
  virtual void CameBack(const DriveRun &drive) { (void)drive; }
  // The drive said what it is after its flash (`record.after`).
  virtual void AnsweredAfter(const DriveRun &drive) { (void)drive; }
  // Its run ended: `ending`, `code`, `holds` and the rest are set; the
  // front end adds its words to the record.
  virtual void Ended(DriveRun &drive) { (void)drive; }
  // The tap that sees every command to the drive, or none.
  virtual CommandTap *Tap(const DriveRun &drive) { (void)drive; return nullptr; }
};

// Runs the flash of `image` (loaded and checked by the caller) into the
// drives `options` names, and answers the run of each, in order. The
// records start from `start`.
std::vector<DriveRun> RunFlash(FlashSystem &system, const RunOptions &options, const LoadedImage &image,
                               const RunRecord &start, RunObserver &observer);

// Of several drives' codes, the one the run ends with: 0 when every one
// flashed and answered again, else the first of 1, 5, 6, 128+N, 4, 3, 2
// that any drive ended in.
int RunCode(const std::vector<DriveRun> &drives);

// The exit code of a drive that could not be opened.
int OpenFailureCode(OpenFailure failure);

// The outcome's word in the record: "flashed", "failed, nothing written".
const char *OutcomeWord(int code, bool dryRun);

#endif
