// INQUIRY data from a drive: its identity and the Big5 label of the list.
#include <cstdint>

#include "core/inquiry.h"
#include "core/labels.h"
#include "core/scsi.h"
#include "fuzz.h"

static void CheckText(const char *text, size_t size) {
  size_t length = TextWithin(text, size);
  for (size_t i = 0; i < length; ++i) FUZZ_CHECK(text[i] >= 0x20 && text[i] < 0x7F);
  FUZZ_CHECK(length == 0 || text[length - 1] != ' ');
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  DriveIdentity identity = ParseInquiry(data, size);
  FUZZ_CHECK(identity.deviceType < 32);
  CheckText(identity.vendor, sizeof identity.vendor);
  CheckText(identity.product, sizeof identity.product);
  CheckText(identity.revision, sizeof identity.revision);

  // The scan hands the label a cleared buffer that the drive filled in part.
  uint8_t returned[INQUIRY_ALLOCATION] = {};
  memcpy(returned, data, size < sizeof returned ? size : sizeof returned);
  char label[DRIVE_LABEL_SIZE + 8];
  memset(label, 0x7E, sizeof label);
  BuildDriveLabel(returned, label);
  FUZZ_CHECK(TextWithin(label, DRIVE_LABEL_SIZE) <= 57);
  FUZZ_CHECK((uint8_t)label[DRIVE_LABEL_SIZE] == 0x7E);  // nothing past the record's field
  return 0;
}
