#include "cli/report.h"

#include <cstdio>
#include <sstream>

#include <nlohmann/json.hpp>

std::string IdentityText(const DriveIdentity &identity) {
  return std::string(identity.vendor) + " " + identity.product + ", firmware " + identity.revision;
}

std::string ListLine(const ListedDrive &drive) {
  char line[96];
  snprintf(line, sizeof line, "%-10s  %-8s  %-16s  %s", drive.device.c_str(),
           drive.identity.vendor, drive.identity.product, drive.identity.revision);
  return line;
}

std::string DrivesJson(const std::vector<ListedDrive> &drives) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const ListedDrive &d : drives)
    list.push_back({{"device", d.device},
                    {"vendor", d.identity.vendor},
                    {"product", d.identity.product},
                    {"revision", d.identity.revision}});
  return list.dump(2);
}

static std::string Words(const std::string &text) {
  std::istringstream in(text);
  std::string word, joined;
  while (in >> word) joined += (joined.empty() ? "" : " ") + word;
  return joined;
}

bool IsExpectedDrive(const DriveIdentity &identity, const std::string &expected) {
  return Words(std::string(identity.vendor) + " " + identity.product) == Words(expected);
}

const char *SenseKeyName(uint8_t key) {
  static const char *const names[16] = {
      "NO SENSE",       "RECOVERED ERROR", "NOT READY",       "MEDIUM ERROR",
      "HARDWARE ERROR", "ILLEGAL REQUEST", "UNIT ATTENTION",  "DATA PROTECT",
      "BLANK CHECK",    "VENDOR SPECIFIC", "COPY ABORTED",    "ABORTED COMMAND",
      "EQUAL",          "VOLUME OVERFLOW", "MISCOMPARE",      "COMPLETED"};
  return names[key & 0x0F];
}

static const char *StatusName(uint8_t status) {
  switch (status) {
    case GOOD: return "GOOD";
    case CHECK_CONDITION: return "CHECK CONDITION";
    case 0x08: return "BUSY";
    case 0x18: return "RESERVATION CONFLICT";
    case 0x28: return "TASK SET FULL";
    default: return "unknown status";
  }
}

std::string FailureReason(const CommandResult &result, const std::string &systemText) {
  char text[160];
  if (result.kind == CommandResult::SYSTEM_ERROR) {
    snprintf(text, sizeof text, "error %u (%s)", (unsigned)result.error, systemText.c_str());
    return text;
  }
  std::string reason;
  if (result.kind == CommandResult::ADAPTER_ERROR) {
    snprintf(text, sizeof text, "host adapter status %Xh", (unsigned)result.error);
    reason = text;
  }
  if (result.scsiStatus != GOOD) {
    snprintf(text, sizeof text, "SCSI status %02Xh (%s)", result.scsiStatus,
             StatusName(result.scsiStatus));
    reason += (reason.empty() ? "" : ", ") + std::string(text);
  }
  if (result.scsiStatus == CHECK_CONDITION && result.senseLength > 2) {
    snprintf(text, sizeof text, ", sense key %X (%s), ASC %02Xh, ASCQ %02Xh", result.SenseKey(),
             SenseKeyName(result.SenseKey()), result.AdditionalSenseCode(), result.Qualifier());
    reason += text;
  }
  return reason.empty() ? "no reason given" : reason;
}

std::string ProgressLines::After(int sent, int blocks) {
  int percent = blocks > 0 ? (int)((long long)sent * 100 / blocks) : 100;
  char line[80];
  if (terminal_) {
    // Redrawn in place; the last one ends the line.
    snprintf(line, sizeof line, "\rBlock %d of %d (%d%%)%s", sent, blocks, percent,
             sent == blocks ? "\n" : "");
    return line;
  }
  if (percent / 10 <= tenthsShown_) return "";
  tenthsShown_ = percent / 10;
  snprintf(line, sizeof line, "Written %d%% (%d of %d blocks)\n", tenthsShown_ * 10, sent, blocks);
  return line;
}
