// Reading a firmware image file whole into memory, before anything is sent
// to a drive: a file that cannot be read to its end must never leave a
// drive with half an image. One implementation per system.
#ifndef FLASHTOOL_TRANSPORT_IMAGE_FILE_H
#define FLASHTOOL_TRANSPORT_IMAGE_FILE_H

#include <cstdint>

#include "core/blocks.h"

enum ImageLoadOutcome {
  IMAGE_LOADED,
  IMAGE_NOT_OPENED,    // missing, no rights
  IMAGE_NOT_A_FILE,    // a folder, a device, a pipe: nothing with a size to plan with
  IMAGE_SIZE_UNKNOWN,  // the size query failed
  IMAGE_EMPTY,
  IMAGE_TOO_LARGE,     // more than the download command can number
  IMAGE_NO_MEMORY,
  IMAGE_READ_FAILED,   // a read failed, or the file ended before its size
  IMAGE_CHANGED        // its size changed while it was read
};

struct LoadedImage {
  ImageLoadOutcome outcome;
  uint32_t systemError;  // errno or the Win32 error behind a failure, 0 when none
  BlockPlan plan;
  // IMAGE_LOADED: the plan's whole blocks, page-aligned, zero after the
  // file's last byte; null otherwise.
  uint8_t *blocks;
};

LoadedImage LoadImageFile(const char *path);
void FreeImage(LoadedImage &image);

#endif
