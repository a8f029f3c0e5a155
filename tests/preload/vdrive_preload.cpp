// vdrive_preload.so: preloaded into the Linux program under test
// (LD_PRELOAD), it serves the SCSI generic requests sent to /dev/sr* and
// /dev/sg* paths from virtual drives, so that a test needs no drive, no cdrom
// group and no root, and the real machine's devices are never opened.
// Settings come from the file in FLASHTOOL_VDRIVE_CONFIG, whose sections are
// named by device path ("[drive /dev/sr0]"); every call is recorded in the
// journal file named by FLASHTOOL_VDRIVE_JOURNAL. FLASHTOOL_PRELOAD_DENIED
// lists, comma-separated, the device paths whose open fails with EACCES, as
// for a user outside the cdrom group.
// With FLASHTOOL_VDRIVE_QUIET=1 (the benchmark) the drives answer without
// writing a line per command or rereading the configuration.

// The checked inline open() of fortified builds and the renames of 64-bit
// file offsets would clash with the definitions of the same names below.
#undef _FORTIFY_SOURCE
#undef _FILE_OFFSET_BITS

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <scsi/sg.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "vdrive/vdrive.h"

namespace {

using vdrive::Format;

enum : unsigned {
  MAX_CDB = 16,           // what the block layer passes on to an sr device
  DID_NO_CONNECT = 0x01,  // host_status: the adapter could not reach the device
  DRIVER_SENSE = 0x08,    // driver_status: sense bytes were written
};

using OpenFn = int (*)(const char *, int, ...);
using OpenAtFn = int (*)(int, const char *, int, ...);
using Open2Fn = int (*)(const char *, int);
using OpenAt2Fn = int (*)(int, const char *, int);
using CloseFn = int (*)(int);
using IoctlFn = int (*)(int, unsigned long, ...);
using FlockFn = int (*)(int, int);

struct State {
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  std::string configPath, journalPath;
  std::vector<std::string> denied;
  bool quiet = false;
  vdrive::DriveSet drives;
  std::map<int, vdrive::Drive *> served;  // descriptor -> the drive it stands for
};

std::string Environment(const char *name) {
  const char *value = getenv(name);
  return value != nullptr ? value : "";
}

State *Load() {
  State *s = new State;
  s->configPath = Environment("FLASHTOOL_VDRIVE_CONFIG");
  s->journalPath = Environment("FLASHTOOL_VDRIVE_JOURNAL");
  s->quiet = Environment("FLASHTOOL_VDRIVE_QUIET") == "1";
  std::string denied = Environment("FLASHTOOL_PRELOAD_DENIED");
  for (size_t at = 0; at < denied.size();) {
    size_t end = std::min(denied.find(',', at), denied.size());
    if (end > at) s->denied.push_back(denied.substr(at, end - at));
    at = end + 1;
  }
  return s;
}

// Built on first use and never destroyed: the libraries loaded before this
// one may open files from their constructors, and the program may close a
// device from an exit handler after static destructors have run.
State &S() {
  static State *state = Load();
  return *state;
}

struct Guard {
  Guard() { pthread_mutex_lock(&S().lock); }
  ~Guard() { pthread_mutex_unlock(&S().lock); }
};

// The journal must not change what the program reads in errno afterwards.
void Log(const std::string &line) {
  int saved = errno;
  vdrive::AppendJournal(S().journalPath, line);
  errno = saved;
}

// The driver may rewrite the configuration while the program runs (a drive
// arrives or goes); drives keep what they received across a reload.
void Reload() {
  int saved = errno;
  Log(S().drives.ApplyFile(S().configPath));
  errno = saved;
}

OpenFn RealOpen() {
  static OpenFn real = (OpenFn)dlsym(RTLD_NEXT, "open");
  return real;
}

// Any path of either family is taken, named or not: the program must not
// reach a real device.
bool DevicePath(const char *path) {
  return path != nullptr && (strncmp(path, "/dev/sr", 7) == 0 || strncmp(path, "/dev/sg", 7) == 0);
}

bool TakesMode(int flags) { return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE; }

int OpenDevice(const char *path, int flags) {
  State &s = S();
  Guard guard;
  Reload();
  vdrive::Drive *drive = s.drives.Find(path);
  int fd = -1, error = 0;
  if (drive == nullptr || !drive->Present()) {
    error = ENOENT;
  } else if (std::find(s.denied.begin(), s.denied.end(), path) != s.denied.end()) {
    error = EACCES;
  } else {
    // A file of the test's own stands for the device: its descriptor is real,
    // so it never collides with one the program holds, and flock() on it
    // excludes other processes as it would on the device.
    std::string backing = s.configPath + "." + (strrchr(path, '/') + 1) + ".dev";
    fd = RealOpen()(backing.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) error = errno;
    else s.served[fd] = drive;
  }
  Log(Format("OPEN %s flags=%X ", path, (unsigned)flags) + (error == 0 ? "ok" : Format("err=%d", error)));
  if (error != 0) errno = error;
  return fd;
}

// A number the kernel hands out again was closed behind this library's back
// (fclose of an fdopen stream, dup2, close_range): it no longer stands for a drive.
int Opened(int fd) {
  if (fd >= 0) {
    Guard guard;
    S().served.erase(fd);
  }
  return fd;
}

vdrive::Direction DirectionOf(int direction) {
  return direction == SG_DXFER_FROM_DEV || direction == SG_DXFER_TO_FROM_DEV ? vdrive::DIR_IN
       : direction == SG_DXFER_TO_DEV ? vdrive::DIR_OUT : vdrive::DIR_NONE;
}

const char *DirectionName(vdrive::Direction direction) {
  return direction == vdrive::DIR_IN ? "in" : direction == vdrive::DIR_OUT ? "out" : "none";
}

struct Served {
  int error = 0;
  bool hang = false;
  int delayMs = 0;
};

// Runs the request on the drive and fills in the header as the sg driver
// does. A scatter list is refused rather than taken for a flat buffer.
Served RunCommand(vdrive::Drive *drive, sg_io_hdr_t *h, std::string *outcome) {
  Served s;
  vdrive::Direction direction = DirectionOf(h->dxfer_direction);
  if (h->interface_id != 'S' || h->cmdp == nullptr || h->cmd_len == 0 || h->cmd_len > MAX_CDB ||
      h->iovec_count != 0) {
    s.error = EINVAL;
    return s;
  }
  if (direction != vdrive::DIR_NONE && h->dxfer_len > 0 && h->dxferp == nullptr) {
    s.error = EFAULT;
    return s;
  }
  uint32_t length = direction == vdrive::DIR_NONE ? 0 : h->dxfer_len;
  vdrive::Result r = drive->Execute(h->cmdp, h->cmd_len, direction,
                                    length > 0 ? (uint8_t *)h->dxferp : nullptr, length);
  s.delayMs = r.delayMs;
  for (const std::string &event : r.events) *outcome += "\n" + event;
  h->status = h->masked_status = h->msg_status = h->sb_len_wr = h->host_status = h->driver_status = 0;
  h->resid = h->info = 0;
  switch (r.kind) {
    case vdrive::Result::HANG: s.hang = true; return s;
    case vdrive::Result::WIN32_ERROR:
      s.error = r.error == vdrive::ERROR_GONE ? ENODEV : (int)r.error;  // taken as an errno here
      return s;
    case vdrive::Result::ASPI_ERROR:
    case vdrive::Result::ASPI_REJECTED:  // no such layer here: the nearest is a lost connection
      h->host_status = DID_NO_CONNECT;
      h->info |= SG_INFO_CHECK;
      return s;
    case vdrive::Result::COMPLETED: break;
  }
  h->status = r.scsiStatus;
  h->masked_status = r.scsiStatus >> 1;
  size_t senseLength = h->sbp != nullptr ? std::min((size_t)h->mx_sb_len, r.sense.size()) : 0;
  if (senseLength > 0) {
    memcpy(h->sbp, r.sense.data(), senseLength);
    h->driver_status = DRIVER_SENSE;
  }
  h->sb_len_wr = (unsigned char)senseLength;
  if (direction == vdrive::DIR_IN) h->resid = (int)(length - r.transferred);
  if (h->status != 0) h->info |= SG_INFO_CHECK;
  return s;
}

__attribute__((constructor)) void Attach() {
  Guard guard;
  Reload();
  Log(Format("ATTACH pid=%d", (int)getpid()));
}

}  // namespace

