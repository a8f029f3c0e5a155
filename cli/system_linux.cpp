// The command line on Linux: drives over SG_IO, interrupts by signal.
#include "cli/system.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "discovery/sr_scan.h"
#include "transport/sg_io.h"

static std::string Sentence(int error, const std::string &device) {
  if (error == EACCES || error == EPERM)
    return std::string(strerror(error)) + " (root or membership of the group that owns " + device +
           ", usually cdrom, is needed)";
  return strerror(error);
}

std::vector<ListedDrive> ListDrives(std::vector<std::string> *problems) {
  std::vector<UnreadableDevice> unreadable;
  std::vector<ListedDrive> drives;
  for (const FoundDrive &found : ScanOpticalDevices(&unreadable))
    drives.push_back({found.device, found.identity});
  for (const UnreadableDevice &device : unreadable)
    problems->push_back(device.device + ": " + Sentence(device.error, device.device));
  return drives;
}

namespace {

class LinuxDrive : public OpenedDrive {
 public:
  explicit LinuxDrive(int fd) : fd_(fd), link_(fd) {}
  ~LinuxDrive() override { close(fd_); }
  DriveLink &Link() override { return link_; }

 private:
  int fd_;
  SgIoLink link_;
};

}  // namespace

std::unique_ptr<OpenedDrive> OpenDriveForFlash(const std::string &device, OpenFailure *failure,
                                               std::string *why) {
  int fd = OpenScsiDevice(device.c_str(), true);
  if (fd < 0) {
    int error = errno;
    *failure = error == ENOENT || error == ENXIO || error == ENODEV ? OPEN_MISSING
             : error == EACCES || error == EPERM ? OPEN_DENIED : OPEN_FAILED;
    *why = Sentence(error, device);
    return nullptr;
  }
  // A second flash of the same drive, from any process, would interleave
  // its blocks with this one's.
  if (LockScsiDevice(fd) != 0) {
    int error = errno;
    close(fd);
    *failure = error == EWOULDBLOCK ? OPEN_BUSY : OPEN_FAILED;
    *why = error == EWOULDBLOCK ? "busy: another flashtool is using it" : Sentence(error, device);
    return nullptr;
  }
  return std::unique_ptr<OpenedDrive>(new LinuxDrive(fd));
}

std::string SystemErrorText(uint32_t code) { return strerror((int)code); }

bool InputIsTerminal() { return isatty(STDIN_FILENO) == 1; }
bool OutputIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

static volatile sig_atomic_t Requested;
static const int Caught[] = {SIGINT, SIGTERM, SIGHUP};

static void OnInterrupt(int signal) {
  if (Requested == 0) Requested = signal;
}

void CatchInterrupts() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = OnInterrupt;  // no SA_RESTART: a waiting prompt returns at once
  sigemptyset(&action.sa_mask);
  for (int signal : Caught) sigaction(signal, &action, nullptr);
}

int InterruptRequested() { return Requested; }

static sigset_t CaughtSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : Caught) sigaddset(&set, signal);
  return set;
}

// Blocked, not just caught: a signal handled during a request could cut the
// request short, and the drive would be left half-written.
void HoldInterrupts() {
  sigset_t set = CaughtSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool InterruptWaiting() {
  sigset_t pending;
  sigpending(&pending);
  for (int signal : Caught)
    if (sigismember(&pending, signal)) return true;
  return Requested != 0;
}

void ReleaseInterrupts() {
  sigset_t set = CaughtSet();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);  // what waited is handled now
}

void KeepSystemAwake(bool) {}
