// vdrive_preload.so: preloaded into the Linux program under test
// (LD_PRELOAD), it serves the SCSI generic requests sent to /dev/sr* and
// /dev/sg* paths from virtual drives, so that a test needs no drive, no cdrom
// group and no root, and the real machine's devices are never opened.
// Settings come from the file in FLASHTOOL_VDRIVE_CONFIG, whose sections are
// named by device path ("[drive /dev/sr0]"); every call is recorded in the
// journal file named by FLASHTOOL_VDRIVE_JOURNAL. FLASHTOOL_PRELOAD_DENIED
// lists, comma-separated, the device paths whose open fails with EACCES, as
// for a user outside the cdrom group, and the system files (under /sys)
// whose open for writing does, as for a user who is not root.
// With FLASHTOOL_VDRIVE_QUIET=1 (the benchmark) the drives answer without
// writing a line per command or rereading the configuration.
// FLASHTOOL_PRELOAD_ROOT names a folder that stands for the system's own
// files about drives: /sys, /run/flashtool and /proc/self/mountinfo are
// served (and made: mkdir) from there, so a test lays out sysfs links,
// media polling files and mounts as the kernel would.
// A drive's section may also name a tape, /dev/stN: a character node of the
// st driver (major 9) at a SCSI address, which takes whatever is written
// to it as a record (journal line TAPEWRITE) and, as the kernel does,
// passes SG_GET_VERSION_NUM on to the SCSI layer, which answers it.
// A drive that moves takes its SCSI address along in the test's sysfs:
// /sys/class/scsi_device/H:C:T:L leaves the old address and appears at the
// new node's.
// The sg driver is played as the kernel plays it: a request written to an
// sg node and its answer read are sent once; an SG_IO on an sg node that a
// stop interrupts is sent again, and one that a caught signal interrupts
// fails with EINTR after it was sent. A hanging drive answers after the
// request's own time-out with DID_TIME_OUT. Every request's journal line
// says which signals the program held while it was sent.

// The checked inline open() of fortified builds and the renames of 64-bit
// file offsets would clash with the definitions of the same names below.
#undef _FORTIFY_SOURCE
#undef _FILE_OFFSET_BITS

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <scsi/sg.h>
#include <sys/file.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vdrive/vdrive.h"

