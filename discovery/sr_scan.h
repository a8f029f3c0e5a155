// CD/DVD drives of a Linux system, found in the kernel's own tables
// (/sys/class/scsi_device, as lsscsi reads them): those with an sr node and
// those with only an sg node. Each is asked once what it is, through its sg
// node where it has one (opening an sr node makes the kernel send the drive
// commands of its own), all at once with one deadline, so that a drive
// that never answers costs the scan that deadline and no more. A drive that
// a flash holds is not asked.
#ifndef FLASHTOOL_DISCOVERY_SR_SCAN_H
#define FLASHTOOL_DISCOVERY_SR_SCAN_H

#include <string>
#include <vector>

#include "core/inquiry.h"
#include "discovery/comeback.h"

struct FoundDrive {
  std::string address;  // H:C:T:L
  std::string device;   // its /dev/srN, or its sg node when it has none
  std::string generic;  // its /dev/sgM, empty when it has none
  std::string bus;      // usb, ata, scsi, ...; empty when sysfs does not say
  DriveIdentity identity;  // what the drive says now; what the kernel read
                           // when it appeared, where `error` is set
  std::string serial;   // unit serial number, empty when it has none or was not asked
  int error;            // 0 when it answered; EWOULDBLOCK while a flash holds it;
                        // ETIMEDOUT when it did not answer in time; else the errno
};

enum { SCAN_DEADLINE_MS = 2500 };
// `error` of a drive with no sg node: it is not asked, since opening its sr
// node has the kernel send it commands of its own; `identity` is the
// kernel's copy.
enum { NOT_ASKED_NO_SG = -1 };

// Every CD/DVD drive (peripheral device type 5, and 4: write-once),
// ordered by address; `serials`: the serial number page too. A unit the
// kernel took for one that answers another device type, or a qualifier
// that says it is not connected, goes into `left` with that answer.
std::vector<FoundDrive> ScanOpticalDevices(bool serials = false, std::vector<FoundDrive> *left = nullptr);

// Every SCSI device with an sr or sg node, as sysfs shows it (no command
// sent): where a drive that restarted after a flash may be looked for.
std::vector<SeenDrive> SeenDrives();

// What `device` says it is, and its serial number when `serial` is given:
// 1, or 0 with the errno why it could not be opened (EIO when it opened but
// did not answer, ENOTTY when a character node is not the sg driver's).
int InquireDevice(const std::string &device, DriveIdentity *identity, std::string *serial,
                  int *error);

#endif
