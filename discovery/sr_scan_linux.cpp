#include "discovery/sr_scan.h"

#include <unistd.h>

#include <cerrno>

#include "transport/drive_node.h"
#include "transport/sg_io.h"

int InquireDevice(const std::string &device, DriveIdentity *identity, std::string *serial,
                  int *error) {
  int fd = OpenScsiDevice(device.c_str(), false);
  if (fd < 0) {
    *error = errno;
    return 0;
  }
  DeviceNode node;
  bool generic = InspectDescriptor(fd, &node) == 0 && node.kind == NODE_CHARACTER;
  if (generic && !AnswersAsGeneric(fd)) {
    close(fd);
    *error = ENOTTY;
    return 0;
  }
  SgIoLink link(fd, generic);
  CommandResult result = AskIdentity(link, identity, serial);
  close(fd);
  if (!result.Succeeded()) {
    *error = result.kind == CommandResult::SYSTEM_ERROR ? (int)result.systemError : EIO;
    return 0;
  }
  return 1;
}

std::vector<FoundDrive> ScanOpticalDevices() {
  std::vector<FoundDrive> found;
  for (int n = 0; n < MAX_SR_NODES; ++n) {
    FoundDrive drive{"/dev/sr" + std::to_string(n), "", DriveIdentity(), "", 0};
    std::string address = ScsiAddressOfSr(n);
    drive.generic = GenericNodeAt(address);
    // Held while asking, so that a flash does not start in between; a drive
    // that a flash holds is left alone: even an open makes the kernel send
    // it commands.
    int lock = address.empty() ? -1 : LockDrive(address, false);
    if (lock < 0 && errno == EWOULDBLOCK) {
      if (access(drive.device.c_str(), F_OK) != 0) continue;
      drive.error = EWOULDBLOCK;
      found.push_back(drive);
      continue;
    }
    int asked = InquireDevice(drive.device, &drive.identity, &drive.serial, &drive.error);
    if (lock >= 0) close(lock);
    if (asked ? IsCdDvdDrive(drive.identity) : !NodeMissing(drive.error)) found.push_back(drive);
  }
  return found;
}
