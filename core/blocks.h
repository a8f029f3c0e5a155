// Cutting a firmware image into download blocks and the running checksum
// that the download command carries. Portable.
#ifndef FLASHTOOL_CORE_BLOCKS_H
#define FLASHTOOL_CORE_BLOCKS_H

#include <cstddef>
#include <cstdint>

enum { BLOCK_SIZE = 40960, LAST_BLOCK_INDEX = 0xFF };

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

// Bytes of whole blocks that hold the image: where a loader puts it, the
// bytes after the file's last one zero.
size_t PlannedBytes(const BlockPlan &plan);

// The index byte that the block at `position` carries.
uint8_t BlockIndex(const BlockPlan &plan, int32_t position);

uint16_t AddToChecksum(uint16_t checksum, const uint8_t *block);
// The checksum after the last block: the 16-bit sum of every byte of the image.
uint16_t ImageChecksum(const uint8_t *image, const BlockPlan &plan);

// "Firmware check sum: %04X", cut to 25 characters; `text` holds at least 26.
void FormatChecksumLine(uint16_t checksum, char *text);

#endif
