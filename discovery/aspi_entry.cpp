#include "discovery/aspi_entry.h"

#include <cstdio>
#include <cstring>

enum {
  VENDOR_OFFSET = 8, VENDOR_LENGTH = 8,
  PRODUCT_OFFSET = 16, PRODUCT_LENGTH = 16,
  REVISION_OFFSET = 32, REVISION_LENGTH = 6
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
  char revision[REVISION_LENGTH + 1];
  CopyField(vendor, inquiry, VENDOR_OFFSET, VENDOR_LENGTH, ' ');
  CopyField(product, inquiry, PRODUCT_OFFSET, PRODUCT_LENGTH, ' ');
  CopyField(revision, inquiry, REVISION_OFFSET, REVISION_LENGTH, '\0');
  snprintf(text, ASPI_ENTRY_TEXT_SIZE, "Device: %s%s   Firmware Version: %s", vendor, product,
           revision);
}

bool IsListedAspiDeviceType(uint8_t inquiryByte0) {
  // The whole byte: a set qualifier means no device is connected at this unit.
  return inquiryByte0 == 0x00 || inquiryByte0 == 0x05;
}
