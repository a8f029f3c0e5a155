// SCSI generic requests on Linux, on /dev/sr* and /dev/sg*: the drive link
// of the command line there.
#ifndef FLASHTOOL_TRANSPORT_SG_IO_H
#define FLASHTOOL_TRANSPORT_SG_IO_H

#include "core/scsi.h"

// Opens a device for SCSI requests: read-only to ask, read-write to flash,
// `exclusive` to claim a block device (O_EXCL: refused while a disc of it is
// mounted or another program claimed it). Without a disc an optical drive
// opens only without blocking, so that is how it is opened. Answers the
// descriptor, or -1 with errno set.
int OpenScsiDevice(const char *path, bool forWriting, bool exclusive = false);

// Whether the sg driver answers on the descriptor (SG_GET_VERSION_NUM):
// what the kernel says a node is, asked of the node itself.
bool AnswersAsGeneric(int fd);

// The same commands, directions, lengths and time-outs as pass-through;
// the descriptor stays the caller's. A command is sent once whatever
// happens to the process meanwhile: on a block node (sr) SG_IO waits
// without interruption; on the sg driver's node the request is written and
// its answer read, since the driver sends an SG_IO that a stop or a signal
// interrupted a second time. The wait for an answer there ends at the
// command's own time-out plus the kernel's error handling, or at a signal
// that the program lets in (one it holds waits): the request is then left
// to the driver and the link sends nothing more, since a later answer
// could only be that request's. Preparing for a flash asks INQUIRY, then
// TEST UNIT READY until no unit attention is pending.
// No command goes out with a time-out shorter than the kernel's own scan
// gives a drive: past it the kernel aborts the command and resets the
// device, the bus or the host, and a host reset ends another drive's block
// too.
enum { LEAST_TIMEOUT_S = 20 };

class SgIoLink : public DriveLink {
 public:
  // `generic`: the descriptor is the sg driver's (a character device).
  SgIoLink(int device, bool generic) : device_(device), generic_(generic) {}
  CommandResult PrepareForFlash() override;
  // On the sg driver's node only: SG_IO on a block node waits without
  // interruption.
  void WaitNoLongerThan(std::chrono::steady_clock::time_point until) override { until_ = until; }

 protected:
  CommandResult Perform(const ScsiCommand &command) override;


 private:
  int device_;
  bool generic_;
  bool abandoned_ = false;  // a request was left without its answer
  bool checked_ = false;    // the descriptor is the sg driver's, asked of the descriptor itself
  std::chrono::steady_clock::time_point until_{};
};

#endif
