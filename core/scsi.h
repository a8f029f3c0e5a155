// One SCSI command and what came of it, the drive link that runs it, and a
// builder for every command this program sends. Portable: each transport
// (pass-through, ASPI, SG_IO) implements the link on its own system.
#ifndef FLASHTOOL_CORE_SCSI_H
#define FLASHTOOL_CORE_SCSI_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/inquiry.h"

enum DataDirection { DATA_NONE, DATA_IN, DATA_OUT };

enum {
  CDB_CAPACITY = 16,   // the longest command block any transport carries
  SENSE_CAPACITY = 32,
  GOOD = 0x00,
  CHECK_CONDITION = 0x02
};

struct ScsiCommand {
  uint8_t cdb[CDB_CAPACITY];  // zero after the command's last byte
  uint8_t cdbLength;
  DataDirection direction;
  uint8_t *data;              // the transfer buffer, null when there is none
  uint32_t length;            // bytes to transfer
  uint32_t timeoutSeconds;
};

// Sense key, additional sense code and qualifier of sense data in either
// format: fixed (response code 70h/71h) or descriptor (72h/73h).
struct SenseCodes {
  bool valid = false;  // false: no sense data of a known format
  uint8_t key = 0, asc = 0, ascq = 0;
};
SenseCodes ParseSense(const uint8_t *sense, size_t length);

// What came of one command, filled the same way by every link: a field
// that a transport cannot report stays 0.
struct CommandResult {
  enum Kind {
    DONE,           // the command reached the drive; scsiStatus says how it ended
    SYSTEM_ERROR,   // the system refused or lost the request: systemError says why
    ADAPTER_ERROR,  // the host adapter or its driver ended it: hostStatus, driverStatus
    SHORT_TRANSFER  // the drive said GOOD, but `residual` bytes sent to it never arrived
  } kind = DONE;
  uint32_t systemError = 0;   // errno on Linux, a Win32 error on Windows
  uint32_t hostStatus = 0;    // SG_IO's host_status (DID_*); ASPI's SRB_Status
  uint32_t driverStatus = 0;  // SG_IO's driver_status (DRIVER_*)
  uint8_t scsiStatus = GOOD;
  uint8_t sense[SENSE_CAPACITY] = {};
  uint8_t senseLength = 0;
  uint32_t residual = 0;      // bytes of the transfer that did not move, where the transport says
  uint32_t transferred = 0;   // data-in bytes that arrived, where the transport says

  bool Succeeded() const { return kind == DONE && scsiStatus == GOOD; }
  SenseCodes Sense() const { return ParseSense(sense, senseLength); }
  // Sense key, additional sense code and its qualifier; 0 when absent.
  uint8_t SenseKey() const { return Sense().key; }
  uint8_t AdditionalSenseCode() const { return Sense().asc; }
  uint8_t Qualifier() const { return Sense().ascq; }
};

// The residual a transport reported, into the result: data-in bytes that
// arrived, and a data-out block that did not arrive whole is a failure
// even when the drive answered GOOD.
void SetResidual(CommandResult &result, const ScsiCommand &command, uint32_t residual);

// Sees every command a link runs and what came of it (--verbose).
class CommandTap {
 public:
  virtual ~CommandTap() = default;
  virtual void Before(const ScsiCommand &command) = 0;
  virtual void After(const ScsiCommand &command, const CommandResult &result) = 0;
};

// The one way down to a drive. Preparing a drive for a flash differs by
// transport, so the link's own side does it, through Run like every other
// command.
class DriveLink {
 public:
  virtual ~DriveLink() = default;
  CommandResult Run(const ScsiCommand &command) {
    if (tap_ != nullptr) tap_->Before(command);
    CommandResult result = Perform(command);
    if (tap_ != nullptr) tap_->After(command, result);
    return result;
  }
  // Whatever the route does before the first block; fails only when the
  // drive must not be flashed.
  virtual CommandResult PrepareForFlash() = 0;
  void SetTap(CommandTap *tap) { tap_ = tap; }
  // From now on the program waits for an answer no later than `until`,
  // whatever the command's own time-out: a command still pending then is
  // left to the system, which ends it by that time-out, and the link sends
  // nothing more. Where the route cannot leave a command, it waits it out.
  virtual void WaitNoLongerThan(std::chrono::steady_clock::time_point until) { (void)until; }

 protected:
  virtual CommandResult Perform(const ScsiCommand &command) = 0;

 private:
  CommandTap *tap_ = nullptr;
};

enum {
  INQUIRY_ALLOCATION = 100,     // asked of a drive found by letter or by path
  SERIAL_PAGE = 0x80,           // INQUIRY vital product data: unit serial number
  SERIAL_ALLOCATION = 252,
  UNIT_ATTENTION_TRIES = 5,     // a reset and a disc change may each leave one
  DOWNLOAD_CDB_LENGTH = 12,
  INQUIRY_TIMEOUT_S = 2,
  DOWNLOAD_TIMEOUT_S = 100,
  READY_TIMEOUT_S = 10
};

// INQUIRY (12h), standard data, as a 6-byte command into `data`.
ScsiCommand InquiryCommand(uint8_t *data, uint8_t allocationLength,
                           uint32_t timeoutSeconds = INQUIRY_TIMEOUT_S);
// INQUIRY (12h) of a vital product data page, as a 6-byte command.
ScsiCommand InquiryPageCommand(uint8_t page, uint8_t *data, uint8_t allocationLength,
                               uint32_t timeoutSeconds = INQUIRY_TIMEOUT_S);
// TEST UNIT READY (00h), no data; `timeoutSeconds` 0 takes READY_TIMEOUT_S.
ScsiCommand TestUnitReadyCommand(uint32_t timeoutSeconds = 0);

// After a bus reset, a power-up or a disc change the drive answers the next
// command with UNIT ATTENTION, once per event: the first block must not be
// that command. Asks TEST UNIT READY until the drive stops reporting it
// (a few tries), and answers the last result, taken as success when the
// drive is ready or only has no disc (a flash needs none).
CommandResult ClearUnitAttention(DriveLink &link);

// What the drive says it is: standard INQUIRY data, and the serial number
// of page 80h when `serial` is given (empty when the drive has none). The
// result is the standard INQUIRY's; the identity is set only when it
// succeeded.
CommandResult AskIdentity(DriveLink &link, DriveIdentity *identity, std::string *serial,
                          uint32_t timeoutSeconds = INQUIRY_TIMEOUT_S);

// Whether a TEST UNIT READY result says the drive answers and is ready, or
// only lacks a disc.
bool DriveAnswersReady(const CommandResult &result);
// The vendor download command that carries one 40960-byte block.
ScsiCommand DownloadCommand(uint8_t index, uint16_t checksum, uint8_t *block,
                            uint32_t timeoutSeconds = DOWNLOAD_TIMEOUT_S);

// Fills the 12 bytes of the download command.
void BuildDownloadCommand(uint8_t index, uint16_t dataLength, uint16_t checksum,
                          uint8_t cdb[DOWNLOAD_CDB_LENGTH]);

#endif
