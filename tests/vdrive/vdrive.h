// The virtual CD-RW drive that every test tier talks to instead of real
// hardware, its text configuration and the journal lines it writes.
// Portable on purpose: no windows.h, so the host tests exercise it too.
#ifndef FLASHTOOL_TESTS_VDRIVE_VDRIVE_H
#define FLASHTOOL_TESTS_VDRIVE_VDRIVE_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vdrive {

enum Direction { DIR_NONE = 0, DIR_IN = 1, DIR_OUT = 2 };

enum : uint32_t {
  DOWNLOAD_OPCODE = 0x55,
  DOWNLOAD_BLOCK = 40960,
  ERROR_GONE = 1167,  // ERROR_DEVICE_NOT_CONNECTED: what a vanished drive answers
};

// What one drive is and how it is told to misbehave. A fault hits the
// commands with operation code failOpcode, counted from 0 per drive: numbers
// failAt to failAt + failCount - 1 (failCount 0: every one from failAt on).
struct DriveConfig {
  std::string name;  // the section's name: the drive letter on the pass-through route
  int type = 5;      // INQUIRY byte 0; 5 is a CD/DVD device, 0 a hard disk
  std::string vendor = "QUOR", product = "VIRTUAL CD-RW", revision = "1.00";
  std::string newRevision = "2.00";  // reported after a complete, correct download
  bool present = true;               // false: the drive has gone (opens fail)
  int delayMs = 0;                   // every download takes this long: a slow drive
  std::string alias;                 // a second node of the same drive: /dev/sg1 beside /dev/sr0
  std::string serial;                // INQUIRY page 80h; empty: the drive has no such page
  int attention = 0;                 // commands other than INQUIRY answering UNIT ATTENTION first
  std::string mounted;               // a filesystem of its disc is mounted here
  std::string movesTo;               // after a complete download it answers only at this node
  std::string bus;                   // the storage bus Windows reports (usb, atapi, sata, scsi); empty: none

  int failOpcode = DOWNLOAD_OPCODE;
  int failAt = -1;  // -1: no fault
  int failCount = 1;
  // The fault's outcome; exactly one is set when failAt >= 0.
  uint32_t failError = 0;               // the request fails with this Win32 error
  std::vector<uint8_t> checkCondition;  // SCSI status 2 with these sense bytes
  int aspiStatus = -1;                  // the ASPI request ends with this SRB_Status
  int aspiReject = -1;                  // the ASPI layer answers this at once, writes no status
  bool hang = false;                    // the request never completes
  bool vanish = false;                  // the drive disappears at this command
  int shortBy = 0;                      // GOOD, but this many bytes of the data-out never arrived
};

struct Config {
  std::vector<DriveConfig> drives;
  const DriveConfig *Find(const std::string &name) const;
};

// One key=value per line under "[drive NAME]" headers; '#' starts a comment.
// Unknown keys and malformed values are errors, so a typo cannot silently
// leave a fault out of a test.
bool ParseConfig(const std::string &text, Config *config, std::string *error);
std::string FormatConfig(const Config &config);

struct CommandRecord {
  std::vector<uint8_t> cdb;
  Direction direction;
  uint32_t length;
};

struct BlockRecord {
  uint8_t index;
  uint16_t checksum;    // as the command carried it
  std::string problem;  // empty when the block checked out
};

struct Result {
  enum Kind { COMPLETED, WIN32_ERROR, ASPI_ERROR, ASPI_REJECTED, HANG } kind = COMPLETED;
  uint32_t error = 0;       // WIN32_ERROR
  uint8_t aspiStatus = 0;   // ASPI_ERROR, ASPI_REJECTED
  int delayMs = 0;          // how long the harness lets the caller wait, outside its locks
  uint8_t scsiStatus = 0;   // COMPLETED: 0 GOOD or 2 CHECK CONDITION
  std::vector<uint8_t> sense;
  uint32_t transferred = 0; // data-in bytes written
  uint32_t residual = 0;    // bytes of the transfer that did not move
  std::vector<std::string> events;  // journal lines: BLOCK, FLASHED, VANISHED
};

struct Drive {
  explicit Drive(const DriveConfig &config);

  // Runs one command. `data` is the transfer buffer of `length` bytes.
  Result Execute(const uint8_t *cdb, int cdbLength, Direction direction, uint8_t *data,
                 uint32_t length);
  // New settings from a reloaded configuration; what the drive received stays.
  void Reconfigure(const DriveConfig &config);
  bool Present() const { return config.present && !gone; }
  const std::string &Revision() const;
  std::vector<uint8_t> InquiryData() const;  // the 36 standard bytes

  DriveConfig config;
  std::vector<CommandRecord> commands;
  std::vector<BlockRecord> blocks;
  std::string flashedRevision;  // empty until a download completed

 private:
  Result Download(const uint8_t *cdb, int cdbLength, Direction direction, const uint8_t *data,
                  uint32_t length);
  uint32_t seen[256] = {};  // commands received per operation code
  bool gone = false;
  int expectedIndex = 0;    // next block index in order; 0 starts a download
  bool broken = false;      // a bad block spoils the rest of the download
  uint16_t sum = 0;         // the drive's own running checksum
  std::chrono::steady_clock::time_point firstBlock;  // arrival of block 00
};

// Every drive a harness was ever configured with, kept across reloads of
// its configuration so that a drive that goes and comes back remembers what
// it received.
class DriveSet {
 public:
  enum Outcome { UNCHANGED, APPLIED, BAD };
  // Applies a configuration text; drives it no longer names are gone.
  // Nothing changes when the text is the last one applied or does not parse.
  Outcome Apply(const std::string &text, std::string *error);
  // By name or alias, present or not; null when never configured.
  Drive *Find(const std::string &name);
  std::string Names() const;             // of the last configuration, comma-separated
  // Applies the configuration file at `path` and answers the journal line
  // that tells of it ("CONFIG drives=..." or "CONFIG error ..."), "" when
  // nothing changed.
  std::string ApplyFile(const std::string &path);

 private:
  std::vector<std::unique_ptr<Drive>> drives_;
  std::string text_, names_;
  bool applied_ = false;
};

// printf into a journal line of at most 511 characters.
std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string Hex(const uint8_t *bytes, size_t count);  // "12 00 64"
std::string Hex(const std::vector<uint8_t> &bytes);
bool ParseHex(const std::string &text, std::vector<uint8_t> *bytes);

// Appends one line to the journal file and flushes it, so another process
// can follow the journal while the program runs. Does nothing without a
// path or a line.
void AppendJournal(const std::string &path, const std::string &line);

}  // namespace vdrive

#endif
