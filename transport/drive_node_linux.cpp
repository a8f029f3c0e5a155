#include "transport/drive_node.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static void Describe(const struct stat &status, DeviceNode *node) {
  node->kind = S_ISBLK(status.st_mode) ? NODE_BLOCK : S_ISCHR(status.st_mode) ? NODE_CHARACTER
                                                                             : NODE_OTHER;
  node->major = major(status.st_rdev);
  node->minor = minor(status.st_rdev);
}

int InspectNode(const char *path, DeviceNode *node) {
  struct stat status;
  if (stat(path, &status) != 0) return -1;
  Describe(status, node);
  return 0;
}

int InspectDescriptor(int fd, DeviceNode *node) {
  struct stat status;
  if (fstat(fd, &status) != 0) return -1;
  Describe(status, node);
  return 0;
}

static std::string LinkTarget(const std::string &link) {
  char target[1024];
  ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
  if (length <= 0) return "";
  target[length] = '\0';
  return target;
}

static std::string LastPart(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

static bool IsAddress(const std::string &name) {
  unsigned h, c, t, l;
  char end;
  return sscanf(name.c_str(), "%u:%u:%u:%u%c", &h, &c, &t, &l, &end) == 4;
}

// sysfs names a SCSI device's folder after its address; a node's "device"
// link points there.
static std::string AddressBehind(const std::string &link) {
  std::string name = LastPart(LinkTarget(link));
  return IsAddress(name) ? name : "";
}

// The kernel's folder of a device number: /sys/dev/block/11:0.
static std::string NumberFolder(const DeviceNode &node) {
  char folder[64];
  snprintf(folder, sizeof folder, "/sys/dev/%s/%u:%u", node.kind == NODE_BLOCK ? "block" : "char",
           node.major, node.minor);
  return folder;
}

std::string KernelName(const DeviceNode &node) {
  if (node.kind == NODE_OTHER) return "";
  return LastPart(LinkTarget(NumberFolder(node)));
}

bool IsGenericNode(const DeviceNode &node) {
  if (node.kind != NODE_CHARACTER) return false;
  return node.major == SG_MAJOR || LastPart(LinkTarget(NumberFolder(node) + "/subsystem")) == "scsi_generic";
}

std::string ScsiAddressOf(const DeviceNode &node) {
  if (node.kind == NODE_OTHER) return "";
  return AddressBehind(NumberFolder(node) + "/device");
}

static std::string DeviceFolder(const std::string &address) {
  return "/sys/class/scsi_device/" + address + "/device";
}

// The one node a driver made for the device: sysfs lists it in a folder of
// the driver's name below the device ("block/sr0", "scsi_generic/sg1").
static std::string NodeIn(const std::string &address, const char *driverFolder, const char *prefix) {
  if (address.empty()) return "";
  DIR *folder = opendir((DeviceFolder(address) + "/" + driverFolder).c_str());
  if (folder == nullptr) return "";
  std::string node;
  while (struct dirent *entry = readdir(folder))
    if (strncmp(entry->d_name, prefix, strlen(prefix)) == 0) node = std::string("/dev/") + entry->d_name;
  closedir(folder);
  return node;
}

std::string GenericNodeAt(const std::string &address) { return NodeIn(address, "scsi_generic", "sg"); }
std::string CdromNodeAt(const std::string &address) { return NodeIn(address, "block", "sr"); }

std::vector<std::string> ScsiAddresses() {
  std::vector<std::string> addresses;
  DIR *folder = opendir("/sys/class/scsi_device");
  if (folder == nullptr) return addresses;
  while (struct dirent *entry = readdir(folder))
    if (IsAddress(entry->d_name)) addresses.push_back(entry->d_name);
  closedir(folder);
  return addresses;
}

// The class's link names the device's whole path in sysfs:
// ../../devices/pci0000:00/.../host6/target6:0:0/6:0:0:0/scsi_device/6:0:0:0.
static std::string PathOf(const std::string &address) {
  return LinkTarget("/sys/class/scsi_device/" + address);
}

std::string PortOf(const std::string &address) {
  std::string path = PathOf(address);
  size_t host = path.find("/host");
  if (host == std::string::npos) return "";
  size_t devices = path.find("devices/");
  size_t from = devices == std::string::npos || devices > host ? 0 : devices;
  return path.substr(from, host - from);
}

// The lock is the drive's own device node, which only the kernel makes, in
// a folder only root writes: nobody can plant a file, a link or a FIFO in
// its place, and only a user who may open the drive can hold it. The sg
// node, where there is one: opening it makes the kernel send nothing.
bool NodeLockedNow(const std::string &path) {
  struct stat node;
  if (stat(path.c_str(), &node) != 0) return false;
  int fd = open("/proc/locks", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string text;
  char chunk[4096];
  ssize_t got;
  while ((got = read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, (size_t)got);
  close(fd);
  // "1: FLOCK  ADVISORY  WRITE 1234 00:05:567 0 EOF": the file system's
  // device in hex, then the inode.
  char wanted[64];
  snprintf(wanted, sizeof wanted, " %02x:%02x:%lu ", major(node.st_dev), minor(node.st_dev),
           (unsigned long)node.st_ino);
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (line.find("FLOCK") != std::string::npos && line.find(wanted) != std::string::npos) return true;
    at = end + 1;
  }
  return false;
}

int LockDrive(const std::string &address, bool exclusive) {
  const int flags = O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
  std::string generic = GenericNodeAt(address), cdrom = CdromNodeAt(address);
  // Opening an sr node makes the kernel send the drive commands of its own:
  // a drive without an sg node that a flash holds is seen held from the
  // kernel's table of locks, without opening it.
  if (generic.empty() && !cdrom.empty() && NodeLockedNow(cdrom)) {
    errno = EWOULDBLOCK;
    return -1;
  }
  int fd = generic.empty() ? -1 : open(generic.c_str(), flags);
  // A /dev without the sg node that sysfs names (a container's) has every
  // process fall back the same way.
  if (fd < 0 && (generic.empty() || errno == ENOENT) && !cdrom.empty()) fd = open(cdrom.c_str(), flags);
  if (fd < 0 && generic.empty() && cdrom.empty()) errno = ENODEV;
  if (fd < 0) return -1;
  DeviceNode opened;
  if (InspectDescriptor(fd, &opened) != 0 || opened.kind == NODE_OTHER || ScsiAddressOf(opened) != address) {
    close(fd);
    errno = ENODEV;  // not the drive's node, or the drive went meanwhile
    return -1;
  }
  // A listing holds its shared lock only while it asks the drive, a moment
  // for a drive that answers: a flash waits that out rather than call the
  // drive busy.
  for (int waited = 0; flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0; waited += 50) {
    int error = errno;
    if (error != EWOULDBLOCK || !exclusive || waited >= LISTING_HOLD_MS) {
      close(fd);
      errno = error;
      return -1;
    }
    usleep(50 * 1000);
  }
  return fd;
}

// Whole file through read(): the C library's stdio opens files in ways
// that not every system call tracer or sandbox sees as an open.
static bool ReadText(const std::string &path, std::string *text) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  text->clear();
  char chunk[4096];
  ssize_t got;
  while ((got = read(fd, chunk, sizeof chunk)) > 0) text->append(chunk, (size_t)got);
  close(fd);
  return got == 0;
}

static std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

bool SysfsIdentity(const std::string &address, SysfsDevice *device) {
  std::string folder = DeviceFolder(address) + "/", type;
  if (!ReadText(folder + "type", &type) || !ReadText(folder + "vendor", &device->vendor) ||
      !ReadText(folder + "model", &device->model))
    return false;
  if (!ReadText(folder + "rev", &device->revision)) device->revision.clear();
  device->type = atoi(type.c_str());
  device->vendor = Trimmed(device->vendor);
  device->model = Trimmed(device->model);
  device->revision = Trimmed(device->revision);
  return true;
}

std::string BusOf(const std::string &address) {
  std::string path = PathOf(address);
  if (path.empty()) return "";
  if (path.find("/usb") != std::string::npos) return "usb";
  if (path.find("/ata") != std::string::npos) return "ata";
  if (path.find("/fw") != std::string::npos || path.find("firewire") != std::string::npos) return "firewire";
  if (path.find("/session") != std::string::npos) return "iscsi";
  return "scsi";
}

// mountinfo writes blanks and backslashes in paths as octal escapes (\040).
static std::string Unescaped(const std::string &field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    bool escape = field[i] == '\\' && i + 3 < field.size() &&
                  strspn(field.c_str() + i + 1, "01234567") >= 3;
    if (escape) {
      out += (char)((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

std::string MountPointOf(const DeviceNode &node) {
  std::string text;
  if (node.kind != NODE_BLOCK || !ReadText("/proc/self/mountinfo", &text)) return "";
  char number[32];
  snprintf(number, sizeof number, "%u:%u", node.major, node.minor);
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    // mount id, parent id, major:minor, root, mount point, ...
    char id[32], parent[32], device[32], root[4096], point[4096];
    std::string line = text.substr(at, end - at);
    if (sscanf(line.c_str(), "%31s %31s %31s %4095s %4095s", id, parent, device, root, point) == 5 &&
        strcmp(device, number) == 0)
      return Unescaped(point);
    at = end + 1;
  }
  return "";
}

// The drive's polling period now: 0 when the kernel does not poll it (0,
// or -1 while the system's default is 0). False when there is no such
// setting (no sr node, no sysfs).
static bool PollingPeriod(const std::string &path, std::string *value, bool *polled) {
  if (!ReadText(path, value)) return false;
  *value = Trimmed(*value);
  std::string fallback;
  *polled = *value != "0" &&
            !(*value == "-1" && ReadText("/sys/module/block/parameters/events_dfl_poll_msecs", &fallback) &&
              Trimmed(fallback) == "0");
  return true;
}

static std::string PollingPath(const std::string &srName) {
  return "/sys/block/" + srName + "/events_poll_msecs";
}

// Where a drive's polling value is kept while a flash has it off, so that
// a run ended by SIGKILL leaves it for the next run to put back: a folder
// of root's that nobody else may write, checked on the descriptor before
// anything in it is trusted, and files in it opened without following a
// link or waiting on a FIFO.
static const char StateFolder[] = "/run/flashtool";

static int OpenStateFolder(bool create) {
  if (create && geteuid() == 0) mkdir(StateFolder, 0700);
  int fd = open(StateFolder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != 0 ||
      (status.st_mode & 022) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

static std::string StateName(const std::string &address) { return "polling-" + address; }

static void SaveState(const std::string &address, const std::string &srName, const std::string &old) {
  int folder = OpenStateFolder(true);
  if (folder < 0) return;
  int fd = openat(folder, StateName(address).c_str(),
                  O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  struct stat status;
  if (fd >= 0 && fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
    std::string text = srName + " " + old + "\n";
    if (write(fd, text.data(), text.size()) < 0) {}  // a state not kept only costs the clean-up
  }
  if (fd >= 0) close(fd);
  close(folder);
}

// The sr name and the value kept for a drive; false when none is.
static bool LoadState(int folder, const std::string &name, std::string *srName, std::string *old) {
  int fd = openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat status;
  char text[96] = "";
  bool ok = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == 0 &&
            read(fd, text, sizeof text - 1) > 0;
  close(fd);
  char sr[32], value[32];
  if (!ok || sscanf(text, "%31s %31s", sr, value) != 2) return false;
  *srName = sr;
  *old = value;
  return true;
}

static void DropState(const std::string &address) {
  int folder = OpenStateFolder(false);
  if (folder < 0) return;
  unlinkat(folder, StateName(address).c_str(), 0);
  close(folder);
}

static bool WriteValue(const std::string &path, const std::string &value) {
  int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return false;
  bool written = write(fd, value.data(), value.size()) == (ssize_t)value.size();
  int error = errno;
  close(fd);
  errno = error;
  return written;
}

// Every write of the setting is to the drive it was kept for: srN is given
// to another drive once this one leaves.
static bool StillTheDrive(const std::string &srName, const std::string &address) {
  return address.empty() || CdromNodeAt(address) == "/dev/" + srName;
}

void RestoreLeftPolling(const std::string &address) {
  int folder = OpenStateFolder(false);
  if (folder < 0) return;
  std::string srName, old, now;
  if (LoadState(folder, StateName(address), &srName, &old)) {
    // A flash that holds the drive now keeps what it found.
    int lock = LockDrive(address, false);
    if (lock >= 0) {
      std::string path = PollingPath(srName);
      bool polled = false;
      if (StillTheDrive(srName, address) && PollingPeriod(path, &now, &polled) && now == "0")
        WriteValue(path, old);
      unlinkat(folder, StateName(address).c_str(), 0);
      close(lock);
    }
  }
  close(folder);
}

int MediaPolling::Check(const std::string &srName) {
  std::string value;
  bool polled = false;
  if (!PollingPeriod(PollingPath(srName), &value, &polled)) return errno == ENOENT ? 0 : -1;
  if (!polled) return 0;
  int fd = open(PollingPath(srName).c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  close(fd);
  return 1;
}

int MediaPolling::Off(const std::string &srName, const std::string &address) {
  std::string path = PollingPath(srName);
  std::string old;
  bool polled = false;
  if (!PollingPeriod(path, &old, &polled)) return errno == ENOENT ? 0 : -1;
  // 0 that a killed run left: the value to put back is the one it kept.
  std::string keptName, kept;
  int folder = polled || address.empty() ? -1 : OpenStateFolder(false);
  if (folder >= 0) {
    if (LoadState(folder, StateName(address), &keptName, &kept) && keptName == srName && kept != "0") {
      old = kept;
      polled = true;
    }
    close(folder);
  }
  if (!polled) return 0;
  if (!StillTheDrive(srName, address)) {
    errno = ENODEV;
    return -1;
  }
  if (!address.empty()) SaveState(address, srName, old);
  if (!WriteValue(path, "0")) {
    int error = errno;
    if (!address.empty()) DropState(address);
    errno = error;
    return -1;
  }
  srName_ = srName;
  path_ = path;
  old_ = old;
  address_ = address;
  return 1;
}

void MediaPolling::Restore() {
  if (path_.empty()) return;
  // A node that now belongs to another drive is left alone, and so is
  // what was kept: the drive may come back under its address.
  if (StillTheDrive(srName_, address_)) {
    WriteValue(path_, old_);  // nothing more to do if the kernel refuses
    if (!address_.empty()) DropState(address_);
  }
  path_.clear();
}
