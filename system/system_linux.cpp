// The system's part on Linux: drives over SG_IO, claimed against every other
// user for a flash; interrupts by signal.
#include "system/system.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/shown.h"
#include "discovery/sr_scan.h"
#include "transport/drive_node.h"
#include "transport/sg_io.h"

static std::string Sentence(int error, const std::string &device) {
  if (error == EACCES || error == EPERM)
    return std::string(strerror(error)) + " (root or membership of the group that owns " + device +
           ", usually cdrom, is needed)";
  return strerror(error);
}

// The kernel lets only root change a drive's settings in sysfs.
static std::string SettingSentence(int error) {
  if (error == EACCES || error == EPERM) return std::string(strerror(error)) + " (only root may change it)";
  return strerror(error);
}

static const char BusyFlashing[] = "busy: another flashtool is flashing this drive";

std::vector<ListedDrive> ListDrives(std::vector<std::string> *left) {
  std::vector<ListedDrive> drives;
  std::vector<FoundDrive> others;
  for (const FoundDrive &found : ScanOpticalDevices(false, &others)) {
    ListedDrive drive;
    drive.device = found.device;
    drive.genericDevice = found.generic;
    drive.address = found.address;
    drive.bus = found.bus;
    drive.identity = found.identity;
    drive.identityKnown = true;
    if (found.error == EWOULDBLOCK) drive.error = BusyFlashing;
    else if (found.error == ETIMEDOUT) drive.error = "does not answer";
    else if (found.error == NOT_ASKED_NO_SG) {
      // The kernel's copy of the revision is from before any flash since.
      drive.identity.revision[0] = '\0';
      drive.note = "not asked: it has no sg node (modprobe sg), and opening " + found.device +
                   " would have the kernel send it commands; shown as the kernel saw it";
    }
    else if (found.error != 0) drive.error = Sentence(found.error, found.generic.empty() ? found.device : found.generic);
    // It answered, and nothing holds it: what an earlier run left off comes back.
    if (found.error == 0) RestoreLeftPolling(found.address);
    drives.push_back(drive);
  }
  for (const FoundDrive &other : others)
    if (left != nullptr)
      left->push_back(other.device + ": the kernel took it for a CD/DVD drive, but it answers " +
                      (other.identity.qualifier != 0
                           ? "that its unit is not connected (peripheral qualifier " +
                                 std::to_string(other.identity.qualifier) + ")"
                           : "as device type " + std::to_string(other.identity.deviceType)));
  return drives;
}

bool DrivesHaveNodes() { return true; }

namespace {

// Everything a flash holds of one drive, let go in the destructor: the
// lock, the claim of its block node, the descriptor the commands go
// through, and the kernel's media polling.
class LinuxDrive : public OpenedDrive {
 public:
  LinuxDrive(int fd, bool generic, int claim, int lock, const std::string &srName,
             const std::string &device, const std::string &address)
      : fd_(fd), claim_(claim), lock_(lock), link_(fd, generic), srName_(srName), device_(device),
        address_(address) {}
  // The polling is the run's to put back (PollingBack), never this one's:
  // a drive may be writing its firmware when its run ends.
  ~LinuxDrive() override {
    close(fd_);
    if (claim_ >= 0) close(claim_);
    if (lock_ >= 0) close(lock_);
  }
  DriveLink &Link() override { return link_; }
  std::string PollingProblem() override {
    if (srName_.empty() || MediaPolling::Check(srName_) >= 0) return "";
    return std::string("the kernel's media polling of ") + srName_ + " cannot be switched off: " +
           SettingSentence(errno);
  }
  std::string PollingOff() override {
    if (srName_.empty() || polling_.Off(srName_, address_) >= 0) return "";
    return "the kernel's media polling of " + srName_ + " stays on: " + SettingSentence(errno);
  }
  void PollingBack() override { polling_.Restore(); }
  bool PollingIsOff() const override { return polling_.IsOff(); }
  bool Gone(const CommandResult &answer) override {
    if (answer.kind == CommandResult::SYSTEM_ERROR && NodeMissing((int)answer.systemError)) return true;
    if (!address_.empty() && access(("/sys/class/scsi_device/" + address_).c_str(), F_OK) != 0) return true;
    return access(device_.c_str(), F_OK) != 0;
  }
  std::string Address() const override { return address_; }

