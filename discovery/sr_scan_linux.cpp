#include "discovery/sr_scan.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "transport/drive_node.h"
#include "transport/sg_io.h"

int InquireDevice(const std::string &device, DriveIdentity *identity, std::string *serial,
                  int *error) {
  // The sg driver takes a request only through a descriptor open for
  // writing; a block node answers SG_IO on a read-only one.
  DeviceNode named;
  bool namedCharacter = InspectNode(device.c_str(), &named) == 0 && named.kind == NODE_CHARACTER;
  int fd = OpenScsiDevice(device.c_str(), namedCharacter);
  if (fd < 0) {
    *error = errno;
    return 0;
  }
  DeviceNode node;
  bool character = InspectDescriptor(fd, &node) != 0 || node.kind != NODE_BLOCK;
  bool generic = character && IsGenericNode(node);
  if (character && (!generic || !AnswersAsGeneric(fd))) {
    close(fd);
    *error = ENOTTY;
    return 0;
  }
  SgIoLink link(fd, generic);
  CommandResult result = AskIdentity(link, identity, serial);
  close(fd);
  enum { DID_TIME_OUT = 0x03 };
  if (!result.Succeeded()) {
    *error = result.kind == CommandResult::SYSTEM_ERROR ? (int)result.systemError
           : result.kind == CommandResult::ADAPTER_ERROR && result.hostStatus == DID_TIME_OUT ? ETIMEDOUT
           : EIO;
    return 0;
  }
  return 1;
}

namespace {

bool OpticalType(int type) { return type == CD_DVD_DEVICE_TYPE || type == 4; }

// The kernel's copy of the drive's identity, read as the drive's own
// INQUIRY data would be, blanks and all.
DriveIdentity KernelIdentity(const SysfsDevice &kernel) {
  uint8_t data[INQUIRY_STANDARD_LENGTH];
  memset(data, ' ', sizeof data);
  data[0] = (uint8_t)(kernel.type & 0x1F);
  memcpy(data + 8, kernel.vendor.data(), std::min<size_t>(8, kernel.vendor.size()));
  memcpy(data + 16, kernel.model.data(), std::min<size_t>(16, kernel.model.size()));
  memcpy(data + 32, kernel.revision.data(), std::min<size_t>(4, kernel.revision.size()));
  return ParseInquiry(data, sizeof data);
}

// Numbers in order, "10:0:0:0" after "2:0:0:0".
bool AddressBefore(const FoundDrive &a, const FoundDrive &b) {
  unsigned x[4] = {}, y[4] = {};
  sscanf(a.address.c_str(), "%u:%u:%u:%u", &x[0], &x[1], &x[2], &x[3]);
  sscanf(b.address.c_str(), "%u:%u:%u:%u", &y[0], &y[1], &y[2], &y[3]);
  return std::lexicographical_compare(x, x + 4, y, y + 4);
}

// One drive's answer, filled by the thread that asks it; a thread still
// waiting at the deadline is left behind, and owns its half of this.
struct Answer {
  bool done = false;
  DriveIdentity identity;
  std::string serial;
  int error = 0;
};

struct Round {
  std::mutex lock;
  std::condition_variable changed;
};

}  // namespace

std::vector<FoundDrive> ScanOpticalDevices(bool serials, std::vector<FoundDrive> *left) {
  std::vector<FoundDrive> found;
  for (const std::string &address : ScsiAddresses()) {
    SysfsDevice kernel;
    if (!SysfsIdentity(address, &kernel) || !OpticalType(kernel.type)) continue;
    FoundDrive drive{address, CdromNodeAt(address), GenericNodeAt(address), BusOf(address),
                     KernelIdentity(kernel), "", 0};
    if (drive.device.empty()) drive.device = drive.generic;
    if (drive.device.empty()) continue;  // neither the sr nor the sg driver has it: nothing to reach
    found.push_back(drive);
  }
  std::sort(found.begin(), found.end(), AddressBefore);

  auto round = std::make_shared<Round>();
  std::vector<std::shared_ptr<Answer>> answers;
  for (const FoundDrive &drive : found) {
    auto answer = std::make_shared<Answer>();
    answers.push_back(answer);
    if (drive.generic.empty()) {
      answer->done = true;
      answer->error = NOT_ASKED_NO_SG;
      continue;
    }
    std::string node = drive.generic.empty() ? drive.device : drive.generic, address = drive.address;
    std::thread([round, answer, node, address, serials] {
      // Held while asking, so that a flash does not start in between; a
      // drive that a flash holds is left alone.
      int lock = LockDrive(address, false);
      Answer result;
      if (lock < 0 && errno == EWOULDBLOCK) {
        result.error = EWOULDBLOCK;
      } else {
        InquireDevice(node, &result.identity, serials ? &result.serial : nullptr, &result.error);
        if (lock >= 0) close(lock);
      }
      std::lock_guard<std::mutex> hold(round->lock);
      *answer = result;
      answer->done = true;
      round->changed.notify_all();
    }).detach();
  }
  std::unique_lock<std::mutex> hold(round->lock);
  round->changed.wait_until(hold, std::chrono::steady_clock::now() + std::chrono::milliseconds(SCAN_DEADLINE_MS),
                            [&] {
                              for (const auto &answer : answers)
                                if (!answer->done) return false;
                              return true;
                            });
  std::vector<FoundDrive> drives;
  for (size_t i = 0; i < found.size(); ++i) {
    FoundDrive &drive = found[i];
    const Answer &answer = *answers[i];
    drive.error = !answer.done ? ETIMEDOUT : answer.error;
    if (answer.done && answer.error == 0) {
      // A unit whose qualifier says it is not connected is no drive.
      if (!OpticalType(answer.identity.deviceType) || answer.identity.qualifier != 0) {
        drive.identity = answer.identity;
        if (left != nullptr) left->push_back(drive);
        continue;
      }
      drive.identity = answer.identity;
      drive.serial = answer.serial;
    }
    drives.push_back(drive);
  }
  return drives;
}

std::vector<SeenDrive> SeenDrives() {
  std::vector<SeenDrive> drives;
  for (const std::string &address : ScsiAddresses()) {
    SeenDrive drive;
    drive.key = address;
    drive.node = CdromNodeAt(address);
    drive.generic = GenericNodeAt(address);
    if (drive.node.empty()) drive.node = drive.generic;
    if (drive.node.empty()) continue;
    drive.port = PortOf(address);
    SysfsDevice kernel;
    if (SysfsIdentity(address, &kernel)) {
      drive.vendor = kernel.vendor;
      drive.product = kernel.model;
    }
    drives.push_back(drive);
  }
  return drives;
}