namespace {

using vdrive::Format;

enum : unsigned {
  MAX_CDB = 16,           // what the block layer passes on to an sr device
  DID_NO_CONNECT = 0x01,  // host_status: the adapter could not reach the device
  DID_TIME_OUT = 0x03,    // host_status: the command timed out
  SR_MAJOR = 11,
  SG_MAJOR = 21,
  ST_MAJOR = 9,
  SG_VERSION = 30536,     // what the sg driver of Linux 6.1 answers to SG_GET_VERSION_NUM
  STOP_GAP_MS = 250,      // a pause this long inside a command is a stop, not the scheduler
  DRIVER_SENSE = 0x08,    // driver_status: sense bytes were written
};

using OpenFn = int (*)(const char *, int, ...);
using OpenAtFn = int (*)(int, const char *, int, ...);
using Open2Fn = int (*)(const char *, int);
using OpenAt2Fn = int (*)(int, const char *, int);
using CloseFn = int (*)(int);
using IoctlFn = int (*)(int, unsigned long, ...);
using FlockFn = int (*)(int, int);

// What a descriptor of a device node stands for.
struct Node {
  vdrive::Drive *drive = nullptr;
  std::string path;       // the node it was opened at
  bool generic = false;   // an sg node
  bool writable = false;  // opened for writing: the sg driver takes requests only so
  // The sg driver's write/read interface: the answer of the request
  // written last, and when the drive gives it.
  bool answerWaiting = false;
  sg_io_hdr_t answer{};
  std::chrono::steady_clock::time_point answerAt;
};

struct State {
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  std::string configPath, journalPath, root;
  std::vector<std::string> denied;
  bool quiet = false;
  vdrive::DriveSet drives;
  std::map<int, Node> served;  // descriptor -> the node it stands for
  std::vector<vdrive::Drive *> moved;  // drives that now answer only at their moves_to node
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
  s->root = Environment("FLASHTOOL_PRELOAD_ROOT");
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

// Any path of these families is taken, named or not: the program must not
// reach a real device.
bool DevicePath(const char *path) {
  return path != nullptr && (strncmp(path, "/dev/sr", 7) == 0 || strncmp(path, "/dev/sg", 7) == 0 ||
                             strncmp(path, "/dev/st", 7) == 0);
}

bool Tape(const std::string &path) { return path.compare(0, 7, "/dev/st") == 0; }

bool Writing(int flags) { return (flags & O_ACCMODE) != O_RDONLY; }

// Drives on their way back under another address: each appears in sysfs a
// while after it left its own, as a restarting drive does.
enum { RESTART_MS = 1500 };
struct Arrival {
  std::chrono::steady_clock::time_point at;
  std::string target, link;
};
std::mutex ArrivalsLock;
std::vector<Arrival> Arrivals;

void ArriveDue() {
  std::lock_guard<std::mutex> hold(ArrivalsLock);
  for (size_t i = 0; i < Arrivals.size();) {
    if (std::chrono::steady_clock::now() < Arrivals[i].at) {
      ++i;
      continue;
    }
    symlink(Arrivals[i].target.c_str(), Arrivals[i].link.c_str());
    Arrivals.erase(Arrivals.begin() + (long)i);
  }
}

// A system file about drives, served from the test's root instead.
const char *Rerooted(const char *path, std::string *buffer) {
  if (path == nullptr || S().root.empty()) return path;
  if (strncmp(path, "/sys/", 5) == 0) ArriveDue();
  static const char *const prefixes[] = {"/sys/", "/run/flashtool", "/proc/self/mountinfo"};
  for (const char *prefix : prefixes)
    if (strncmp(path, prefix, strlen(prefix)) == 0) {
      *buffer = S().root + path;
      return buffer->c_str();
    }
  return path;
}

// An open for writing of a system file the test denies to this user.
bool DeniedWrite(const char *path, int flags) {
  if (path == nullptr || !Writing(flags) || strncmp(path, "/sys/", 5) != 0) return false;
  const std::vector<std::string> &denied = S().denied;
  if (std::find(denied.begin(), denied.end(), path) == denied.end()) return false;
  errno = EACCES;
  return true;
}

bool Moved(vdrive::Drive *drive) {
  return std::find(S().moved.begin(), S().moved.end(), drive) != S().moved.end();
}

// The drive a node path reaches now: a drive that moved answers only at
// its new node.
vdrive::Drive *DriveAt(const char *path) {
  for (vdrive::Drive *drive : S().moved)
    if (drive->config.movesTo == path) return drive;
  vdrive::Drive *drive = S().drives.Find(path);
  return drive != nullptr && drive->Present() && !Moved(drive) ? drive : nullptr;
}

bool Generic(const std::string &path) { return path.compare(0, 7, "/dev/sg") == 0; }

// Block nodes sr N are 11:N, sg nodes 21:N, tapes 9:N, as on Linux.
void DescribeNode(const std::string &path, struct stat *st) {
  memset(st, 0, sizeof *st);
  unsigned number = (unsigned)atoi(path.c_str() + 7);
  bool character = Generic(path) || Tape(path);
  st->st_mode = (character ? S_IFCHR : S_IFBLK) | 0660;
  st->st_rdev = makedev(Generic(path) ? SG_MAJOR : Tape(path) ? ST_MAJOR : SR_MAJOR, number);
  st->st_nlink = 1;
  st->st_blksize = 4096;
}

// stat() of a device path: 0 with `st` filled, or -1 with errno.
int StatDevice(const char *path, struct stat *st) {
  Guard guard;
  Reload();
  if (DriveAt(path) == nullptr) {
    errno = ENOENT;
    return -1;
  }
  DescribeNode(path, st);
  return 0;
}

bool TakesMode(int flags) { return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE; }

int OpenDevice(const char *path, int flags) {
  State &s = S();
  Guard guard;
  Reload();
  vdrive::Drive *drive = DriveAt(path);
  int fd = -1, error = 0;
  if (drive == nullptr) {
    error = ENOENT;
  } else if (std::find(s.denied.begin(), s.denied.end(), path) != s.denied.end()) {
    error = EACCES;
  } else if ((flags & O_EXCL) != 0 && !Generic(path) && !drive->config.mounted.empty()) {
    error = EBUSY;  // a mounted filesystem holds the block device
  } else {
    // A file of the test's own stands for the device: its descriptor is real,
    // so it never collides with one the program holds, and flock() on it
    // excludes other processes as it would on the device.
    std::string backing = s.configPath + "." + (strrchr(path, '/') + 1) + ".dev";
    fd = RealOpen()(backing.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
      error = errno;
    } else {
      Node node;
      node.drive = drive;
      node.path = path;
      node.generic = Generic(path);
      node.writable = Writing(flags);
      s.served[fd] = node;
    }
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
  if (direction == vdrive::DIR_OUT) h->resid = (int)r.residual;
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
  std::string b;
  va_list args;
  va_start(args, flags);
  mode_t mode = TakesMode(flags) ? va_arg(args, mode_t) : 0;
  va_end(args);
  if (DeniedWrite(path, flags)) return -1;
  return DevicePath(path) ? OpenDevice(path, flags) : Opened(RealOpen()(Rerooted(path, &b), flags, mode));
}

extern "C" int open64(const char *path, int flags, ...) {
  std::string b;
  static OpenFn real = (OpenFn)dlsym(RTLD_NEXT, "open64");
  va_list args;
  va_start(args, flags);
  mode_t mode = TakesMode(flags) ? va_arg(args, mode_t) : 0;
  va_end(args);
  if (DeniedWrite(path, flags)) return -1;
  return DevicePath(path) ? OpenDevice(path, flags) : Opened(real(Rerooted(path, &b), flags, mode));
}

extern "C" int openat(int dir, const char *path, int flags, ...) {
  std::string b;
  static OpenAtFn real = (OpenAtFn)dlsym(RTLD_NEXT, "openat");
  va_list args;
  va_start(args, flags);
  mode_t mode = TakesMode(flags) ? va_arg(args, mode_t) : 0;
  va_end(args);
  if (DeniedWrite(path, flags)) return -1;
  return DevicePath(path) ? OpenDevice(path, flags) : Opened(real(dir, Rerooted(path, &b), flags, mode));
}

extern "C" int openat64(int dir, const char *path, int flags, ...) {
  std::string b;
  static OpenAtFn real = (OpenAtFn)dlsym(RTLD_NEXT, "openat64");
  va_list args;
  va_start(args, flags);
  mode_t mode = TakesMode(flags) ? va_arg(args, mode_t) : 0;
  va_end(args);
  if (DeniedWrite(path, flags)) return -1;
  return DevicePath(path) ? OpenDevice(path, flags) : Opened(real(dir, Rerooted(path, &b), flags, mode));
}

extern "C" int __open_2(const char *path, int flags) {
  std::string b;
  static Open2Fn real = (Open2Fn)dlsym(RTLD_NEXT, "__open_2");
  return DevicePath(path) ? OpenDevice(path, flags) : Opened(real(Rerooted(path, &b), flags));
}

extern "C" int __open64_2(const char *path, int flags) {
  std::string b;
  static Open2Fn real = (Open2Fn)dlsym(RTLD_NEXT, "__open64_2");
  return DevicePath(path) ? OpenDevice(path, flags) : Opened(real(Rerooted(path, &b), flags));
}

extern "C" int __openat_2(int dir, const char *path, int flags) {
  std::string b;
  static OpenAt2Fn real = (OpenAt2Fn)dlsym(RTLD_NEXT, "__openat_2");
  return DevicePath(path) ? OpenDevice(path, flags) : Opened(real(dir, Rerooted(path, &b), flags));
}

extern "C" int __openat64_2(int dir, const char *path, int flags) {
  std::string b;
  static OpenAt2Fn real = (OpenAt2Fn)dlsym(RTLD_NEXT, "__openat64_2");
  return DevicePath(path) ? OpenDevice(path, flags) : Opened(real(dir, Rerooted(path, &b), flags));
}

// Forgotten before the real close, so a number reused at once by another
// thread's open is never taken for the drive.
extern "C" int close(int fd) {
  static CloseFn real = (CloseFn)dlsym(RTLD_NEXT, "close");
  {
    Guard guard;
    auto it = S().served.find(fd);
    if (it != S().served.end()) {
      Log("CLOSE " + it->second.drive->config.name);
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
    if (it != S().served.end()) name = it->second.drive->config.name;
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

namespace {

// The signals the calling thread holds, as numbers: "2,3,15".
std::string HeldSignals() {
  sigset_t held;
  pthread_sigmask(SIG_BLOCK, nullptr, &held);
  std::string list;
  for (int n = 1; n < 32; ++n)
    if (sigismember(&held, n)) list += (list.empty() ? "" : ",") + std::to_string(n);
  return list.empty() ? "-" : list;
}

// The SCSI address the test's sysfs gives a node: "2:0:0:0".
std::string AddressOf(const std::string &node) {
  std::string name = node.substr(5);
  std::string link = S().root + (Generic(node) ? "/sys/class/scsi_generic/" : "/sys/block/") + name + "/device";
  char target[512];
  static ssize_t (*real)(const char *, char *, size_t) =
      (ssize_t(*)(const char *, char *, size_t))dlsym(RTLD_NEXT, "readlink");
  ssize_t length = real(link.c_str(), target, sizeof target - 1);
  if (length <= 0) return "";
  target[length] = '\0';
  const char *slash = strrchr(target, '/');
  return slash != nullptr ? slash + 1 : target;
}

// A drive that restarts under another node leaves its SCSI address and
// appears at the new node's, when the test laid one out for it.
void MoveAddress(const std::string &from, const std::string &to) {
  if (S().root.empty()) return;
  std::string folder = S().root + "/sys/class/scsi_device/", old = AddressOf(from), now = AddressOf(to);
  if (!old.empty()) unlink((folder + old).c_str());
  std::lock_guard<std::mutex> hold(ArrivalsLock);
  if (!now.empty())
    Arrivals.push_back({std::chrono::steady_clock::now() + std::chrono::milliseconds(RESTART_MS),
                        "../../devices/" + now + "/scsi_device/" + now, folder + now});
}

// One request on a node's drive, its journal line written: what the
// program handed over, then what came of it. Called under the lock.
Served Serve(Node &node, sg_io_hdr_t *h, const char *how) {
  State &s = S();
  if (!s.quiet) Reload();
  const char *name = node.drive->config.name.c_str();
  std::string line = Format("SGIO %s dir=%s cdblen=%u len=%u timeout=%u", name,
                            DirectionName(DirectionOf(h->dxfer_direction)), h->cmd_len,
                            h->dxfer_len, h->timeout);
  std::string cdb = h->cmdp != nullptr ? vdrive::Hex(h->cmdp, h->cmd_len) : "-";
  std::string outcome;
  Served served;
  if (Moved(node.drive) && node.path != node.drive->config.movesTo) {
    served.error = ENODEV;  // the drive restarted under another node
  } else {
    served = RunCommand(node.drive, h, &outcome);
  }
  line += Format(" status=%u", h->status) +
          (served.hang ? std::string(" err=hang") : Format(" err=%d", served.error));
  if (served.error == 0 && !served.hang && h->host_status != 0) line += Format(" host=%u", h->host_status);
  line += std::string(" via=") + how + " held=" + HeldSignals() + " cdb=" + cdb;
  if (outcome.find("\nFLASHED") != std::string::npos && !node.drive->config.movesTo.empty() &&
      !Moved(node.drive)) {
    s.moved.push_back(node.drive);
    MoveAddress(node.drive->config.name, node.drive->config.movesTo);
    outcome += "\nMOVED " + node.drive->config.name + " to=" + node.drive->config.movesTo;
  }
  if (!s.quiet) {
    Log(line + outcome);
  } else if (outcome.find("\nFLASHED") != std::string::npos) {
    Log(outcome.substr(outcome.find("\nFLASHED") + 1));
  }
  // A drive that never answers: the host adapter gives up at the
  // request's own time-out, as the kernel's error handling does.
  if (served.hang) {
    served.delayMs = (int)h->timeout;
    h->host_status = DID_TIME_OUT;
    h->info |= SG_INFO_CHECK;
  }
  return served;
}

using Ms = std::chrono::milliseconds;

// Waits for a request in flight, outside the lock. A handler that runs in
// between ends the wait early with EINTR where `interruptible`; a stop of
// the process shows as a gap in time and answers true.
bool WaitInFlight(int delayMs, bool interruptible, bool *interrupted) {
  std::chrono::steady_clock::time_point until = std::chrono::steady_clock::now() + Ms(delayMs);
  std::chrono::steady_clock::time_point last = std::chrono::steady_clock::now();
  bool stopped = false;
  *interrupted = false;
  for (;;) {
    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    if (now - last > Ms(STOP_GAP_MS)) stopped = true;
    last = now;
    if (now >= until) return stopped;
    struct timespec step = {0, 5 * 1000 * 1000};
    if (nanosleep(&step, nullptr) != 0 && errno == EINTR && interruptible) {
      *interrupted = true;
      return stopped;
    }
  }
}

void Stamp(sg_io_hdr_t *h, std::chrono::steady_clock::time_point started) {
  h->duration = (unsigned)std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() - started).count();
}

}  // namespace

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
  Node &node = it->second;
  sg_io_hdr_t *h = (sg_io_hdr_t *)argument;
  if (request == SG_GET_VERSION_NUM && argument != nullptr) {
    *(int *)argument = SG_VERSION;
    pthread_mutex_unlock(&s.lock);
    return 0;
  }
  if (request != SG_IO || h == nullptr) {
    int error = request == SG_IO ? EFAULT : ENOTTY;
    if (!s.quiet)
      Log(Format("IOCTL %s request=%lX unsupported err=%d", node.drive->config.name.c_str(), request, error));
    pthread_mutex_unlock(&s.lock);
    errno = error;
    return -1;
  }
  bool generic = node.generic;
  Served served = Serve(node, h, "ioctl");
  sg_io_hdr_t copy = *h;
  pthread_mutex_unlock(&s.lock);
  if (served.delayMs > 0) {
    // The block layer waits without interruption; the sg driver does not.
    bool interrupted = false;
    bool stopped = WaitInFlight(served.delayMs, generic, &interrupted);
    if (generic && interrupted) {
      errno = EINTR;  // the command is with the drive all the same
      return -1;
    }
    if (generic && stopped) {
      // The kernel restarts the interrupted ioctl, which sends the command again.
      Guard guard;
      auto again = s.served.find(fd);
      if (again != s.served.end()) {
        *h = copy;
        served = Serve(again->second, h, "ioctl-restarted");
      }
    }
  }
  if (served.error != 0) {
    errno = served.error;
    return -1;
  }
  Stamp(h, started);
  return 0;
}

// The sg driver's own interface: a request written is sent at once, and
// read() brings its answer when the drive gives it.
extern "C" ssize_t write(int fd, const void *buffer, size_t count) {
  static ssize_t (*real)(int, const void *, size_t) =
      (ssize_t(*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
  State &s = S();
  Guard guard;
  auto it = s.served.find(fd);
  if (it != s.served.end() && Tape(it->second.path)) {
    Log(Format("TAPEWRITE %s len=%zu", it->second.path.c_str(), count));
    return (ssize_t)count;  // a record on tape, whatever it held
  }
  if (it == s.served.end() || !it->second.generic) return real(fd, buffer, count);
  Node &node = it->second;
  if (!node.writable) {
    errno = EBADF;  // as write() on any descriptor opened read-only
    return -1;
  }
  if (count < sizeof(sg_io_hdr_t) || ((const sg_io_hdr_t *)buffer)->interface_id != 'S') {
    errno = EINVAL;
    return -1;
  }
  if (node.answerWaiting) {
    errno = EAGAIN;  // one request at a time is all this program ever sends
    return -1;
  }
  sg_io_hdr_t h = *(const sg_io_hdr_t *)buffer;
  Served served = Serve(node, &h, "write");
  if (served.error != 0) {
    errno = served.error;
    return -1;
  }
  node.answer = h;
  node.answerWaiting = true;
  node.answerAt = std::chrono::steady_clock::now() + Ms(served.delayMs);
  return (ssize_t)count;
}

// The sg driver's descriptor is readable once the answer is there: a
// program that waits for it with a time-out of its own may give up first.
extern "C" int poll(struct pollfd *fds, nfds_t count, int timeoutMs) {
  static int (*real)(struct pollfd *, nfds_t, int) = (int (*)(struct pollfd *, nfds_t, int))dlsym(RTLD_NEXT, "poll");
  State &s = S();
  std::chrono::steady_clock::time_point at;
  {
    Guard guard;
    auto it = count == 1 ? s.served.find(fds[0].fd) : s.served.end();
    if (it == s.served.end() || !it->second.generic || !it->second.answerWaiting) return real(fds, count, timeoutMs);
    at = it->second.answerAt;
  }
  // Whole milliseconds, rounded up: the answer is there when the wait ends.
  int left = (int)std::chrono::duration_cast<Ms>(at - std::chrono::steady_clock::now()).count() + 1;
  bool interrupted = false;
  bool answered = timeoutMs < 0 || timeoutMs >= left;
  WaitInFlight(answered ? left : timeoutMs, true, &interrupted);
  if (interrupted) {
    errno = EINTR;
    return -1;
  }
  bool ready = answered || std::chrono::steady_clock::now() >= at;
  fds[0].revents = ready ? POLLIN : 0;
  return ready ? 1 : 0;
}

extern "C" ssize_t read(int fd, void *buffer, size_t count) {
  static ssize_t (*real)(int, void *, size_t) = (ssize_t(*)(int, void *, size_t))dlsym(RTLD_NEXT, "read");
  State &s = S();
  std::chrono::steady_clock::time_point at;
  {
    Guard guard;
    auto it = s.served.find(fd);
    if (it == s.served.end() || !it->second.generic) return real(fd, buffer, count);
    if (!it->second.answerWaiting) {
      errno = EAGAIN;
      return -1;
    }
    at = it->second.answerAt;
  }
  int left = (int)std::chrono::duration_cast<Ms>(at - std::chrono::steady_clock::now()).count();
  bool interrupted = false;
  if (left > 0) WaitInFlight(left, true, &interrupted);
  if (interrupted) {
    errno = EINTR;  // only the wait ends: the answer stays for the next read
    return -1;
  }
  Guard guard;
  auto it = s.served.find(fd);
  if (it == s.served.end() || count < sizeof(sg_io_hdr_t)) {
    errno = EINVAL;
    return -1;
  }
  memcpy(buffer, &it->second.answer, sizeof(sg_io_hdr_t));
  it->second.answerWaiting = false;
  return (ssize_t)sizeof(sg_io_hdr_t);
}

// Device paths exist as the drives say; the system's files about drives
// come from the test's root.
extern "C" int stat(const char *path, struct stat *st) noexcept {
  static int (*real)(const char *, struct stat *) = (int (*)(const char *, struct stat *))dlsym(RTLD_NEXT, "stat");
  std::string b;
  return DevicePath(path) ? StatDevice(path, st) : real(Rerooted(path, &b), st);
}

extern "C" int stat64(const char *path, struct stat64 *st) noexcept {
  static int (*real)(const char *, struct stat64 *) =
      (int (*)(const char *, struct stat64 *))dlsym(RTLD_NEXT, "stat64");
  std::string b;
  return DevicePath(path) ? StatDevice(path, (struct stat *)st) : real(Rerooted(path, &b), st);
}

extern "C" int fstat(int fd, struct stat *st) noexcept {
  static int (*real)(int, struct stat *) = (int (*)(int, struct stat *))dlsym(RTLD_NEXT, "fstat");
  {
    Guard guard;
    auto it = S().served.find(fd);
    if (it != S().served.end()) {
      DescribeNode(it->second.path, st);
      return 0;
    }
  }
  return real(fd, st);
}

extern "C" int fstat64(int fd, struct stat64 *st) noexcept { return fstat(fd, (struct stat *)st); }

extern "C" int access(const char *path, int mode) noexcept {
  static int (*real)(const char *, int) = (int (*)(const char *, int))dlsym(RTLD_NEXT, "access");
  if (DevicePath(path)) {
    struct stat st;
    return StatDevice(path, &st);
  }
  std::string b;
  return real(Rerooted(path, &b), mode);
}

extern "C" ssize_t readlink(const char *path, char *target, size_t size) noexcept {
  static ssize_t (*real)(const char *, char *, size_t) =
      (ssize_t(*)(const char *, char *, size_t))dlsym(RTLD_NEXT, "readlink");
  std::string b;
  return real(Rerooted(path, &b), target, size);
}

// Folders of the system's files about drives (/sys/class/scsi_device) are
// listed from the test's root too.
extern "C" DIR *opendir(const char *path) {
  static DIR *(*real)(const char *) = (DIR * (*)(const char *)) dlsym(RTLD_NEXT, "opendir");
  std::string b;
  return real(Rerooted(path, &b));
}

extern "C" int mkdir(const char *path, mode_t mode) {
  static int (*real)(const char *, mode_t) = (int (*)(const char *, mode_t))dlsym(RTLD_NEXT, "mkdir");
  std::string b;
  return real(Rerooted(path, &b), mode);
}