 private:
  int fd_, claim_, lock_;
  SgIoLink link_;
  std::string srName_, device_, address_;
  MediaPolling polling_;
};

OpenFailure FailureOf(int error) {
  return NodeMissing(error) ? OPEN_MISSING
       : error == EACCES || error == EPERM ? OPEN_DENIED
       : error == EBUSY || error == EWOULDBLOCK ? OPEN_BUSY : OPEN_FAILED;
}

// A word as a shell reads it back: as it is when it holds nothing the
// shell would split or expand, else in single quotes (an automounted
// disc's folder is named after its label, blanks and all).
std::string ShellWord(const std::string &word) {
  if (!word.empty() && word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                              "0123456789/._-+:,=@%") == std::string::npos)
    return word;
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Why the block node of a drive cannot be claimed; a mounted disc is said
// as such (`failure`).
std::string ClaimRefused(int error, const std::string &srNode, OpenFailure *failure) {
  *failure = FailureOf(error);
  if (error != EBUSY) return Sentence(error, srNode);
  DeviceNode node;
  std::string point = InspectNode(srNode.c_str(), &node) == 0 ? MountPointOf(node) : "";
  if (!point.empty()) {
    *failure = OPEN_MOUNTED;
    return "busy: its disc is mounted at " + point + "; unmount it (umount " + ShellWord(point) +
           ", or udisksctl unmount -b " + srNode + " on a desktop) and try again";
  }
  return "busy: another program holds " + srNode + " for itself; close it and try again";
}

// A block device of a SCSI device (by its address in sysfs, or by the
// major number of CD-ROM nodes where sysfs is not there to ask), or the sg
// driver's node of one. No other character node: a tape would take a
// request as a record.
bool IsDriveNode(const DeviceNode &node, const std::string &address) {
  if (node.kind == NODE_CHARACTER) return IsGenericNode(node);
  return node.kind == NODE_BLOCK && (!address.empty() || node.major == SR_MAJOR);
}

const char NotADrive[] = "not a drive: a drive is a device node such as /dev/sr0 or /dev/sg1";

}  // namespace

std::unique_ptr<OpenedDrive> OpenDriveForFlash(const std::string &device, OpenFailure *failure,
                                               std::string *why) {
  auto refuse = [&](OpenFailure kind, const std::string &sentence) {
    *failure = kind;
    *why = sentence;
    return std::unique_ptr<OpenedDrive>();
  };
  DeviceNode node;
  if (InspectNode(device.c_str(), &node) != 0) return refuse(FailureOf(errno), Sentence(errno, device));
  std::string address = ScsiAddressOf(node);
  if (!IsDriveNode(node, address))
    return refuse(OPEN_NOT_A_DEVICE, std::string(NotADrive) + " (is DEVICE before IMAGE?)");

  // One lock per drive, whichever of its nodes is named: flashes and
  // listings of it through its sr and its sg node exclude each other.
  int lock = -1;
  if (!address.empty()) {
    lock = LockDrive(address, true);
    if (lock < 0) {
      int error = errno;
      std::string node = GenericNodeAt(address).empty() ? CdromNodeAt(address) : GenericNodeAt(address);
      return refuse(FailureOf(error), error == EWOULDBLOCK ? BusyFlashing : Sentence(error, node.empty() ? device : node));
    }
  }
  auto letGo = [&](int fd) {
    if (fd >= 0) close(fd);
    if (lock >= 0) close(lock);
  };

  // The block node is claimed with O_EXCL: a mounted disc and any other
  // exclusive user refuse the flash, and nobody mounts the disc during it.
  bool generic = node.kind == NODE_CHARACTER;  // the sg driver's; a disk's sd node is a block one
  std::string kernelName = KernelName(node);
  std::string srNode = generic ? CdromNodeAt(address) : kernelName.empty() ? device : "/dev/" + kernelName;
  int claim = -1;
  if (generic && !srNode.empty()) {
    claim = OpenScsiDevice(srNode.c_str(), false, true);
    if (claim < 0) {
      int error = errno;
      letGo(-1);
      OpenFailure kind;
      std::string why = ClaimRefused(error, srNode, &kind);
      return refuse(kind, why);
    }
  }
  int fd = OpenScsiDevice(device.c_str(), true, !generic);
  if (fd < 0) {
    int error = errno;
    letGo(claim);
    OpenFailure kind = FailureOf(error);
    std::string why = generic ? Sentence(error, device) : ClaimRefused(error, device, &kind);
    return refuse(kind, why);
  }
  // The node opened must be the one inspected, not one put in its place.
  DeviceNode opened;
  if (InspectDescriptor(fd, &opened) != 0 || opened.kind != node.kind ||
      opened.major != node.major || opened.minor != node.minor) {
    letGo(claim);
    close(fd);
    return refuse(OPEN_FAILED, "it changed while it was opened");
  }
  // The kernel's word on the node itself, before anything is written to it.
  if (generic && !AnswersAsGeneric(fd)) {
    letGo(claim);
    close(fd);
    return refuse(OPEN_NOT_A_DEVICE, std::string(NotADrive) + "; the sg driver does not answer on it");
  }
  // Named by its sr node, the drive is claimed there and asked through its
  // sg node where it has one: a question there can be left to the kernel
  // when the wait for it must end, where SG_IO on the sr node waits it out.
  std::string sgNode = generic || address.empty() ? "" : GenericNodeAt(address);
  if (!sgNode.empty()) {
    int sg = OpenScsiDevice(sgNode.c_str(), true);
    DeviceNode sgOpened;
    if (sg >= 0 && InspectDescriptor(sg, &sgOpened) == 0 && IsGenericNode(sgOpened) &&
        ScsiAddressOf(sgOpened) == address && AnswersAsGeneric(sg)) {
      claim = fd;
      fd = sg;
      generic = true;
    } else if (sg >= 0) {
      close(sg);
    }
  }
  // Without sysfs there is no address: the node itself carries the lock.
  if (lock < 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int error = errno;
    letGo(claim);
    close(fd);
    return refuse(FailureOf(error), error == EWOULDBLOCK ? BusyFlashing : Sentence(error, device));
  }
  std::string srName = srNode.empty() ? "" : srNode.substr(srNode.rfind('/') + 1);
  return std::unique_ptr<OpenedDrive>(
      new LinuxDrive(fd, generic, claim, lock, srName, device, address));
}

