#include "transport/drive_node.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

// sysfs names a SCSI device's folder after its address; a node's "device"
// link points there.
static std::string AddressBehind(const std::string &link) {
  char target[512];
  ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
  if (length <= 0) return "";
  target[length] = '\0';
  const char *name = strrchr(target, '/');
  name = name != nullptr ? name + 1 : target;
  unsigned h, c, t, l;
  char end;
  if (sscanf(name, "%u:%u:%u:%u%c", &h, &c, &t, &l, &end) != 4) return "";
  return name;
}

std::string ScsiAddressOf(const DeviceNode &node) {
  if (node.kind == NODE_OTHER) return "";
  char link[96];
  snprintf(link, sizeof link, "/sys/dev/%s/%u:%u/device",
           node.kind == NODE_BLOCK ? "block" : "char", node.major, node.minor);
  return AddressBehind(link);
}

std::string ScsiAddressOfSr(int n) {
  return AddressBehind("/sys/class/block/sr" + std::to_string(n) + "/device");
}

std::string GenericNodeAt(const std::string &address) {
  if (address.empty()) return "";
  for (int n = 0; n < MAX_SG_NODES; ++n) {
    std::string name = "sg" + std::to_string(n);
    if (AddressBehind("/sys/class/scsi_generic/" + name + "/device") == address) return "/dev/" + name;
  }
  return "";
}

std::string CdromNodeAt(const std::string &address) {
  if (address.empty()) return "";
  for (int n = 0; n < MAX_SR_NODES; ++n)
    if (ScsiAddressOfSr(n) == address) return "/dev/sr" + std::to_string(n);
  return "";
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
  if (flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    int error = errno;
    close(fd);
    errno = error;
    return -1;
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

int MediaPolling::Off(const std::string &srName) {
  std::string path = "/sys/block/" + srName + "/events_poll_msecs";
  std::string old;
  if (!ReadText(path, &old)) return errno == ENOENT ? 0 : -1;
  while (!old.empty() && (old.back() == '\n' || old.back() == ' ')) old.pop_back();
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
