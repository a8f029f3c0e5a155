// SCSI generic requests (SG_IO) on Linux, on /dev/sr* and /dev/sg*: the
// drive link of the command line there.
#ifndef FLASHTOOL_TRANSPORT_SG_IO_H
#define FLASHTOOL_TRANSPORT_SG_IO_H

#include "core/scsi.h"

// Opens a device for SCSI requests: read-only to ask, read-write to flash.
// Without a disc an optical drive opens only without blocking, so that is
// how it is opened. Answers the descriptor, or -1 with errno set.
int OpenScsiDevice(const char *path, bool forWriting);

// Takes the device for this process alone: 0, or -1 with errno EWOULDBLOCK
// when another process holds it.
int LockScsiDevice(int device);

// The same commands, directions, lengths and time-outs as pass-through;
// the descriptor stays the caller's. Preparing for a flash asks INQUIRY and
// wants GOOD.
class SgIoLink : public DriveLink {
 public:
  explicit SgIoLink(int device) : device_(device) {}
  CommandResult Run(const ScsiCommand &command) override;
  CommandResult PrepareForFlash() override;

 private:
  int device_;
};

#endif
