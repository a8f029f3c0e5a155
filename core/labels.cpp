#include "core/labels.h"

#include <cstdio>
#include <cstring>

// " 裝置： " in code page 950: a blank, "device", a full-width colon, a blank.
static const char LabelPrefix[] = "\x20\xB8\xCB\xB8\x6D\xA1\x47\x20";
// Ten blanks, "firmware version" and a full-width colon in code page 950, a blank.
static const char LabelMiddle[] = "          \xB0\x62\xC5\xE9\xAA\xA9\xA5\xBB\xA1\x47\x20";

enum {
  VENDOR_PRODUCT_OFFSET = 8, VENDOR_PRODUCT_LENGTH = 24,
  REVISION_OFFSET = 32, REVISION_LENGTH = 4
};
// Both fixed texts and both fields in full, with the NUL.
const size_t LABEL_SCRATCH_SIZE =
    sizeof LabelPrefix - 1 + VENDOR_PRODUCT_LENGTH + sizeof LabelMiddle - 1 + REVISION_LENGTH + 1;
static_assert(LABEL_SCRATCH_SIZE == 58, "the longest label is 57 characters");
static_assert(LABEL_SCRATCH_SIZE <= (size_t)DRIVE_LABEL_SIZE, "the longest label fits a record");

// Appends an INQUIRY field as the drive gave it, blanks included, up to its first NUL.
static size_t AppendField(char *text, size_t length, const uint8_t *field, size_t fieldLength) {
  for (size_t i = 0; i < fieldLength && field[i] != 0; ++i) text[length++] = (char)field[i];
  return length;
}

static size_t AppendText(char *text, size_t length, const char *fixed, size_t fixedLength) {
  memcpy(text + length, fixed, fixedLength);
  return length + fixedLength;
}

void BuildDriveLabel(const uint8_t *inquiry, char label[DRIVE_LABEL_SIZE]) {
  char text[LABEL_SCRATCH_SIZE];
  size_t length = AppendText(text, 0, LabelPrefix, sizeof LabelPrefix - 1);
  length = AppendField(text, length, inquiry + VENDOR_PRODUCT_OFFSET, VENDOR_PRODUCT_LENGTH);
  length = AppendText(text, length, LabelMiddle, sizeof LabelMiddle - 1);
  length = AppendField(text, length, inquiry + REVISION_OFFSET, REVISION_LENGTH);
  text[length] = '\0';
  memcpy(label, text, length + 1);
}

enum {
  VENDOR_OFFSET = 8, VENDOR_LENGTH = 8,
  PRODUCT_OFFSET = 16, PRODUCT_LENGTH = 16,
  ASPI_REVISION_LENGTH = 6  // the four standard bytes and the two after them
};

// Copies an INQUIRY field and turns its trailing run of NUL and blank bytes
// into `fill`: blanks keep vendor and product in their columns, NULs end the
// revision where its text does. Never looks before the field's first byte.
static void CopyField(char *field, const uint8_t *inquiry, size_t offset, size_t length,
                      char fill) {
  memcpy(field, inquiry + offset, length);
  field[length] = '\0';
  for (size_t i = length; i > 0 && (field[i - 1] == '\0' || field[i - 1] == ' '); --i) {
    field[i - 1] = fill;
  }
}

void FormatAspiEntryText(const uint8_t inquiry[ASPI_INQUIRY_LENGTH],
                         char text[ASPI_ENTRY_TEXT_SIZE]) {
  char vendor[VENDOR_LENGTH + 1];
  char product[PRODUCT_LENGTH + 1];
  char revision[ASPI_REVISION_LENGTH + 1];
  CopyField(vendor, inquiry, VENDOR_OFFSET, VENDOR_LENGTH, ' ');
  CopyField(product, inquiry, PRODUCT_OFFSET, PRODUCT_LENGTH, ' ');
  CopyField(revision, inquiry, REVISION_OFFSET, ASPI_REVISION_LENGTH, '\0');
  snprintf(text, ASPI_ENTRY_TEXT_SIZE, "Device: %s%s   Firmware Version: %s", vendor, product,
           revision);
}

bool IsListedAspiDeviceType(uint8_t inquiryByte0) {
  // The whole byte: a set qualifier means no device is connected at this unit.
  return inquiryByte0 == 0x00 || inquiryByte0 == 0x05;
}
