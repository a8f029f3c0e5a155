#include "transport/image_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

// Reads `size` bytes: 1 only when every byte arrived.
static int ReadWhole(int file, uint8_t *blocks, uint64_t size, uint32_t *error) {
  for (uint64_t done = 0; done < size;) {
    uint64_t left = size - done;
    ssize_t got = read(file, blocks + done, left < BLOCK_SIZE ? (size_t)left : (size_t)BLOCK_SIZE);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *error = (uint32_t)errno;
      return 0;
    }
    if (got == 0) return 0;  // the file ended early: it shrank since its size was read
    done += (uint64_t)got;
  }
  return 1;
}

// After its planned bytes the file must end, with the size it had: one
// that grows or is rewritten while it is read is no image to trust.
static bool SizeHeld(int file, uint64_t size) {
  uint8_t more;
  ssize_t got;
  do {
    got = read(file, &more, 1);
  } while (got < 0 && errno == EINTR);
  struct stat status;
  return got == 0 && fstat(file, &status) == 0 && (uint64_t)status.st_size == size;
}

LoadedImage LoadImageFile(const char *path) {
  LoadedImage image = {IMAGE_NOT_OPENED, 0, PlanBlocks(0), nullptr};
  // Without blocking: a pipe would wait for a writer before it can be told
  // from a file.
  int file = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (file < 0) {
    image.systemError = (uint32_t)errno;
    return image;
  }
  struct stat status;
  if (fstat(file, &status) != 0) {
    image.outcome = IMAGE_SIZE_UNKNOWN;
    image.systemError = (uint32_t)errno;
  } else if (!S_ISREG(status.st_mode)) {
    image.outcome = IMAGE_NOT_A_FILE;
    image.systemError = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
  } else {
    fcntl(file, F_SETFL, 0);  // a regular file reads the same, but say what is meant
    image.plan = PlanBlocks((uint64_t)status.st_size);
    if (image.plan.verdict == PlanEmpty) {
      image.outcome = IMAGE_EMPTY;
    } else if (image.plan.verdict == PlanTooLarge) {
      image.outcome = IMAGE_TOO_LARGE;
    } else {
      // Anonymous pages come zeroed, which is the fill after the file's last byte.
      void *pages = mmap(nullptr, PlannedBytes(image.plan), PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      uint32_t error = 0;
      if (pages == MAP_FAILED) {
        image.outcome = IMAGE_NO_MEMORY;
        image.systemError = (uint32_t)errno;
      } else {
        image.blocks = (uint8_t *)pages;
        if (!ReadWhole(file, image.blocks, image.plan.imageSize, &error)) {
          image.outcome = error != 0 ? IMAGE_READ_FAILED : IMAGE_CHANGED;
          image.systemError = error;
          FreeImage(image);
        } else if (!SizeHeld(file, image.plan.imageSize)) {
          image.outcome = IMAGE_CHANGED;
          FreeImage(image);
        } else {
          image.outcome = IMAGE_LOADED;
        }
      }
    }
  }
  close(file);
  return image;
}

void FreeImage(LoadedImage &image) {
  if (image.blocks != nullptr) munmap(image.blocks, PlannedBytes(image.plan));
  image.blocks = nullptr;
}
