#include "transport/sg_io.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

int OpenScsiDevice(const char *path, bool forWriting) {
  return open(path, (forWriting ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC);
}

int LockScsiDevice(int device) { return flock(device, LOCK_EX | LOCK_NB); }

// The driver's own verdict, in the low four bits of driver_status; 8 only
// says that sense data came back with the drive's status.
enum { DRIVER_STATUS_MASK = 0x0F, DRIVER_SENSE = 0x08 };

static int TransferDirection(DataDirection direction) {
  return direction == DATA_IN ? SG_DXFER_FROM_DEV
       : direction == DATA_OUT ? SG_DXFER_TO_DEV : SG_DXFER_NONE;
}

CommandResult SgIoLink::Run(const ScsiCommand &command) {
  uint8_t cdb[CDB_CAPACITY];
  memcpy(cdb, command.cdb, sizeof cdb);
  sg_io_hdr_t request;
  memset(&request, 0, sizeof request);
  request.interface_id = 'S';
  request.dxfer_direction = TransferDirection(command.direction);
  request.cmd_len = command.cdbLength;
  request.cmdp = cdb;
  request.dxferp = command.data;
  request.dxfer_len = command.data != nullptr ? command.length : 0;
  CommandResult result;
  request.sbp = result.sense;
  request.mx_sb_len = SENSE_CAPACITY;
  request.timeout = command.timeoutSeconds * 1000;  // milliseconds

  int answer;
  do {
    answer = ioctl(device_, SG_IO, &request);
  } while (answer < 0 && errno == EINTR);
  if (answer < 0) {
    result.kind = CommandResult::SYSTEM_ERROR;
    result.error = (uint32_t)errno;
    return result;
  }
  int driver = request.driver_status & DRIVER_STATUS_MASK;
  if (request.host_status != 0 || (driver != 0 && driver != DRIVER_SENSE)) {
    result.kind = CommandResult::ADAPTER_ERROR;
    result.error = (uint32_t)request.host_status << 8 | request.driver_status;
  }
  result.scsiStatus = request.status;
  result.senseLength = request.sb_len_wr;
  if (command.direction == DATA_IN) result.transferred = request.dxfer_len - request.resid;
  return result;
}

CommandResult SgIoLink::PrepareForFlash() {
  uint8_t data[INQUIRY_ALLOCATION];
  return Run(InquiryCommand(data, INQUIRY_ALLOCATION));
}
