// Following a drive that restarts after a flash: a USB drive, or one that
// leaves its bus to start its new firmware, comes back under another node.
// The node taken for it must be the flashed drive or none: not an idle
// twin on the same bench, not another drive of the same run. Portable: the
// system tells what is there, this keeps the looks and decides.
#ifndef FLASHTOOL_DISCOVERY_COMEBACK_H
#define FLASHTOOL_DISCOVERY_COMEBACK_H

#include <map>
#include <mutex>
#include <string>
#include <vector>

// A drive as the system knows it without asking the drive.
struct SeenDrive {
  std::string key;              // the same for every node of one drive (its SCSI address)
  std::string node;             // where to open it
  std::string generic;          // where to ask it without the system's own commands; may be empty
  std::string port;             // where it is plugged in; empty when unknown
  std::string vendor, product;  // empty when the system does not say
};

// Shared by every drive of one run, from any thread.
class Comeback {
 public:
  // What is there before the first block of any drive of the run.
  explicit Comeback(const std::vector<SeenDrive> &before);
  // A flashed drive to look for: its key and port before the flash, what
  // it said it is. Answers its ticket.
  int Follow(const std::string &key, const std::string &port, const std::string &vendor,
             const std::string &product, const std::string &serial);
  // What is there now; looked at about once a second while drives are
  // followed. A drive of the run whose key is not there has left.
  void Look(const std::vector<SeenDrive> &now);
  // The drive's node said it is gone, whatever the last look showed.
  void Left(int ticket);
  // Nodes that may be the drive: absent before the flash and appeared
  // since it left, not taken by another drive of the run, at its port and
  // of its vendor and product where the system says.
  std::vector<SeenDrive> Candidates(int ticket);
  // Whether a candidate that said `serial` might as well be another
  // drive of the run that is still looked for.
  bool Shared(int ticket, const SeenDrive &candidate, const std::string &serial);
  // The drive answered at `key`: no other drive of the run takes it.
  void Found(int ticket, const std::string &key);

 private:
  struct Followed {
    std::string key, port, vendor, product, serial;
    long leftAt = -1;  // the look that first missed it
    bool found = false;
  };
  struct Present {
    SeenDrive drive;
    long since;  // the look that first saw it; 0: there before the flash
  };
  bool Fits(const Followed &f, const Present &p) const;

  std::mutex lock_;
  long look_ = 0;
  std::map<std::string, Present> present_;
  std::vector<Followed> followed_;
};

#endif
