// bare_flash.exe IMAGE LETTER: the least a flasher can do, as the yardstick
// of the benchmark. Reads the image whole, then for each 40960-byte block
// adds it to the checksum and sends one direct pass-through request to the
// drive on LETTER; no window, no log, no progress. Exit code 0 when every
// block went through.
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <cstdio>
#include <vector>

#include "core/blocks.h"
#include "core/scsi.h"

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: bare_flash IMAGE LETTER\n");
    return 2;
  }
  HANDLE file = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  LARGE_INTEGER size;
  if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size) || size.QuadPart == 0 ||
      (uint64_t)size.QuadPart > MAX_IMAGE_SIZE)
    return 3;
  size_t blocks = (size_t)((size.QuadPart + BLOCK_SIZE - 1) / BLOCK_SIZE);
  std::vector<uint8_t> image(blocks * BLOCK_SIZE, 0);
  DWORD got = 0;
  if (!ReadFile(file, image.data(), (DWORD)size.QuadPart, &got, NULL) || got != size.QuadPart) return 3;
  CloseHandle(file);

  char path[8];
  snprintf(path, sizeof path, "\\\\.\\%c:", argv[2][0]);
  HANDLE drive = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL,
                             OPEN_EXISTING, 0, NULL);
  if (drive == INVALID_HANDLE_VALUE) return 4;

  struct {
    SCSI_PASS_THROUGH_DIRECT header;
    ULONG filler;
    UCHAR sense[32];
  } request;
  uint16_t checksum = 0;
  for (size_t i = 0; i < blocks; ++i) {
    uint8_t *block = image.data() + i * BLOCK_SIZE;
    checksum = AddToChecksum(checksum, block);
    ZeroMemory(&request, sizeof request);
    request.header.Length = sizeof request.header;
    request.header.CdbLength = DOWNLOAD_CDB_LENGTH;
    request.header.SenseInfoLength = 24;
    request.header.DataIn = SCSI_IOCTL_DATA_OUT;
    request.header.DataTransferLength = BLOCK_SIZE;
    request.header.TimeOutValue = 100;
    request.header.DataBuffer = block;
    request.header.SenseInfoOffset = offsetof(decltype(request), sense);
    BuildDownloadCommand(i + 1 == blocks ? (uint8_t)LAST_BLOCK_INDEX : (uint8_t)i, BLOCK_SIZE, checksum,
                         request.header.Cdb);
    DWORD returned;
    if (!DeviceIoControl(drive, IOCTL_SCSI_PASS_THROUGH_DIRECT, &request, sizeof request, &request,
                         sizeof request, &returned, NULL) ||
        request.header.ScsiStatus != 0)
      return 1;
  }
  CloseHandle(drive);
  return 0;
}
