// CD/DVD drives of a Linux system: the SCSI CD-ROM devices /dev/sr0 to
// /dev/sr31, each with the sg node of the same drive, asked INQUIRY unless
// a flash holds the drive.
#ifndef FLASHTOOL_DISCOVERY_SR_SCAN_H
#define FLASHTOOL_DISCOVERY_SR_SCAN_H

#include <string>
#include <vector>

#include "core/inquiry.h"

struct FoundDrive {
  std::string device;   // /dev/srN
  std::string generic;  // its /dev/sgM, empty when sysfs names none
  DriveIdentity identity;
  std::string serial;   // unit serial number, empty when the drive has none
  int error;            // 0 when it answered; EWOULDBLOCK while a flash holds it;
                        // else the errno why it could not be asked
};

// The CD/DVD drives that answered and every device that could not be
// asked; a drive being flashed is not opened at all.
std::vector<FoundDrive> ScanOpticalDevices();

// What `device` says it is, and its serial number when `serial` is given:
// 1, or 0 with the errno why it could not be opened (EIO when it opened but
// did not answer, ENOTTY when a character node is not the sg driver's).
int InquireDevice(const std::string &device, DriveIdentity *identity, std::string *serial,
                  int *error);

#endif
