#include "vdrive/vdrive.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace vdrive {

namespace {

enum : uint8_t {
  OP_TEST_UNIT_READY = 0x00,
  OP_INQUIRY = 0x12,
  OP_START_STOP_UNIT = 0x1B,
  STATUS_CHECK_CONDITION = 2,
};

// Fixed-format sense data: ILLEGAL REQUEST with the given additional sense code.
std::vector<uint8_t> IllegalRequest(uint8_t asc) {
  std::vector<uint8_t> sense(18, 0);
  sense[0] = 0x70;
  sense[2] = 0x05;
  sense[7] = 10;
  sense[12] = asc;
  return sense;
}

Result CheckCondition(std::vector<uint8_t> sense) {
  Result r;
  r.scsiStatus = STATUS_CHECK_CONDITION;
  r.sense = std::move(sense);
  return r;
}

void PutPadded(std::vector<uint8_t> &out, size_t at, size_t width, const std::string &text) {
  for (size_t i = 0; i < width; ++i) out[at + i] = i < text.size() ? (uint8_t)text[i] : ' ';
}

std::string Trim(const std::string &s) {
  size_t b = s.find_first_not_of(" \t\r"), e = s.find_last_not_of(" \t\r");
  return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

bool ToInt(const std::string &text, int base, long *value) {
  if (text.empty()) return false;
  char *end = nullptr;
  *value = strtol(text.c_str(), &end, base);
  return *end == '\0';
}

char Hex2(uint8_t v, int shift) { return "0123456789ABCDEF"[(v >> shift) & 15]; }

}  // namespace

const DriveConfig *Config::Find(const std::string &name) const {
  for (const DriveConfig &d : drives)
    if (d.name == name) return &d;
  return nullptr;
}

bool ParseConfig(const std::string &text, Config *config, std::string *error) {
  config->drives.clear();
  std::istringstream lines(text);
  std::string raw;
  int number = 0;
  auto fail = [&](const std::string &why) {
    *error = "line " + std::to_string(number) + ": " + why;
    return false;
  };
  while (std::getline(lines, raw)) {
    ++number;
    std::string line = Trim(raw.substr(0, raw.find('#')));
    if (line.empty()) continue;
    if (line.front() == '[') {
      if (line.compare(0, 7, "[drive ") != 0 || line.back() != ']') return fail("bad header");
      config->drives.emplace_back();
      config->drives.back().name = Trim(line.substr(7, line.size() - 8));
      if (config->drives.back().name.empty()) return fail("drive without a name");
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos) return fail("no '='");
    if (config->drives.empty()) return fail("key outside a [drive] section");
    DriveConfig &d = config->drives.back();
    std::string key = Trim(line.substr(0, eq)), value = Trim(line.substr(eq + 1));
    long n = 0;
    bool ok = true;
    if (key == "type") ok = ToInt(value, 0, &n) && (d.type = (int)n, true);
    else if (key == "vendor") d.vendor = value;
    else if (key == "product") d.product = value;
    else if (key == "revision") d.revision = value;
    else if (key == "new_revision") d.newRevision = value;
    else if (key == "present") ok = ToInt(value, 10, &n) && (d.present = n != 0, true);
    else if (key == "fail_opcode") ok = ToInt(value, 16, &n) && (d.failOpcode = (int)n, true);
    else if (key == "fail_at") ok = ToInt(value, 10, &n) && (d.failAt = (int)n, true);
    else if (key == "fail_block") {  // shorthand: download block number k
      ok = ToInt(value, 10, &n);
      d.failOpcode = DOWNLOAD_OPCODE;
      d.failAt = (int)n;
    } else if (key == "fail_count") ok = ToInt(value, 10, &n) && (d.failCount = (int)n, true);
    else if (key == "fail_error") ok = ToInt(value, 10, &n) && (d.failError = (uint32_t)n, true);
    else if (key == "check_condition") ok = ParseHex(value, &d.checkCondition) && !d.checkCondition.empty();
    else if (key == "aspi_status") ok = ToInt(value, 16, &n) && (d.aspiStatus = (int)n, true);
    else if (key == "aspi_reject") ok = ToInt(value, 16, &n) && (d.aspiReject = (int)n, true);
    else if (key == "alias") d.alias = value;
    else if (key == "serial") d.serial = value;
    else if (key == "attention") ok = ToInt(value, 10, &n) && (d.attention = (int)n, true);
    else if (key == "mounted") d.mounted = value;
    else if (key == "moves_to") d.movesTo = value;
    else if (key == "bus") d.bus = value;
    else if (key == "delay_ms") ok = ToInt(value, 10, &n) && (d.delayMs = (int)n, true);
    else if (key == "hang") ok = ToInt(value, 10, &n) && (d.hang = n != 0, true);
    else if (key == "short_by") ok = ToInt(value, 10, &n) && (d.shortBy = (int)n, true);
    else if (key == "vanish") ok = ToInt(value, 10, &n) && (d.vanish = n != 0, true);
    else return fail("unknown key '" + key + "'");
    if (!ok) return fail("bad value for " + key);
  }
  for (const DriveConfig &d : config->drives) {
    int outcomes = (d.failError != 0) + !d.checkCondition.empty() + (d.aspiStatus >= 0) +
                   (d.aspiReject >= 0) + d.hang + d.vanish + (d.shortBy > 0);
    if (d.failAt >= 0 && outcomes != 1) {
      *error = "drive " + d.name + ": a fault needs exactly one outcome";
      return false;
    }
  }
  return true;
}

std::string FormatConfig(const Config &config) {
  std::ostringstream out;
  for (const DriveConfig &d : config.drives) {
    out << "[drive " << d.name << "]\ntype=" << d.type << "\nvendor=" << d.vendor
        << "\nproduct=" << d.product << "\nrevision=" << d.revision
        << "\nnew_revision=" << d.newRevision << "\npresent=" << (d.present ? 1 : 0) << "\n";
    if (d.delayMs != 0) out << "delay_ms=" << d.delayMs << "\n";
    if (!d.alias.empty()) out << "alias=" << d.alias << "\n";
    if (!d.serial.empty()) out << "serial=" << d.serial << "\n";
    if (d.attention != 0) out << "attention=" << d.attention << "\n";
    if (!d.mounted.empty()) out << "mounted=" << d.mounted << "\n";
    if (!d.movesTo.empty()) out << "moves_to=" << d.movesTo << "\n";
    if (!d.bus.empty()) out << "bus=" << d.bus << "\n";
    if (d.failAt < 0) continue;
    char opcode[16];
    snprintf(opcode, sizeof opcode, "%02X", d.failOpcode);
    out << "fail_opcode=" << opcode << "\nfail_at=" << d.failAt << "\nfail_count=" << d.failCount
        << "\n";
    if (d.failError != 0) out << "fail_error=" << d.failError << "\n";
    if (!d.checkCondition.empty()) out << "check_condition=" << Hex(d.checkCondition) << "\n";
    if (d.aspiStatus >= 0) {
      snprintf(opcode, sizeof opcode, "%02X", d.aspiStatus);
      out << "aspi_status=" << opcode << "\n";
    }
    if (d.aspiReject >= 0) {
      snprintf(opcode, sizeof opcode, "%02X", d.aspiReject);
      out << "aspi_reject=" << opcode << "\n";
    }
    if (d.hang) out << "hang=1\n";
    if (d.vanish) out << "vanish=1\n";
    if (d.shortBy > 0) out << "short_by=" << d.shortBy << "\n";
  }
  return out.str();
}

Drive::Drive(const DriveConfig &c) : config(c) {}

void Drive::Reconfigure(const DriveConfig &c) {
  // A unit attention is an event the drive holds until a command takes it,
  // not a setting a reload restores.
  int attention = config.attention;
  config = c;
  config.attention = std::min(attention, c.attention);
  if (c.present) gone = false;
}

const std::string &Drive::Revision() const {
  return flashedRevision.empty() ? config.revision : flashedRevision;
}

std::vector<uint8_t> Drive::InquiryData() const {
  std::vector<uint8_t> data(36, 0);
  data[0] = (uint8_t)config.type;
  data[1] = config.type == 5 ? 0x80 : 0x00;  // removable medium
  data[3] = 0x02;                            // response data format
  data[4] = 36 - 5;                          // additional length
  PutPadded(data, 8, 8, config.vendor);
  PutPadded(data, 16, 16, config.product);
  PutPadded(data, 32, 4, Revision());
  return data;
}

Result Drive::Execute(const uint8_t *cdb, int cdbLength, Direction direction, uint8_t *data,
                      uint32_t length) {
  commands.push_back({std::vector<uint8_t>(cdb, cdb + cdbLength), direction, length});
  Result r;
  if (!Present()) {
    r.kind = Result::WIN32_ERROR;
    r.error = ERROR_GONE;
    return r;
  }
  uint8_t op = cdbLength > 0 ? cdb[0] : 0xFF;
  if (config.attention > 0 && op != OP_INQUIRY) {
    --config.attention;
    std::vector<uint8_t> sense(18, 0);
    sense[0] = 0x70;
    sense[2] = 0x06;  // UNIT ATTENTION: power on, reset or bus device reset occurred
    sense[7] = 10;
    sense[12] = 0x29;
    return CheckCondition(sense);
  }
  uint32_t number = seen[op]++;
  if (config.failAt >= 0 && op == config.failOpcode && number >= (uint32_t)config.failAt &&
      (config.failCount == 0 || number < (uint32_t)(config.failAt + config.failCount))) {
    if (config.hang) {
      r.kind = Result::HANG;
    } else if (config.vanish) {
      gone = true;
      r.kind = Result::WIN32_ERROR;
      r.error = config.failError != 0 ? config.failError : (uint32_t)ERROR_GONE;
      r.events.push_back("VANISHED " + config.name);
    } else if (config.shortBy > 0) {
      r.residual = (uint32_t)config.shortBy;  // the block never arrived whole: not taken
    } else if (config.failError != 0) {
      r.kind = Result::WIN32_ERROR;
      r.error = config.failError;
    } else if (config.aspiStatus >= 0) {
      r.kind = Result::ASPI_ERROR;
      r.aspiStatus = (uint8_t)config.aspiStatus;
    } else if (config.aspiReject >= 0) {
      r.kind = Result::ASPI_REJECTED;
      r.aspiStatus = (uint8_t)config.aspiReject;
    } else {
      r = CheckCondition(config.checkCondition);
    }
    return r;
  }
  switch (op) {
    case OP_TEST_UNIT_READY:
    case OP_START_STOP_UNIT:
      return r;
    case OP_INQUIRY: {
      if (direction != DIR_IN) return CheckCondition(IllegalRequest(0x24));
      std::vector<uint8_t> inquiry = InquiryData();
      if (cdbLength > 2 && (cdb[1] & 0x01) != 0) {  // a vital product data page
        if (cdb[2] != 0x80 || config.serial.empty()) return CheckCondition(IllegalRequest(0x24));
        inquiry.assign(4, 0);
        inquiry[0] = (uint8_t)config.type;
        inquiry[1] = 0x80;
        inquiry[3] = (uint8_t)config.serial.size();
        inquiry.insert(inquiry.end(), config.serial.begin(), config.serial.end());
      }
      uint32_t n = cdbLength > 4 ? cdb[4] : 0;
      if (n > length) n = length;
      if (n > inquiry.size()) n = (uint32_t)inquiry.size();
      if (data != nullptr) memcpy(data, inquiry.data(), n);
      r.transferred = data != nullptr ? n : 0;
      return r;
    }
    case DOWNLOAD_OPCODE:
      return Download(cdb, cdbLength, direction, data, length);
    default:
      return CheckCondition(IllegalRequest(0x20));  // invalid command operation code
  }
}

Result Drive::Download(const uint8_t *cdb, int cdbLength, Direction direction,
                       const uint8_t *data, uint32_t length) {
  static const uint8_t signature[6] = {0x55, 0x00, 0x2B, 0x41, 0x50, 0x49};
  std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
  BlockRecord block{cdbLength >= 11 ? cdb[6] : (uint8_t)0,
                    cdbLength >= 11 ? (uint16_t)(cdb[9] << 8 | cdb[10]) : (uint16_t)0, ""};
  if (block.index == 0) {  // index 00 always begins a new download
    expectedIndex = 0;
    broken = false;
    sum = 0;
  }
  if (expectedIndex == 0) firstBlock = now;
  if (cdbLength != 12 || memcmp(cdb, signature, 6) != 0 || cdb[7] != 0xA0 || cdb[8] != 0x00 ||
      cdb[11] != 0x00) {
    block.problem = "signature";
  } else if (direction != DIR_OUT || length != DOWNLOAD_BLOCK || data == nullptr) {
    block.problem = "length";
  } else if (broken) {
    block.problem = "after-bad";
  } else if (block.index != 0xFF && block.index != expectedIndex) {
    block.problem = "order";
  } else {
    for (uint32_t i = 0; i < length; ++i) sum = (uint16_t)(sum + data[i]);
    if (sum != block.checksum) {
      char want[16];
      snprintf(want, sizeof want, "%04X", sum);
      block.problem = std::string("checksum want=") + want;
    }
  }

  char line[96];
  snprintf(line, sizeof line, "BLOCK %s idx=%02X sum=%04X ", config.name.c_str(), block.index,
           block.checksum);
  Result r;
  r.delayMs = config.delayMs;
  r.events.push_back(line + (block.problem.empty() ? std::string("ok") : "bad=" + block.problem));
  blocks.push_back(block);
  if (!block.problem.empty()) {
    broken = true;
    return CheckCondition(IllegalRequest(0x24));  // invalid field in CDB
  }
  if (block.index == 0xFF) {
    if (!config.newRevision.empty()) flashedRevision = config.newRevision;
    // How long the download took from the arrival of its first block to
    // that of its last: what a flasher costs beyond the drive's own time.
    long long us = std::chrono::duration_cast<std::chrono::microseconds>(now - firstBlock).count();
    r.events.push_back("FLASHED " + config.name + " revision=" + Revision() +
                       " blocks=" + std::to_string(expectedIndex + 1) + " us=" + std::to_string(us));
    expectedIndex = 0;
    sum = 0;
  } else {
    ++expectedIndex;
  }
  return r;
}

DriveSet::Outcome DriveSet::Apply(const std::string &text, std::string *error) {
  if (applied_ && text == text_) return UNCHANGED;
  Config config;
  if (!ParseConfig(text, &config, error)) return BAD;
  applied_ = true;
  text_ = text;
  for (auto &d : drives_) {
    const DriveConfig *now = config.Find(d->config.name);
    if (now != nullptr) {
      d->Reconfigure(*now);
    } else {
      DriveConfig gone = d->config;
      gone.present = false;
      d->Reconfigure(gone);
    }
  }
  names_.clear();
  for (const DriveConfig &c : config.drives) {
    if (Find(c.name) == nullptr) drives_.emplace_back(new Drive(c));
    names_ += (names_.empty() ? "" : ",") + c.name;
  }
  return APPLIED;
}

Drive *DriveSet::Find(const std::string &name) {
  for (auto &d : drives_)
    if (d->config.name == name || (!d->config.alias.empty() && d->config.alias == name))
      return d.get();
  return nullptr;
}

std::string DriveSet::Names() const { return names_; }

std::string DriveSet::ApplyFile(const std::string &path) {
  std::string text;
  if (FILE *f = fopen(path.c_str(), "rb")) {
    char chunk[1024];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
    fclose(f);
  }
  std::string error;
  switch (Apply(text, &error)) {
    case BAD: return "CONFIG error " + error;
    case APPLIED: return "CONFIG drives=" + names_;
    case UNCHANGED: break;
  }
  return "";
}

std::string Format(const char *format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

std::string Hex(const uint8_t *bytes, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    if (i) out += ' ';
    out += Hex2(bytes[i], 4);
    out += Hex2(bytes[i], 0);
  }
  return out;
}

std::string Hex(const std::vector<uint8_t> &bytes) { return Hex(bytes.data(), bytes.size()); }

bool ParseHex(const std::string &text, std::vector<uint8_t> *bytes) {
  bytes->clear();
  std::istringstream in(text);
  std::string word;
  while (in >> word) {
    long v = 0;
    if (word.size() > 2 || !ToInt(word, 16, &v)) return false;
    bytes->push_back((uint8_t)v);
  }
  return true;
}

void AppendJournal(const std::string &path, const std::string &line) {
  if (path.empty() || line.empty()) return;
  FILE *f = fopen(path.c_str(), "ab");
  if (f == nullptr) return;
  fputs(line.c_str(), f);
  fputc('\n', f);
  fclose(f);
}

}  // namespace vdrive
