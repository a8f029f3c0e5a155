// The Big5 label of a drive found by drive letter. Portable.
#ifndef FLASHTOOL_DISCOVERY_DRIVE_LABEL_H
#define FLASHTOOL_DISCOVERY_DRIVE_LABEL_H

#include <cstddef>
#include <cstdint>

enum {
  DRIVE_LABEL_SIZE = 64,
  INQUIRY_DATA_LENGTH = 100,
  // Vendor and product identification: bytes 8 to 31 of the INQUIRY data.
  INQUIRY_NAME_OFFSET = 8,
  INQUIRY_NAME_LENGTH = 24
};

// Builds the label from the INQUIRY data (at least 36 bytes readable) into
// `label`, never writing more than DRIVE_LABEL_SIZE bytes with the NUL.
void BuildDriveLabel(const uint8_t *inquiry, char label[DRIVE_LABEL_SIZE]);

#endif
