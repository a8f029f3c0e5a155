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

// The lock folder is shared by every user, so nothing there is followed or
// taken over: a lock file only needs to exist, and flock works on a file
// opened for reading.
static int OpenLockFile(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0 || errno != ENOENT) return fd;
  fd = open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd >= 0 || errno != EEXIST) return fd;
  return open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);  // another made it meanwhile
}

int LockDrive(const std::string &address, bool exclusive) {
  const char *folder = access("/run/lock", W_OK) == 0 ? "/run/lock" : "/tmp";
  int fd = OpenLockFile(std::string(folder) + "/flashtool-" + address + ".lock");
  if (fd < 0) return -1;
  // A listing holds its shared lock only while it asks the drive, at most
  // its deadline: a flash waits that out rather than call the drive busy.
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

int MediaPolling::Off(const std::string &srName) {
  std::string path = PollingPath(srName);
  std::string old;
  bool polled = false;
  if (!PollingPeriod(path, &old, &polled)) return errno == ENOENT ? 0 : -1;
  if (!polled) return 0;
  int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return -1;
  bool written = write(fd, "0", 1) == 1;
  int error = errno;
  close(fd);
  if (!written) {
    errno = error;
    return -1;
  }
  path_ = path;
  old_ = old;
  return 1;
}

void MediaPolling::Restore() {
  if (path_.empty()) return;
  int fd = open(path_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd >= 0) {
    if (write(fd, old_.data(), old_.size()) < 0) {}  // nothing more to do if the kernel refuses
    close(fd);
  }
  path_.clear();
}
