#include "discovery/comeback.h"

Comeback::Comeback(const std::vector<SeenDrive> &before) {
  for (const SeenDrive &d : before) present_[d.key] = {d, 0};
}

int Comeback::Follow(const std::string &key, const std::string &port, const std::string &vendor,
                     const std::string &product, const std::string &serial) {
  std::lock_guard<std::mutex> hold(lock_);
  Followed f;
  f.key = key;
  f.port = port;
  f.vendor = vendor;
  f.product = product;
  f.serial = serial;
  followed_.push_back(f);
  return (int)followed_.size() - 1;
}

void Comeback::Look(const std::vector<SeenDrive> &now) {
  std::lock_guard<std::mutex> hold(lock_);
  ++look_;
  std::map<std::string, Present> next;
  for (const SeenDrive &d : now) {
    auto was = present_.find(d.key);
    next[d.key] = {d, was != present_.end() ? was->second.since : look_};
  }
  // A drive that left and came back at the same key is new all the same.
  present_.swap(next);
  for (Followed &f : followed_)
    if (f.leftAt < 0 && present_.count(f.key) == 0) f.leftAt = look_;
}

void Comeback::Left(int ticket) {
  std::lock_guard<std::mutex> hold(lock_);
  Followed &f = followed_[(size_t)ticket];
  if (f.leftAt < 0) f.leftAt = look_;
  // Its key, seen again from the next look on, is a new arrival.
  present_.erase(f.key);
}

// A field the system did not fill tells nothing apart.
static bool Agree(const std::string &a, const std::string &b) { return a.empty() || b.empty() || a == b; }

// A node first seen in the same look that first missed the drive may have
// come before it left: only a later one can be the drive.
bool Comeback::Fits(const Followed &f, const Present &p) const {
  return f.leftAt >= 0 && p.since > 0 && p.since > f.leftAt && Agree(f.port, p.drive.port) &&
         Agree(f.vendor, p.drive.vendor) && Agree(f.product, p.drive.product);
}

std::vector<SeenDrive> Comeback::Candidates(int ticket) {
  std::lock_guard<std::mutex> hold(lock_);
  const Followed &self = followed_[(size_t)ticket];
  std::vector<SeenDrive> candidates;
  for (const auto &entry : present_) {
    const Present &p = entry.second;
    bool taken = false;
    for (const Followed &other : followed_)
      taken |= &other != &self && (other.key == p.drive.key && (other.found || other.leftAt < 0));
    if (!taken && Fits(self, p)) candidates.push_back(p.drive);
  }
  return candidates;
}

bool Comeback::Shared(int ticket, const SeenDrive &candidate, const std::string &serial) {
  std::lock_guard<std::mutex> hold(lock_);
  auto at = present_.find(candidate.key);
  if (at == present_.end()) return false;
  for (size_t i = 0; i < followed_.size(); ++i) {
    const Followed &other = followed_[i];
    if ((int)i != ticket && !other.found && other.serial == serial && Fits(other, at->second)) return true;
  }
  return false;
}

void Comeback::Found(int ticket, const std::string &key) {
  std::lock_guard<std::mutex> hold(lock_);
  Followed &f = followed_[(size_t)ticket];
  f.found = true;
  f.key = key;
}
