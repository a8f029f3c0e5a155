// An image's size and bytes: the plan made of the size, and the flash
// sequence sending the bytes to a drive that checks every block.
#include <cstdint>
#include <vector>

#include "core/flash_sequence.h"
#include "fuzz.h"

namespace {

// Checks what a correct drive checks: order, index, length, running sum.
class CheckingLink : public DriveLink {
 public:
  CommandResult Perform(const ScsiCommand &command) override {
    FUZZ_CHECK(command.cdbLength == DOWNLOAD_CDB_LENGTH && command.cdb[0] == 0x55);
    FUZZ_CHECK(command.direction == DATA_OUT && command.length == BLOCK_SIZE);
    for (uint32_t i = 0; i < command.length; ++i) sum = (uint16_t)(sum + command.data[i]);
    FUZZ_CHECK((command.cdb[9] << 8 | command.cdb[10]) == sum);
    FUZZ_CHECK(!last);
    last = command.cdb[6] == LAST_BLOCK_INDEX;
    if (!last) FUZZ_CHECK(command.cdb[6] == blocks);
    ++blocks;
    return CommandResult();
  }
  CommandResult PrepareForFlash() override { return CommandResult(); }
  uint16_t sum = 0;
  int blocks = 0;
  bool last = false;
};

class Quiet : public FlashObserver {
 public:
  void Log(std::initializer_list<const char *>) override {}
  void Progress(int sent, int) override { FUZZ_CHECK(sent == ++progress); }
  int progress = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 8) return 0;
  uint64_t claimed = 0;
  memcpy(&claimed, data, 8);
  BlockPlan plan = PlanBlocks(claimed);
  FUZZ_CHECK((plan.verdict == PlanFits) == (claimed >= 1 && claimed <= MAX_IMAGE_SIZE));
  if (plan.verdict == PlanFits) {
    FUZZ_CHECK(plan.lastIndex >= 0 && plan.lastIndex <= 255);
    FUZZ_CHECK(plan.lastSize >= 1 && plan.lastSize <= BLOCK_SIZE);
    FUZZ_CHECK((uint64_t)plan.lastIndex * BLOCK_SIZE + plan.lastSize == claimed);
  } else {
    FUZZ_CHECK(plan.lastIndex == -1 && PlannedBytes(plan) == 0);
  }

  // The rest of the input is an image of its own size, sent whole.
  BlockPlan imagePlan = PlanBlocks(size - 8);
  std::vector<uint8_t> image(PlannedBytes(imagePlan), 0);
  if (size > 8) memcpy(image.data(), data + 8, size - 8);
  CheckingLink link;
  Quiet observer;
  FlashReport report = RunFlashSequence(link, image.empty() ? nullptr : image.data(), imagePlan,
                                        observer);
  if (imagePlan.verdict != PlanFits) {
    FUZZ_CHECK(report.outcome == FLASH_REFUSED && link.blocks == 0);
    return 0;
  }
  FUZZ_CHECK(report.outcome == FLASH_SUCCEEDED && link.last);
  FUZZ_CHECK(link.blocks == imagePlan.lastIndex + 1 && observer.progress == link.blocks);
  FUZZ_CHECK(report.checksum == link.sum && report.checksum == ImageChecksum(image.data(), imagePlan));
  return 0;
}
