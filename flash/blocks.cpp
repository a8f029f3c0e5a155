#include "flash/blocks.h"

#include <cstring>

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

uint8_t LoadBlock(FILE *image, int32_t position, const BlockPlan &plan, uint8_t *buffer,
                  size_t *delivered, size_t *expected) {
  if (plan.verdict != PlanFits || position < 0 || position > plan.lastIndex) {
    // Not a block of this plan: nothing to read, and the counts disagree so
    // that the caller sends nothing.
    memset(buffer, 0, BLOCK_SIZE);
    *delivered = 0;
    *expected = BLOCK_SIZE;
    return LAST_BLOCK_INDEX;
  }
  bool last = position == plan.lastIndex;
  *expected = last ? (size_t)plan.lastSize : (size_t)BLOCK_SIZE;
  // The stream is read front to back, one block after the other.
  *delivered = fread(buffer, 1, *expected, image);
  // Zero whatever the file did not fill: the tail of the last block, and on a
  // short read the bytes left over from the previous block.
  memset(buffer + *delivered, 0, BLOCK_SIZE - *delivered);
  // The drive knows the end of the image by the index 0xFF alone.
  return last ? (uint8_t)LAST_BLOCK_INDEX : (uint8_t)position;
}

uint16_t AddToChecksum(uint16_t checksum, const uint8_t *buffer) {
  uint32_t sum = checksum;
  for (size_t i = 0; i < BLOCK_SIZE; ++i) sum += buffer[i];
  return (uint16_t)sum;  // the drive keeps a 16-bit sum
}

void BuildDownloadCommand(uint8_t index, uint16_t dataLength, uint16_t checksum,
                          uint8_t cdb[DOWNLOAD_CDB_LENGTH]) {
  cdb[0] = 0x55;  // vendor download operation code
  cdb[1] = 0x00;
  cdb[2] = '+';   // signature the firmware loader checks: "+API"
  cdb[3] = 'A';
  cdb[4] = 'P';
  cdb[5] = 'I';
  cdb[6] = index;
  cdb[7] = (uint8_t)(dataLength >> 8);  // big-endian, as SCSI fields are
  cdb[8] = (uint8_t)(dataLength & 0xFF);
  cdb[9] = (uint8_t)(checksum >> 8);    // running sum including this block
  cdb[10] = (uint8_t)(checksum & 0xFF);
  cdb[11] = 0x00;
}

void FormatChecksumLine(uint16_t checksum, char *text) {
  snprintf(text, 26, "Firmware check sum: %04X", (unsigned)checksum);
}
