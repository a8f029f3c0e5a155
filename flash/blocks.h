// Cutting a firmware image into download blocks, the running checksum and
// the vendor download command that carries each block. Portable: no Windows.
#ifndef FLASHTOOL_FLASH_BLOCKS_H
#define FLASHTOOL_FLASH_BLOCKS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

enum { BLOCK_SIZE = 40960, DOWNLOAD_CDB_LENGTH = 12, LAST_BLOCK_INDEX = 0xFF };

// Largest image the one-byte block index can number: 255 full blocks and the last.
const uint64_t MAX_IMAGE_SIZE = 256ull * BLOCK_SIZE;

enum PlanVerdict { PlanFits, PlanEmpty, PlanTooLarge };

struct BlockPlan {
  uint64_t imageSize;  // the file's whole size
  int32_t lastIndex;   // position of the last block; -1 for an empty image
  int32_t lastSize;    // file bytes in the last block, 1..BLOCK_SIZE
  PlanVerdict verdict; // whether the download command can carry the image
};

BlockPlan PlanBlocks(uint64_t imageSize);

// Reads the block at `position` into `buffer` (BLOCK_SIZE bytes), zero-fills
// the rest of the last block and returns the index byte to send. `delivered`
// receives how many bytes the stream really gave and `expected` how many the
// block needed: a caller must not send a block where they differ.
uint8_t LoadBlock(FILE *image, int32_t position, const BlockPlan &plan,
                  uint8_t *buffer, size_t *delivered, size_t *expected);

uint16_t AddToChecksum(uint16_t checksum, const uint8_t *buffer);

void BuildDownloadCommand(uint8_t index, uint16_t dataLength, uint16_t checksum,
                          uint8_t cdb[DOWNLOAD_CDB_LENGTH]);

// "Firmware check sum: %04X", cut to 25 characters; `text` holds at least 26.
void FormatChecksumLine(uint16_t checksum, char *text);

#endif
