// SCSI pass-through on a drive-letter handle (Windows 2000 and later): the
// two request forms Windows offers, and the drive link over them.
#ifndef FLASHTOOL_TRANSPORT_PASSTHROUGH_H
#define FLASHTOOL_TRANSPORT_PASSTHROUGH_H

#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <cstddef>
#include <cstdint>

#include "core/scsi.h"

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
// stays in the request for the caller to judge. The buffered form waits
// `timeout` seconds (2 for every INQUIRY of this program), the direct form 100.
DWORD PassThroughBuffered(HANDLE drive, PassThroughBuffer *request, UCHAR direction,
                          ULONG transferLength, ULONG timeout = INQUIRY_TIMEOUT_S);
DWORD PassThroughDirect(HANDLE drive, PassThroughDirectBlock *request, UCHAR direction,
                        void *data, ULONG transferLength, ULONG timeout = DOWNLOAD_TIMEOUT_S);

// The bus Windows reaches the drive by (its storage adapter's bus type):
// "usb", "atapi", "sata", "scsi"...; empty when Windows does not say.
const char *StorageBusName(HANDLE drive);

// The drive link on an open volume handle, which stays the caller's. A
// command that reads at most the buffered form's data area goes buffered
// (INQUIRY, TEST UNIT READY), every other one direct (a firmware block,
// without a copy). Preparing for a flash asks INQUIRY and wants GOOD.
class PassThroughLink : public DriveLink {
 public:
  explicit PassThroughLink(HANDLE drive) : drive_(drive) {}
  CommandResult PrepareForFlash() override;

 protected:
  CommandResult Perform(const ScsiCommand &command) override;


 private:
  HANDLE drive_;
};

#endif
