// What an image file plainly is when it is no firmware: a program, an
// archive, text, or one byte over and over. Nothing here can tell that a
// file is firmware for a given drive; it only catches the files a
// technician picks by mistake. Portable.
#ifndef FLASHTOOL_CORE_IMAGE_KIND_H
#define FLASHTOOL_CORE_IMAGE_KIND_H

#include <cstddef>
#include <cstdint>

// "a zip archive", "text", ...; null when nothing plainly says it is no firmware.
const char *PlainlyNoFirmware(const uint8_t *data, size_t size);

#endif
