// CD/DVD drives of a Linux system: the SCSI CD-ROM devices /dev/sr0 to
// /dev/sr31, each asked INQUIRY.
#ifndef FLASHTOOL_DISCOVERY_SR_SCAN_H
#define FLASHTOOL_DISCOVERY_SR_SCAN_H

#include <string>
#include <vector>

#include "core/inquiry.h"

struct FoundDrive {
  std::string device;
  DriveIdentity identity;
};

// A device that exists but could not be asked, with the errno why.
struct UnreadableDevice {
  std::string device;
  int error;
};

std::vector<FoundDrive> ScanOpticalDevices(std::vector<UnreadableDevice> *unreadable);

// What `device` says it is: 1, or 0 with the errno why it could not be
// opened (EIO when it opened but did not answer).
int InquireDevice(const std::string &device, DriveIdentity *identity, int *error);

#endif
