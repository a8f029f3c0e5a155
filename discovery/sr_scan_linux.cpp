#include "discovery/sr_scan.h"

#include <unistd.h>

#include <cerrno>

#include "transport/sg_io.h"

enum { MAX_SR_DEVICES = 32 };

int InquireDevice(const std::string &device, DriveIdentity *identity, int *error) {
  int fd = OpenScsiDevice(device.c_str(), false);
  if (fd < 0) {
    *error = errno;
    return 0;
  }
  uint8_t data[INQUIRY_ALLOCATION] = {};
  SgIoLink link(fd);
  CommandResult result = link.Run(InquiryCommand(data, INQUIRY_ALLOCATION));
  close(fd);
  if (!result.Succeeded()) {
    *error = result.kind == CommandResult::SYSTEM_ERROR ? (int)result.error : EIO;
    return 0;
  }
  *identity = ParseInquiry(data, result.transferred);
  return 1;
}

std::vector<FoundDrive> ScanOpticalDevices(std::vector<UnreadableDevice> *unreadable) {
  std::vector<FoundDrive> found;
  for (int n = 0; n < MAX_SR_DEVICES; ++n) {
    std::string device = "/dev/sr" + std::to_string(n);
    DriveIdentity identity;
    int error = 0;
    if (InquireDevice(device, &identity, &error)) {
      if (IsCdDvdDrive(identity)) found.push_back({device, identity});
    } else if (error != ENOENT && error != ENXIO && error != ENODEV) {
      unreadable->push_back({device, error});
    }
  }
  return found;
}
