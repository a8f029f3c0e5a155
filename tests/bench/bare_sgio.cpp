// bare_sgio IMAGE DEVICE: the least a flasher can do on Linux, as the
// yardstick of the benchmark. Reads the image whole, then for each
// 40960-byte block adds it to the checksum and sends one SG_IO request;
// nothing else. Exit code 0 when every block went through.
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "core/blocks.h"
#include "core/scsi.h"

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: bare_sgio IMAGE DEVICE\n");
    return 2;
  }
  int file = open(argv[1], O_RDONLY);
  struct stat status;
  if (file < 0 || fstat(file, &status) != 0 || status.st_size == 0 ||
      (uint64_t)status.st_size > MAX_IMAGE_SIZE)
    return 3;
  size_t blocks = (size_t)((status.st_size + BLOCK_SIZE - 1) / BLOCK_SIZE);
  std::vector<uint8_t> image(blocks * BLOCK_SIZE, 0);
  if (read(file, image.data(), status.st_size) != status.st_size) return 3;
  close(file);

  int drive = open(argv[2], O_RDWR | O_NONBLOCK);
  if (drive < 0) return 4;
  uint16_t checksum = 0;
  for (size_t i = 0; i < blocks; ++i) {
    uint8_t *block = image.data() + i * BLOCK_SIZE;
    checksum = AddToChecksum(checksum, block);
    uint8_t cdb[DOWNLOAD_CDB_LENGTH], sense[32];
    BuildDownloadCommand(i + 1 == blocks ? (uint8_t)LAST_BLOCK_INDEX : (uint8_t)i, BLOCK_SIZE,
                         checksum, cdb);
    sg_io_hdr_t request;
    memset(&request, 0, sizeof request);
    request.interface_id = 'S';
    request.dxfer_direction = SG_DXFER_TO_DEV;
    request.cmd_len = sizeof cdb;
    request.cmdp = cdb;
    request.dxferp = block;
    request.dxfer_len = BLOCK_SIZE;
    request.sbp = sense;
    request.mx_sb_len = sizeof sense;
    request.timeout = 100000;
    if (ioctl(drive, SG_IO, &request) != 0 || request.status != 0) return 1;
  }
  close(drive);
  return 0;
}
