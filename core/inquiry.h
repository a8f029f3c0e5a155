// What a drive says it is, read from its standard INQUIRY data. Portable.
#ifndef FLASHTOOL_CORE_INQUIRY_H
#define FLASHTOOL_CORE_INQUIRY_H

#include <cstddef>
#include <cstdint>
#include <string>

enum {
  INQUIRY_STANDARD_LENGTH = 36,
  // Vendor and product identification: bytes 8 to 31, as one name.
  INQUIRY_NAME_OFFSET = 8,
  INQUIRY_NAME_LENGTH = 24,
  CD_DVD_DEVICE_TYPE = 5
};

struct DriveIdentity {
  uint8_t deviceType;                // peripheral device type: byte 0, low five bits
  uint8_t qualifier;                 // peripheral qualifier: byte 0, high three bits; 0 connected
  char vendor[9];                    // bytes 8 to 15
  char product[17];                  // bytes 16 to 31
  char revision[5];                  // bytes 32 to 35
  uint8_t name[INQUIRY_NAME_LENGTH]; // bytes 8 to 31 as the drive gave them
};

// Reads the identity from the first `length` bytes of INQUIRY data; bytes
// the drive did not return read as 0. The text fields end at a NUL, lose
// their trailing blanks, and show every byte outside printable ASCII as
// '?', so that a drive cannot write control codes to a terminal.
DriveIdentity ParseInquiry(const uint8_t *data, size_t length);

// A connected CD/DVD device: a unit whose qualifier says it is not
// connected (or cannot be) is no drive to list or flash.
bool IsCdDvdDrive(const DriveIdentity &identity);
// Whether the drive is the "VENDOR PRODUCT" the user expects: the first
// word is the whole vendor, the rest the whole product; blanks at either
// end of each do not count, everything else does, case included.
bool IsExpectedDrive(const DriveIdentity &identity, const std::string &expected);

// The unit serial number from the first `length` bytes of INQUIRY page 80h,
// without its blanks; empty when the page is not that page or holds none.
// Printable ASCII only, like the identity's texts.
std::string ParseSerialPage(const uint8_t *data, size_t length);

#endif