DriveName NameDrive(const std::string &device) {
  DeviceNode node;
  if (InspectNode(device.c_str(), &node) != 0) return {device, ""};
  std::string address = ScsiAddressOf(node);
  if (!IsDriveNode(node, address)) return {device, ""};
  std::string name = KernelName(node);
  char number[48];
  snprintf(number, sizeof number, "%s %u:%u", node.kind == NODE_BLOCK ? "block" : "char", node.major,
           node.minor);
  return {name.empty() ? device : "/dev/" + name, address.empty() ? number : address};
}

std::vector<SeenDrive> PresentDrives() { return SeenDrives(); }

bool AskPresentDrive(const SeenDrive &drive, DriveIdentity *identity, std::string *serial) {
  // Another flash's drive is not asked: it may be programming its flash.
  int lock = LockDrive(drive.key, false);
  if (lock < 0 && errno == EWOULDBLOCK) return false;
  int error = 0;
  bool answered = InquireDevice(drive.generic.empty() ? drive.node : drive.generic, identity, serial, &error) != 0;
  if (lock >= 0) close(lock);
  return answered;
}

std::string PortOfDrive(const std::string &key) { return PortOf(key); }

DriveDescription DescribeDrive(const std::string &device) {
  DriveDescription d;
  d.device = device;
  DeviceNode node;
  if (InspectNode(device.c_str(), &node) != 0) {
    d.failure = FailureOf(errno);
    d.error = Sentence(errno, device);
    return d;
  }
  d.address = ScsiAddressOf(node);
  if (!IsDriveNode(node, d.address)) {
    d.failure = OPEN_NOT_A_DEVICE;
    d.error = NotADrive;
    return d;
  }
  d.genericDevice = node.kind == NODE_CHARACTER ? device : GenericNodeAt(d.address);
  std::string srNode = node.kind == NODE_CHARACTER ? CdromNodeAt(d.address) : "";
  if (!srNode.empty()) d.device = srNode;
  int lock = d.address.empty() ? -1 : LockDrive(d.address, false);
  if (lock < 0 && errno == EWOULDBLOCK) {
    d.busy = true;
    return d;
  }
  int error = 0;
  // Through the sg node where there is one: the kernel sends nothing of its own then.
  std::string asked = d.genericDevice.empty() ? device : d.genericDevice;
  if (!InquireDevice(asked, &d.identity, &d.serial, &error)) {
    d.failure = error == ENOTTY ? OPEN_NOT_A_DEVICE : FailureOf(error);
    d.error = error == ENOTTY ? std::string(NotADrive) + "; the sg driver does not answer on it"
            : error == ETIMEDOUT ? "does not answer"
                                 : Sentence(error, asked);
  } else if (!d.address.empty()) {
    // It answers, and the lock keeps flashes away: what an earlier run
    // left off comes back now.
    RestoreLeftPolling(d.address);
  }
  if (lock >= 0) close(lock);
  return d;
}