// Each open variant the C library exports for programs: the plain and 64-bit
// names, and the checked __open_2 family that fortified builds call when the
// flags are not known at compile time.
extern "C" int open(const char *path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = TakesMode(flags) ? va_arg(args, mode_t) : 0;
  va_end(args);
  return DevicePath(path) ? OpenDevice(path, flags) : Opened(RealOpen()(path, flags, mode));
}

extern "C" int open64(const char *path, int flags, ...) {
  static OpenFn real = (OpenFn)dlsym(RTLD_NEXT, "open64");
  va_list args;
  va_start(args, flags);
  mode_t mode = TakesMode(flags) ? va_arg(args, mode_t) : 0;
  va_end(args);
  return DevicePath(path) ? OpenDevice(path, flags) : Opened(real(path, flags, mode));
}

extern "C" int openat(int dir, const char *path, int flags, ...) {
  static OpenAtFn real = (OpenAtFn)dlsym(RTLD_NEXT, "openat");
  va_list args;
  va_start(args, flags);
  mode_t mode = TakesMode(flags) ? va_arg(args, mode_t) : 0;
  va_end(args);
  return DevicePath(path) ? OpenDevice(path, flags) : Opened(real(dir, path, flags, mode));
}

extern "C" int openat64(int dir, const char *path, int flags, ...) {
  static OpenAtFn real = (OpenAtFn)dlsym(RTLD_NEXT, "openat64");
  va_list args;
  va_start(args, flags);
  mode_t mode = TakesMode(flags) ? va_arg(args, mode_t) : 0;
  va_end(args);
  return DevicePath(path) ? OpenDevice(path, flags) : Opened(real(dir, path, flags, mode));
}

