#include "run/record.h"

#include <ctime>

std::string UtcNow() {
  std::time_t now = std::time(nullptr);
  char text[32] = "";
  if (const std::tm *utc = std::gmtime(&now)) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", utc);
  return text;
}

nlohmann::ordered_json IdentityJson(const DriveIdentity &identity, const std::string &serial) {
  nlohmann::ordered_json json = {{"vendor", identity.vendor},
                                 {"product", identity.product},
                                 {"revision", identity.revision}};
  json["serial"] = serial.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(serial);
  return json;
}

static nlohmann::ordered_json Drive(const DriveFacts &facts) {
  return facts.known ? IdentityJson(facts.identity, facts.serial) : nlohmann::ordered_json();
}

nlohmann::ordered_json ImageJson(const RunRecord &r) {
  nlohmann::ordered_json image = {{"path", r.imagePath}};
  if (r.imageRead) {
    char checksum[8];
    snprintf(checksum, sizeof checksum, "%04X", r.checksum);
    image["size"] = r.imageSize;
    image["blocks"] = r.blocks;
    image["checksum"] = checksum;
    image["sha256"] = r.sha256;
  }
  return image;
}

nlohmann::ordered_json RecordJson(const RunRecord &r) {
  nlohmann::ordered_json json;
  json["started"] = r.started;
  json["ended"] = r.ended;
  json["host"] = r.host;
  json["version"] = r.version;
  json["command"] = r.command;
  json["device"] = r.device;
  json["address"] = r.address.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(r.address);
  json["before"] = Drive(r.before);
  json["after"] = Drive(r.after);
  if (!r.afterDevice.empty()) json["after_device"] = r.afterDevice;
  json["image"] = ImageJson(r);
  nlohmann::ordered_json blocks = nlohmann::ordered_json::array();
  for (const BlockFact &block : r.blockFacts) {
    char index[4];
    snprintf(index, sizeof index, "%02X", block.index);
    blocks.push_back({{"index", index}, {"ms", (long long)(block.milliseconds * 10 + 0.5) / 10.0},
                      {"outcome", block.outcome}});
  }
  json["blocks"] = blocks;
  json["outcome"] = r.outcome;
  json["reason"] = r.reason;
  json["exit_code"] = r.exitCode;
  return json;
}

std::string JsonLine(const nlohmann::ordered_json &json, int indent) {
  return json.dump(indent, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}
