// The device list text of a drive found on the ASPI bus. Portable.
#ifndef FLASHTOOL_DISCOVERY_ASPI_ENTRY_H
#define FLASHTOOL_DISCOVERY_ASPI_ENTRY_H

#include <cstdint>

enum { ASPI_INQUIRY_LENGTH = 38, ASPI_ENTRY_TEXT_SIZE = 256 };

// "Device: %s%s   Firmware Version: %s" from the vendor, product and
// revision fields of 38 bytes of INQUIRY data, trimmed as the list shows them.
void FormatAspiEntryText(const uint8_t inquiry[ASPI_INQUIRY_LENGTH],
                         char text[ASPI_ENTRY_TEXT_SIZE]);

// Byte 0 of the INQUIRY data admits a drive only when it is exactly 0x00 or 0x05.
bool IsListedAspiDeviceType(uint8_t inquiryByte0);

#endif
