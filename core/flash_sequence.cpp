#include "core/flash_sequence.h"

#include <cstdio>

static void LogOutcome(FlashObserver &observer, const char *line) {
  observer.Log({" ", line, " "});
}

// A system error is named by its number; a drive's or adapter's refusal is not.
static void LogFailure(FlashObserver &observer, const CommandResult &result) {
  char line[48];
  if (result.kind == CommandResult::SYSTEM_ERROR) {
    snprintf(line, sizeof line, "======== FAIL %d========", (int)result.systemError);
    LogOutcome(observer, line);
  } else {
    LogOutcome(observer, "======== FAIL ========");
  }
}

static FlashReport SendBlocks(DriveLink &link, const uint8_t *image, const BlockPlan &plan,
                              FlashObserver &observer, uint32_t lastBlockTimeout) {
  FlashReport report = {FLASH_SUCCEEDED, 0, 0, CommandResult(), 0};
  report.failure = link.PrepareForFlash();
  if (!report.failure.Succeeded()) {
    // Only the fact is logged: a drive that does not answer gets no number.
    LogOutcome(observer, "======== FAIL ========");
    report.outcome = FLASH_NOT_PREPARED;
    return report;
  }
  if (observer.StopBeforeFirstBlock()) {
    report.outcome = FLASH_STOPPED;
    return report;
  }
  int blocks = plan.lastIndex + 1;
  for (int32_t position = 0; position < blocks; ++position) {
    uint8_t *block = const_cast<uint8_t *>(image) + (size_t)position * BLOCK_SIZE;
    uint8_t index = BlockIndex(plan, position);
    report.checksum = AddToChecksum(report.checksum, block);
    if (index == LAST_BLOCK_INDEX) {
      char line[32];
      FormatChecksumLine(report.checksum, line);
      observer.Log({line, "Please wait...."});
    }
    CommandResult result = link.Run(DownloadCommand(
        index, report.checksum, block, index == LAST_BLOCK_INDEX ? lastBlockTimeout : (uint32_t)DOWNLOAD_TIMEOUT_S));
    if (!result.Succeeded()) {
      LogFailure(observer, result);
      report.outcome = FLASH_BLOCK_FAILED;
      report.failedIndex = index;
      report.failure = result;
      return report;
    }
    report.blocksSent = position + 1;
    observer.Progress(report.blocksSent, blocks);
  }
  LogOutcome(observer, "======== SUCCEED ========");
  return report;
}

FlashReport RunFlashSequence(DriveLink &link, const uint8_t *image, const BlockPlan &plan,
                             FlashObserver &observer, uint32_t lastBlockTimeout) {
  if (plan.verdict != PlanFits || image == nullptr) {
    FlashReport refused = {FLASH_REFUSED, 0, 0, CommandResult(), 0};
    return refused;
  }
  observer.Log({"Start Flashing...", "Don't turn off the power!!"});
  observer.CommandsBegin();
  FlashReport report = SendBlocks(link, image, plan, observer, lastBlockTimeout);
  observer.CommandsEnd();
  return report;
}