extern "C" int __open_2(const char *path, int flags) {
  static Open2Fn real = (Open2Fn)dlsym(RTLD_NEXT, "__open_2");
  return DevicePath(path) ? OpenDevice(path, flags) : Opened(real(path, flags));
}

extern "C" int __open64_2(const char *path, int flags) {
  static Open2Fn real = (Open2Fn)dlsym(RTLD_NEXT, "__open64_2");
  return DevicePath(path) ? OpenDevice(path, flags) : Opened(real(path, flags));
}

extern "C" int __openat_2(int dir, const char *path, int flags) {
  static OpenAt2Fn real = (OpenAt2Fn)dlsym(RTLD_NEXT, "__openat_2");
  return DevicePath(path) ? OpenDevice(path, flags) : Opened(real(dir, path, flags));
}

extern "C" int __openat64_2(int dir, const char *path, int flags) {
  static OpenAt2Fn real = (OpenAt2Fn)dlsym(RTLD_NEXT, "__openat64_2");
  return DevicePath(path) ? OpenDevice(path, flags) : Opened(real(dir, path, flags));
}

// Forgotten before the real close, so a number reused at once by another
// thread's open is never taken for the drive.
extern "C" int close(int fd) {
  static CloseFn real = (CloseFn)dlsym(RTLD_NEXT, "close");
  {
    Guard guard;
    auto it = S().served.find(fd);
    if (it != S().served.end()) {
      Log("CLOSE " + it->second->config.name);
      S().served.erase(it);
    }
  }
  return real(fd);
}

// The lock itself is the backing file's; the call may block, so it runs
// outside this library's own lock.
extern "C" int flock(int fd, int operation) noexcept {
  static FlockFn real = (FlockFn)dlsym(RTLD_NEXT, "flock");
  std::string name;
  {
    Guard guard;
    auto it = S().served.find(fd);
    if (it != S().served.end()) name = it->second->config.name;
  }
  int result = real(fd, operation);
  if (!name.empty()) {
    int error = errno;
    Guard guard;
    Log(Format("FLOCK %s op=%d ", name.c_str(), operation) +
        (result == 0 ? "ok" : Format("err=%d", error)));
  }
  return result;
}

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
  static IoctlFn real = (IoctlFn)dlsym(RTLD_NEXT, "ioctl");
  va_list args;
  va_start(args, request);
  void *argument = va_arg(args, void *);
  va_end(args);
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  State &s = S();
  pthread_mutex_lock(&s.lock);
  auto it = s.served.find(fd);
  if (it == s.served.end()) {
    pthread_mutex_unlock(&s.lock);
    return real(fd, request, argument);
  }
  if (!s.quiet) Reload();
  vdrive::Drive *drive = it->second;
  const char *name = drive->config.name.c_str();
  sg_io_hdr_t *h = (sg_io_hdr_t *)argument;
  std::string line, outcome;
  Served served;
  if (request == SG_IO && h != nullptr) {
    // What the program handed over, before the drive changes anything.
    line = Format("SGIO %s dir=%s cdblen=%u len=%u timeout=%u", name,
                  DirectionName(DirectionOf(h->dxfer_direction)), h->cmd_len, h->dxfer_len, h->timeout);
    std::string cdb = h->cmdp != nullptr ? vdrive::Hex(h->cmdp, h->cmd_len) : "-";
    served = RunCommand(drive, h, &outcome);
    line += Format(" status=%u", h->status) +
            (served.hang ? std::string(" err=hang") : Format(" err=%d", served.error));
    if (served.error == 0 && !served.hang && h->host_status != 0) line += Format(" host=%u", h->host_status);
    line += " cdb=" + cdb;
  } else {
    served.error = request == SG_IO ? EFAULT : ENOTTY;
    line = Format("IOCTL %s request=%lX unsupported err=%d", name, request, served.error);
  }
  if (!s.quiet) {
    Log(line + outcome);
  } else if (outcome.find("\nFLASHED") != std::string::npos) {
    Log(outcome.substr(outcome.find("\nFLASHED") + 1));
  }
  pthread_mutex_unlock(&s.lock);
  if (served.hang) for (;;) pause();  // a drive that never answers; the test ends the process
  if (served.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(served.delayMs));
  if (served.error != 0) {
    errno = served.error;
    return -1;
  }
  h->duration = (unsigned)std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - started).count();
  return 0;
}
