// The flash itself: an image already in memory goes to a drive through a
// drive link, with the drive's preparation before it and the outcome after,
// telling an observer what happens in the progress log's own words.
// Portable: the window and the command line run the same sequence.
#ifndef FLASHTOOL_CORE_FLASH_SEQUENCE_H
#define FLASHTOOL_CORE_FLASH_SEQUENCE_H

#include <cstdint>
#include <initializer_list>

#include "core/blocks.h"
#include "core/scsi.h"

class FlashObserver {
 public:
  virtual ~FlashObserver() = default;
  // Lines that belong together, in log order; no line is ever empty.
  virtual void Log(std::initializer_list<const char *> lines) = 0;
  // After every block the drive accepted.
  virtual void Progress(int blocksSent, int blocks) = 0;
  // From the first command until the outcome lines are written, the drive
  // must not lose its host: the place to hold off sleep and interruptions.
  virtual void CommandsBegin() {}
  virtual void CommandsEnd() {}
  // Asked once, after the preparation and before the first block: true
  // stops the flash while the drive holds nothing of the image.
  virtual bool StopBeforeFirstBlock() { return false; }
};

enum FlashOutcome {
  FLASH_SUCCEEDED,
  FLASH_NOT_PREPARED,  // the preparation failed; no block was sent
  FLASH_BLOCK_FAILED,  // a block failed; the drive holds the blocks before it
  FLASH_STOPPED,       // stopped before the first block; nothing was written
  FLASH_REFUSED        // the plan fits no download; nothing was sent
};

struct FlashReport {
  FlashOutcome outcome;
  int32_t blocksSent;      // blocks the drive accepted
  uint8_t failedIndex;     // FLASH_BLOCK_FAILED: the index of the block that failed
  CommandResult failure;   // what the failed command or preparation answered
  uint16_t checksum;       // of the whole image, once the last block was summed
};

// `image` holds the plan's whole blocks, zero after the file's last byte.
// The last block's command waits `lastBlockTimeout` seconds: a drive may
// erase and program its flash before it answers it, and a time-out would
// reset it part-way.
FlashReport RunFlashSequence(DriveLink &link, const uint8_t *image, const BlockPlan &plan,
                             FlashObserver &observer,
                             uint32_t lastBlockTimeout = DOWNLOAD_TIMEOUT_S);

#endif
