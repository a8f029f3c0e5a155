// What Linux knows of an optical drive besides its commands: which device
// nodes belong to it (one SCSI address H:C:T:L in sysfs, shared by its sr
// and sg nodes), the lock that flashes and listings of it share, the
// kernel's media polling of it, and where a disc of it is mounted.
#ifndef FLASHTOOL_TRANSPORT_DRIVE_NODE_H
#define FLASHTOOL_TRANSPORT_DRIVE_NODE_H

#include <cerrno>
#include <string>
#include <vector>

enum NodeKind { NODE_OTHER, NODE_BLOCK, NODE_CHARACTER };

struct DeviceNode {
  NodeKind kind = NODE_OTHER;
  unsigned major = 0, minor = 0;
};

// What `path` is, following links: 0, or -1 with errno.
int InspectNode(const char *path, DeviceNode *node);
// The same of an open descriptor.
int InspectDescriptor(int fd, DeviceNode *node);
// Whether an errno says the node, or the device behind it, is not there.
inline bool NodeMissing(int error) { return error == ENOENT || error == ENXIO || error == ENODEV; }

enum { SR_MAJOR = 11, SG_MAJOR = 21 };

// The kernel's own name of the device behind a node ("sr0", "sg1"), by its
// device number, whatever the node or the link to it is called; empty when
// sysfs does not say.
std::string KernelName(const DeviceNode &node);
// Whether the kernel says a character node is the sg driver's: by its major
// number or its subsystem in sysfs. A tape (st, nst) or a changer has a
// SCSI address too, and a request written to it would be a record on tape.
bool IsGenericNode(const DeviceNode &node);

// The SCSI address ("1:0:0:0") of a device node; empty when sysfs does not
// say (no sysfs, not a SCSI device).
std::string ScsiAddressOf(const DeviceNode &node);
// The node of each family at that address: "/dev/sg1"; empty when none
// (the sr or sg driver not bound to the device).
std::string GenericNodeAt(const std::string &address);
std::string CdromNodeAt(const std::string &address);

// Every SCSI device the kernel has now, by address, from sysfs: nothing is
// sent to a drive.
std::vector<std::string> ScsiAddresses();
// Where a SCSI device is plugged in: its path in sysfs up to its host (the
// USB port, the host adapter), which stays the same when the device comes
// back under another host number; empty when sysfs does not say.
std::string PortOf(const std::string &address);
// What the kernel read of the device when it appeared (stale after a
// flash: the revision may have changed since): peripheral device type,
// vendor, model and revision, blanks at the end removed; false when sysfs
// does not say.
struct SysfsDevice {
  int type = -1;
  std::string vendor, model, revision;
};
bool SysfsIdentity(const std::string &address, SysfsDevice *device);
// The bus the device is reached by, from its path in sysfs: "usb", "ata",
// "firewire", "iscsi", else "scsi"; empty when sysfs does not say.
std::string BusOf(const std::string &address);

// The lock of one drive, by address: flock on its sg node (its sr node
// when it has none), exclusive for a flash, shared for asking it. Answers
// the lock's descriptor, or -1 with errno (EWOULDBLOCK: held by another
// process; an exclusive lock waits up to LISTING_HOLD_MS for a listing to
// let go).
enum { LISTING_HOLD_MS = 1000 };
int LockDrive(const std::string &address, bool exclusive);
// Whether a process holds a lock on the node at `path` now, by the kernel's
// table of locks: nothing is opened.
bool NodeLockedNow(const std::string &path);

// Mount point of a filesystem on the block device, "" when none is mounted.
std::string MountPointOf(const DeviceNode &node);

// The kernel polls a removable drive for disc changes by itself, and its
// commands would come between two blocks, or reach a drive that programs
// its flash after the last one and have it reset. Off switches it off for
// the drive srN, where the kernel has the setting; only Restore puts the old
// value back: a run that ends without the drive answering leaves it off,
// kept under /run for a later run to put back once the drive answers.
class MediaPolling {
 public:
  MediaPolling() = default;
  MediaPolling(const MediaPolling &) = delete;
  MediaPolling &operator=(const MediaPolling &) = delete;
  // 1 off, 0 when the kernel does not poll it, -1 with errno when it could
  // not be changed. The old value is kept under /run for a run that ends
  // before it can put it back (by the drive's `address`).
  int Off(const std::string &srName, const std::string &address);
  // The same answer without changing anything: 1 when Off could switch it
  // off, 0 when there is nothing to switch off, -1 with errno when the
  // setting cannot be written (not root).
  static int Check(const std::string &srName);
  // The old value back, if srN is still the node of the drive's address.
  void Restore();
  bool IsOff() const { return !path_.empty(); }

 private:
  std::string srName_, path_, old_, address_;
};

// Puts back the polling that an earlier run left off for the drive at
// `address`, which answered just now, unless a flash holds it; as root, the
// only one who may change it.
void RestoreLeftPolling(const std::string &address);

#endif
