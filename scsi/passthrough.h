// SCSI pass-through on a drive-letter handle (Windows 2000 and later).
#ifndef FLASHTOOL_SCSI_PASSTHROUGH_H
#define FLASHTOOL_SCSI_PASSTHROUGH_H

#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <cstddef>
#include <cstdint>

struct DriveTable;

enum {
  PASS_THROUGH_DATA_SIZE = 2048,
  PASS_THROUGH_SENSE_SIZE = 32,
  PASS_THROUGH_SENSE_LENGTH = 24,  // sense bytes asked of the drive
  PASS_THROUGH_CDB_LENGTH = 12,    // every request carries a 12-byte CDB
  PASS_THROUGH_TARGET_ID = 1
};

// A buffered request: the header, a filler, the sense area and the data,
// all in one buffer that the caller clears before writing the CDB.
struct PassThroughBuffer {
  SCSI_PASS_THROUGH header;
  ULONG filler;
  UCHAR sense[PASS_THROUGH_SENSE_SIZE];
  UCHAR data[PASS_THROUGH_DATA_SIZE];
};

// A direct request: the data stays in the caller's buffer.
struct PassThroughDirectBlock {
  SCSI_PASS_THROUGH_DIRECT header;
  ULONG filler;
  UCHAR sense[PASS_THROUGH_SENSE_SIZE];
};

#ifndef _WIN64
// The layout the drives have always been sent in a 32-bit process.
static_assert(sizeof(SCSI_PASS_THROUGH) == 44, "buffered header");
static_assert(offsetof(SCSI_PASS_THROUGH, DataTransferLength) == 12, "transfer length");
static_assert(offsetof(SCSI_PASS_THROUGH, TimeOutValue) == 16, "time-out");
static_assert(offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == 20, "data offset");
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoOffset) == 24, "sense offset");
static_assert(offsetof(SCSI_PASS_THROUGH, Cdb) == 28, "CDB");
static_assert(offsetof(PassThroughBuffer, sense) == 48, "sense area");
static_assert(offsetof(PassThroughBuffer, data) == 80, "data area");
static_assert(sizeof(PassThroughBuffer) == 2128, "buffered request");
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 44, "direct header");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 20, "data address");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == 28, "CDB");
static_assert(offsetof(PassThroughDirectBlock, sense) == 48, "sense area");
static_assert(sizeof(PassThroughDirectBlock) == 80, "direct request");
#endif

// Each answers the Win32 error code, 0 for success; the drive's SCSI status
// stays in the request for the caller to judge.
DWORD PassThroughBuffered(HANDLE drive, PassThroughBuffer *request, UCHAR direction,
                          ULONG transferLength);
DWORD PassThroughDirect(HANDLE drive, PassThroughDirectBlock *request, UCHAR direction,
                        void *data, ULONG transferLength);
// `scsiStatus`, when given, receives the drive's status of the download.
DWORD PassThroughWriteBlock(uint8_t index, uint16_t checksum, void *data, uint32_t length,
                            int driveIndex, UCHAR *scsiStatus);
void CloseDriveHandles(DriveTable &table);

#endif
