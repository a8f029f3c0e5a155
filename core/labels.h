// The texts by which the device list shows a drive, made from its INQUIRY
// data: the Big5 label of a drive found by letter, and the entry text of a
// drive found on the ASPI bus. Portable.
#ifndef FLASHTOOL_CORE_LABELS_H
#define FLASHTOOL_CORE_LABELS_H

#include <cstddef>
#include <cstdint>

enum {
  DRIVE_LABEL_SIZE = 64,
  ASPI_INQUIRY_LENGTH = 38,
  ASPI_ENTRY_TEXT_SIZE = 256
};

// Builds the label from the INQUIRY data (at least 36 bytes readable) into
// `label`, never writing more than DRIVE_LABEL_SIZE bytes with the NUL.
void BuildDriveLabel(const uint8_t *inquiry, char label[DRIVE_LABEL_SIZE]);

// "Device: %s%s   Firmware Version: %s" from the vendor, product and
// revision fields of 38 bytes of INQUIRY data, trimmed as the list shows them.
void FormatAspiEntryText(const uint8_t inquiry[ASPI_INQUIRY_LENGTH],
                         char text[ASPI_ENTRY_TEXT_SIZE]);

// Byte 0 of the INQUIRY data admits a drive only when it is exactly 0x00 or 0x05.
bool IsListedAspiDeviceType(uint8_t inquiryByte0);

#endif
