#include "transport/sg_io.h"

#include "transport/drive_node.h"

#include <fcntl.h>
#include <poll.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

int OpenScsiDevice(const char *path, bool forWriting, bool exclusive) {
  return open(path, (forWriting ? O_RDWR : O_RDONLY) | (exclusive ? O_EXCL : 0) | O_NONBLOCK |
                        O_CLOEXEC);
}

bool AnswersAsGeneric(int fd) {
  int version = 0;
  return ioctl(fd, SG_GET_VERSION_NUM, &version) == 0 && version >= 30000;
}

// The driver's own verdict, in the low four bits of driver_status; 8 only
// says that sense data came back with the drive's status.
enum { DRIVER_STATUS_MASK = 0x0F, DRIVER_SENSE = 0x08 };

static int TransferDirection(DataDirection direction) {
  return direction == DATA_IN ? SG_DXFER_FROM_DEV
       : direction == DATA_OUT ? SG_DXFER_TO_DEV : SG_DXFER_NONE;
}

// How long the kernel may take beyond a command's time-out to end it: its
// error handling aborts the command and resets device, bus and host, each
// with time-outs of its own.
enum { ERROR_HANDLING_MS = 90 * 1000 };

// One request through the sg driver's own interface: written once, then its
// answer read. A stop only pauses the wait; a handled signal ends it (the
// program holds the signals that must not, during the blocks); a write
// that failed sent nothing. ETIMEDOUT when no answer came in time.
static int SubmitAndWait(int device, sg_io_hdr_t *request, std::chrono::steady_clock::time_point until) {
  if (write(device, request, sizeof *request) < 0) return -1;
  using Clock = std::chrono::steady_clock;
  Clock::time_point end = Clock::now() + std::chrono::milliseconds((long long)request->timeout + ERROR_HANDLING_MS);
  if (until != Clock::time_point() && until < end) end = until;
  for (;;) {
    long long waitMs = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    struct pollfd answer = {device, POLLIN, 0};
    int ready = poll(&answer, 1, (int)std::max(0LL, std::min(waitMs, (long long)INT32_MAX)));
    if (ready == 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    if (ready < 0) return -1;
    if ((answer.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (answer.revents & POLLIN) == 0) {
      errno = (answer.revents & POLLNVAL) != 0 ? EBADF : ENODEV;
      return -1;
    }
    ssize_t got = read(device, request, sizeof *request);
    if (got == (ssize_t)sizeof *request) return 0;
    if (got >= 0) {
      errno = EIO;  // no answer of the sg driver's: not its node
      return -1;
    }
    if (errno != EINTR && errno != EAGAIN) return -1;
  }
}

CommandResult SgIoLink::Perform(const ScsiCommand &command) {
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
  request.timeout = std::max<uint32_t>(command.timeoutSeconds, LEAST_TIMEOUT_S) * 1000;  // milliseconds

  if (abandoned_) {
    result.kind = CommandResult::SYSTEM_ERROR;
    result.systemError = EBUSY;
    return result;
  }
  // What is written to a character node that is not the sg driver's (a
  // tape, whose driver answers the sg version too) would be a record on it:
  // the descriptor itself is asked, whatever name it was opened by.
  if (generic_ && !checked_) {
    DeviceNode node;
    if (InspectDescriptor(device_, &node) != 0 || !IsGenericNode(node)) {
      result.kind = CommandResult::SYSTEM_ERROR;
      result.systemError = ENOTTY;
      return result;
    }
    checked_ = true;
  }
  // Never sent again after EINTR: the drive may already have it.
  int answer = generic_ ? SubmitAndWait(device_, &request, until_) : ioctl(device_, SG_IO, &request);
  if (answer < 0) {
    result.kind = CommandResult::SYSTEM_ERROR;
    result.systemError = (uint32_t)errno;
    // Written but not answered: its answer would be read for the next one.
    if (generic_ && (errno == EINTR || errno == ETIMEDOUT)) abandoned_ = true;
    return result;
  }
  int driver = request.driver_status & DRIVER_STATUS_MASK;
  result.hostStatus = request.host_status;
  result.driverStatus = request.driver_status;
  if (request.host_status != 0 || (driver != 0 && driver != DRIVER_SENSE))
    result.kind = CommandResult::ADAPTER_ERROR;
  result.scsiStatus = request.status;
  result.senseLength = request.sb_len_wr;
  SetResidual(result, command, request.resid > 0 ? (uint32_t)request.resid : 0);
  return result;
}

CommandResult SgIoLink::PrepareForFlash() {
  uint8_t data[INQUIRY_ALLOCATION];
  CommandResult result = Run(InquiryCommand(data, INQUIRY_ALLOCATION));
  if (!result.Succeeded()) return result;
  return ClearUnitAttention(*this);
}
