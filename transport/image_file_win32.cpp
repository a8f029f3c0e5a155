#include "transport/image_file.h"

#include <windows.h>

// Reads `size` bytes a block at a time: 1 only when every byte arrived.
static int ReadWhole(HANDLE file, uint8_t *blocks, uint64_t size, DWORD *error) {
  for (uint64_t done = 0; done < size;) {
    DWORD want = size - done < BLOCK_SIZE ? (DWORD)(size - done) : (DWORD)BLOCK_SIZE;
    DWORD got = 0;
    if (!ReadFile(file, blocks + done, want, &got, NULL)) {
      *error = GetLastError();
      return 0;
    }
    if (got == 0) return 0;  // the file ended early: it shrank since its size was read
    done += got;
  }
  return 1;
}

LoadedImage LoadImageFile(const char *path) {
  LoadedImage image = {IMAGE_NOT_OPENED, 0, PlanBlocks(0), NULL};
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    image.systemError = GetLastError();
    return image;
  }
  DWORD high = 0;
  SetLastError(NO_ERROR);  // a size whose low half is 0xFFFFFFFF is no failure
  DWORD low = GetFileSize(file, &high);
  DWORD error = GetLastError();
  if (low == INVALID_FILE_SIZE && error != NO_ERROR) {
    image.outcome = IMAGE_SIZE_UNKNOWN;
    image.systemError = error;
  } else {
    image.plan = PlanBlocks(((uint64_t)high << 32) | low);
    if (image.plan.verdict == PlanEmpty) {
      image.outcome = IMAGE_EMPTY;
    } else if (image.plan.verdict == PlanTooLarge) {
      image.outcome = IMAGE_TOO_LARGE;
    } else {
      // Page-aligned, as direct pass-through wants its data; the allocation
      // comes zeroed, which is the fill after the file's last byte.
      image.blocks = (uint8_t *)VirtualAlloc(NULL, PlannedBytes(image.plan),
                                             MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
      error = 0;
      if (image.blocks == NULL) {
        image.outcome = IMAGE_NO_MEMORY;
      } else if (!ReadWhole(file, image.blocks, image.plan.imageSize, &error)) {
        image.outcome = IMAGE_READ_FAILED;
        image.systemError = error;
        FreeImage(image);
      } else {
        image.outcome = IMAGE_LOADED;
      }
    }
  }
  CloseHandle(file);
  return image;
}

void FreeImage(LoadedImage &image) {
  if (image.blocks != NULL) VirtualFree(image.blocks, 0, MEM_RELEASE);
  image.blocks = NULL;
}