// The log file for appending, or -1 with the reason. Read too: the file's
// last byte tells whether its last line was ended. A service log may sit in
// a folder others write to, and root runs this: a link planted there would
// make root append to a file of its own choosing.
static int OpenForAppending(const std::string &path, std::string *why) {
  int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0) {
    // The kernel refuses another user's link in a sticky folder with EACCES
    // before O_NOFOLLOW's ELOOP: either way, say what it is.
    int error = errno;
    struct stat link;
    bool isLink = lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
    *why = isLink ? "it is a symbolic link; name the file itself" : strerror(error);
    return -1;
  }
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink > 1) {
    *why = S_ISREG(status.st_mode) ? "it has other hard links; name a file of its own"
                                   : "not a regular file";
    close(fd);
    return -1;
  }
  return fd;
}

bool CanAppend(const std::string &path, std::string *why) {
  int fd = OpenForAppending(path, why);
  if (fd < 0) return false;
  close(fd);
  return true;
}

bool AppendLine(const std::string &path, const std::string &line, std::string *why) {
  int fd = OpenForAppending(path, why);
  if (fd < 0) return false;
  std::string text = line + "\n";
  struct stat status;
  char last = '\n';
  if (fstat(fd, &status) == 0 && status.st_size > 0 && pread(fd, &last, 1, status.st_size - 1) == 1 &&
      last != '\n')
    text = "\n" + text;
  bool written = write(fd, text.data(), text.size()) == (ssize_t)text.size();
  if (!written) *why = errno != 0 ? strerror(errno) : "short write";
  if (written && fsync(fd) != 0 && errno != EINVAL) {
    *why = strerror(errno);
    written = false;
  }
  close(fd);
  return written;
}

std::string Sha256Hex(const uint8_t *data, size_t size) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data, size, digest, &length, EVP_sha256(), nullptr) != 1) return "";
  return HexBytes(digest, length, "%02x");
}

std::string HostName() {
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

std::string SystemErrorText(uint32_t code) { return strerror((int)code); }

bool InputIsTerminal() { return isatty(STDIN_FILENO) == 1; }
bool OutputIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

size_t OutputColumns() {
  struct winsize size;
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 40) return size.ws_col;
  return 80;
}
bool MessagesAreTerminal() { return isatty(STDERR_FILENO) == 1; }

size_t MessagesColumns() {
  struct winsize size;
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 40) return size.ws_col;
  return 80;
}
const char *ProgressNote() { return ""; }

static volatile sig_atomic_t Requested;
// Everything a terminal or a session manager sends to end or stop a
// program; SIGKILL and SIGSTOP cannot be held, which is why a request on
// the sg driver never goes through SG_IO.
static const int Caught[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU};

static sigset_t CaughtSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : Caught) sigaddset(&set, signal);
  return set;
}

static void OnInterrupt(int signal) {
  if (Requested == 0) Requested = signal;
}

void CatchInterrupts() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = OnInterrupt;  // no SA_RESTART: a waiting prompt returns at once
  sigemptyset(&action.sa_mask);
  for (int signal : Caught) sigaction(signal, &action, nullptr);
  // A reader that went away (| head, a quit pager) must not end a flash:
  // writes fail instead, and the outcome says so.
  signal(SIGPIPE, SIG_IGN);
}

int InterruptRequested() { return Requested; }

// Interrupts are let in only inside ppoll(), so one that comes at any
// moment before it ends the wait instead of being missed by it.
bool AwaitInput() {
  sigset_t caught = CaughtSet(), before;
  pthread_sigmask(SIG_BLOCK, &caught, &before);
  bool ready = false;
  while (Requested == 0) {
    struct pollfd input = {STDIN_FILENO, POLLIN, 0};
    int answer = ppoll(&input, 1, nullptr, &before);
    if (answer > 0) {
      ready = true;
      break;
    }
    if (answer < 0 && errno != EINTR) break;
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return ready && Requested == 0;
}

std::string InterruptName(int interrupt) {
  const char *name = sigabbrev_np(interrupt);
  return name != nullptr ? std::string("SIG") + name : "signal " + std::to_string(interrupt);
}

// Blocked, not just caught: a signal handled during a request could cut the
// request short, and the drive would be left half-written.
void HoldInterrupts() {
  sigset_t set = CaughtSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int InterruptHeld() {
  sigset_t pending;
  sigpending(&pending);
  for (int signal : Caught)
    if (sigismember(&pending, signal)) return signal;
  return 0;
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
