#include "core/inquiry.h"

#include <cstring>

static void CopyText(char *text, const uint8_t *standard, size_t offset, size_t width) {
  size_t length = 0;
  while (length < width && standard[offset + length] != 0) {
    uint8_t c = standard[offset + length];
    text[length++] = c >= 0x20 && c < 0x7F ? (char)c : '?';
  }
  while (length > 0 && text[length - 1] == ' ') --length;
  text[length] = '\0';
}

DriveIdentity ParseInquiry(const uint8_t *data, size_t length) {
  uint8_t standard[INQUIRY_STANDARD_LENGTH] = {};
  memcpy(standard, data, length < sizeof standard ? length : sizeof standard);
  DriveIdentity identity;
  identity.deviceType = standard[0] & 0x1F;
  identity.qualifier = standard[0] >> 5;
  CopyText(identity.vendor, standard, 8, 8);
  CopyText(identity.product, standard, 16, 16);
  CopyText(identity.revision, standard, 32, 4);
  memcpy(identity.name, standard + INQUIRY_NAME_OFFSET, INQUIRY_NAME_LENGTH);
  return identity;
}

bool IsCdDvdDrive(const DriveIdentity &identity) {
  return identity.deviceType == CD_DVD_DEVICE_TYPE && identity.qualifier == 0;
}

std::string ParseSerialPage(const uint8_t *data, size_t length) {
  if (length < 4 || data[1] != 0x80) return "";
  size_t end = 4 + (size_t)data[3];  // byte 3: the page's length after its header
  if (end > length) end = length;
  std::string serial;
  for (size_t i = 4; i < end && data[i] != 0; ++i)
    serial += data[i] >= 0x20 && data[i] < 0x7F ? (char)data[i] : '?';
  size_t first = serial.find_first_not_of(' '), last = serial.find_last_not_of(' ');
  return first == std::string::npos ? "" : serial.substr(first, last - first + 1);
}

static std::string Trimmed(const std::string &text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool IsExpectedDrive(const DriveIdentity &identity, const std::string &expected) {
  std::string text = Trimmed(expected);
  size_t gap = text.find_first_of(" \t");
  std::string vendor = text.substr(0, gap);
  std::string product = gap == std::string::npos ? "" : Trimmed(text.substr(gap));
  return !vendor.empty() && vendor == identity.vendor && product == identity.product;
}
