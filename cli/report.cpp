#include "cli/report.h"

#include <algorithm>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "cli/words.h"
#include "core/blocks.h"
#include "run/record.h"

std::string IdentityText(const DriveIdentity &identity) {
  return std::string(identity.vendor) + " " + identity.product + ", firmware " + identity.revision;
}

static std::string OrDash(const std::string &value) { return value.empty() ? "-" : value; }

// The columns of a drive: the same number on every line, "-" where a value
// is unknown. The revision is the one the drive gave now: one that could
// not be asked shows none, since the kernel's copy is stale after a flash.
static std::vector<std::string> Columns(const ListedDrive &drive) {
  bool asked = drive.error.empty();
  std::vector<std::string> columns{drive.device};
  if (DrivesHaveNodes()) {
    columns.push_back(OrDash(drive.genericDevice));
    columns.push_back(OrDash(drive.address));
  }
  columns.push_back(OrDash(drive.bus));
  columns.push_back(OrDash(drive.identityKnown ? drive.identity.vendor : ""));
  columns.push_back(OrDash(drive.identityKnown ? drive.identity.product : ""));
  columns.push_back(OrDash(asked ? drive.identity.revision : ""));
  return columns;
}

static std::string Line(const std::vector<std::string> &columns) {
  static const int withNodes[] = {10, 10, 9, 5, 8, 16, 0}, byLetter[] = {6, 5, 8, 16, 0};
  const int *widths = DrivesHaveNodes() ? withNodes : byLetter;
  std::string line;
  for (size_t i = 0; i < columns.size(); ++i) {
    std::string cell = columns[i];
    if (widths[i] > 0 && cell.size() < (size_t)widths[i]) cell.resize((size_t)widths[i], ' ');
    line += (i == 0 ? "" : "  ") + cell;
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

std::string ListLine(const ListedDrive &drive) { return Line(Columns(drive)); }

std::string ListHeader() {
  if (DrivesHaveNodes()) return Line({"DEVICE", "SG", "ADDRESS", "BUS", "VENDOR", "PRODUCT", "REVISION"});
  return Line({"DEVICE", "BUS", "VENDOR", "PRODUCT", "REVISION"});
}

std::string DrivesJson(const std::vector<ListedDrive> &drives) {
  auto value = [](const std::string &text) {
    return text.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(text);
  };
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const ListedDrive &d : drives) {
    nlohmann::ordered_json entry = {{"device", d.device}};
    if (DrivesHaveNodes()) {
      entry["sg"] = value(d.genericDevice);
      entry["address"] = value(d.address);
    }
    entry["bus"] = value(d.bus);
    entry["vendor"] = value(d.identityKnown ? d.identity.vendor : "");
    entry["product"] = value(d.identityKnown ? d.identity.product : "");
    entry["revision"] = value(d.error.empty() ? d.identity.revision : "");
    if (!d.error.empty()) entry["error"] = d.error;
    list.push_back(entry);
  }
  // A system's error text may come in the console's code page, not UTF-8.
  return JsonLine(list, 2);
}

std::string Wrapped(const std::string &text, size_t first, size_t indent, size_t width) {
  std::string out, line;
  size_t at = 0, margin = first;
  while (at < text.size()) {
    size_t end = text.find(' ', at);
    std::string word = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? text.size() : end + 1;
    if (!line.empty() && margin + line.size() + 1 + word.size() > width) {
      out += std::string(margin, ' ') + line + "\n";
      line.clear();
      margin = indent;
    }
    line += (line.empty() ? "" : " ") + word;
  }
  if (!line.empty()) out += std::string(margin, ' ') + line + "\n";
  return out;
}

static std::string Trimmed(const std::string &text) {
  size_t first = text.find_first_not_of(" \t"), last = text.find_last_not_of(" \t");
  return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

bool IsBlank(const std::string &text) { return Trimmed(text).empty(); }

std::string Named(const std::string &device) {
  return device + (!device.empty() && device.back() == ':' ? " " : ": ");
}

bool SameDigest(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (tolower((unsigned char)a[i]) != tolower((unsigned char)b[i])) return false;
  return true;
}

std::string FailureReason(const CommandResult &result, const std::string &systemText) {
  char text[160];
  std::string reason;
  switch (result.kind) {
    case CommandResult::SYSTEM_ERROR:
      snprintf(text, sizeof text, "error %u (%s)", (unsigned)result.systemError, systemText.c_str());
      return text;
    case CommandResult::SHORT_TRANSFER:
      snprintf(text, sizeof text,
               "%u bytes of it never reached the drive (residual %u), though the drive said GOOD",
               (unsigned)result.residual, (unsigned)result.residual);
      return text;
    case CommandResult::ADAPTER_ERROR: reason = AdapterWords(result); break;
    case CommandResult::DONE: break;
  }
  if (result.scsiStatus != GOOD) {
    snprintf(text, sizeof text, "SCSI status %02Xh (%s)", result.scsiStatus,
             StatusWords(result.scsiStatus).c_str());
    reason += (reason.empty() ? "" : ", ") + std::string(text);
  }
  if (result.scsiStatus == CHECK_CONDITION && result.Sense().valid) reason += ", " + SenseWords(result);
  return reason.empty() ? "no reason given" : reason;
}

std::string MinutesSeconds(double seconds) {
  long whole = seconds > 0 ? (long)(seconds + 0.5) : 0;
  char text[32];
  snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
  return text;
}

std::string ProgressText(int sent, int blocks, uint64_t imageBytes, double seconds) {
  int percent = blocks > 0 ? (int)((long long)sent * 100 / blocks) : 100;
  double left = sent > 0 ? seconds * (blocks - sent) / sent : 0;
  uint64_t written = std::min<uint64_t>((uint64_t)sent * BLOCK_SIZE, imageBytes);
  char line[192];
  snprintf(line, sizeof line, "Written %d of %d block%s (%d%%), %llu of %llu bytes, %s, about %s left", sent, blocks,
           blocks == 1 ? "" : "s", percent, (unsigned long long)written, (unsigned long long)imageBytes,
           MinutesSeconds(seconds).c_str(), MinutesSeconds(left).c_str());
  return line;
}
