#include "core/blocks.h"

#include <cstdio>

BlockPlan PlanBlocks(uint64_t imageSize) {
  // An image the command cannot carry gets no block at all, so a caller that
  // looped over it anyway would send nothing.
  BlockPlan plan = {imageSize, -1, 0, PlanFits};
  if (imageSize == 0) {
    plan.verdict = PlanEmpty;
    return plan;
  }
  // The whole 64-bit size counts: cutting it to 32 bits would turn a 4 GiB
  // file into a small one and flash a fraction of it.
  if (imageSize > MAX_IMAGE_SIZE) {
    plan.verdict = PlanTooLarge;
    return plan;
  }
  // An exact multiple of the block size ends in a full block, not an empty one.
  plan.lastIndex = (int32_t)((imageSize - 1) / BLOCK_SIZE);
  plan.lastSize = (int32_t)(imageSize - (uint64_t)plan.lastIndex * BLOCK_SIZE);
  return plan;
}

size_t PlannedBytes(const BlockPlan &plan) {
  return plan.verdict == PlanFits ? (size_t)(plan.lastIndex + 1) * BLOCK_SIZE : 0;
}

uint8_t BlockIndex(const BlockPlan &plan, int32_t position) {
  // The drive knows the end of the image by the index 0xFF alone.
  return position == plan.lastIndex ? (uint8_t)LAST_BLOCK_INDEX : (uint8_t)position;
}

uint16_t AddToChecksum(uint16_t checksum, const uint8_t *block) {
  uint32_t sum = checksum;
  for (size_t i = 0; i < BLOCK_SIZE; ++i) sum += block[i];
  return (uint16_t)sum;  // the drive keeps a 16-bit sum
}

uint16_t ImageChecksum(const uint8_t *image, const BlockPlan &plan) {
  uint16_t checksum = 0;
  for (size_t at = 0; at < PlannedBytes(plan); at += BLOCK_SIZE)
    checksum = AddToChecksum(checksum, image + at);
  return checksum;
}

void FormatChecksumLine(uint16_t checksum, char *text) {
  snprintf(text, 26, "Firmware check sum: %04X", (unsigned)checksum);
}
