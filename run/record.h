// The record of one run of a command, for a shop's service log (--log, as
// JSON Lines) and for bench scripts (--json). Portable.
#ifndef FLASHTOOL_RUN_RECORD_H
#define FLASHTOOL_RUN_RECORD_H

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/inquiry.h"
#include "core/scsi.h"

struct DriveFacts {
  bool known = false;  // the drive said what it is
  DriveIdentity identity;
  std::string serial;
};

struct BlockFact {
  int index;
  double milliseconds;
  std::string outcome;  // "ok", or why it failed
};

struct RunRecord {
  std::string started, ended;  // ISO 8601, UTC
  std::string host, version, command;
  std::string device, address;  // as named, and the SCSI address where the system says
  DriveFacts before, after;
  std::string afterDevice;      // where the drive answered after the flash
  bool imageRead = false;
  std::string imagePath, sha256;
  uint64_t imageSize = 0;
  int blocks = 0;
  uint16_t checksum = 0;
  std::vector<BlockFact> blockFacts;
  std::string outcome, reason;
  int exitCode = 0;
  int trouble = 0;  // the hint that fits (a Trouble of hints.h), not recorded
  double seconds = 0;  // how long the drive's part of the run took
};

// Now, as "2026-12-08T23:11:07Z".
std::string UtcNow();
nlohmann::ordered_json RecordJson(const RunRecord &record);
// The image's part of the record: path, and size, blocks, checksum and SHA-256 once read.
nlohmann::ordered_json ImageJson(const RunRecord &record);
nlohmann::ordered_json IdentityJson(const DriveIdentity &identity, const std::string &serial);
// One line of JSON; bytes that are not UTF-8 are replaced, never thrown on.
std::string JsonLine(const nlohmann::ordered_json &json, int indent = -1);

#endif
