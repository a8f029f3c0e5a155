// One SCSI command and what came of it, the drive link that runs it, and a
// builder for every command this program sends. Portable: each transport
// (pass-through, ASPI, SG_IO) implements the link on its own system.
#ifndef FLASHTOOL_CORE_SCSI_H
#define FLASHTOOL_CORE_SCSI_H

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

struct CommandResult {
  enum Kind {
    DONE,           // the command reached the drive; scsiStatus says how it ended
    SYSTEM_ERROR,   // the system refused or lost the request: error is its code
    ADAPTER_ERROR   // the host adapter layer ended it: error is its status
  } kind = DONE;
  uint32_t error = 0;
  uint8_t scsiStatus = GOOD;
  uint8_t sense[SENSE_CAPACITY] = {};
  uint8_t senseLength = 0;
  uint32_t transferred = 0;  // data-in bytes that arrived, where the transport says

  bool Succeeded() const { return kind == DONE && scsiStatus == GOOD; }
  // Sense key, additional sense code and its qualifier; 0 when absent.
  uint8_t SenseKey() const { return senseLength > 2 ? sense[2] & 0x0F : 0; }
  uint8_t AdditionalSenseCode() const { return senseLength > 12 ? sense[12] : 0; }
  uint8_t Qualifier() const { return senseLength > 13 ? sense[13] : 0; }
};

// The one way down to a drive. Preparing a drive for a flash differs by
// transport, so the link's own side does it.
class DriveLink {
 public:
  virtual ~DriveLink() = default;
  virtual CommandResult Run(const ScsiCommand &command) = 0;
  // Whatever the route does before the first block; fails only when the
  // drive must not be flashed.
  virtual CommandResult PrepareForFlash() = 0;
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
ScsiCommand InquiryCommand(uint8_t *data, uint8_t allocationLength);
// INQUIRY (12h) of a vital product data page, as a 6-byte command.
ScsiCommand InquiryPageCommand(uint8_t page, uint8_t *data, uint8_t allocationLength);
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
CommandResult AskIdentity(DriveLink &link, DriveIdentity *identity, std::string *serial);

// Whether a TEST UNIT READY result says the drive answers and is ready, or
// only lacks a disc.
bool DriveAnswersReady(const CommandResult &result);
// The vendor download command that carries one 40960-byte block.
ScsiCommand DownloadCommand(uint8_t index, uint16_t checksum, uint8_t *block);

// Fills the 12 bytes of the download command.
void BuildDownloadCommand(uint8_t index, uint16_t dataLength, uint16_t checksum,
                          uint8_t cdb[DOWNLOAD_CDB_LENGTH]);

#endif
