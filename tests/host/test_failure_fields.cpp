#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/failure_fields.h"

namespace {

struct Fields {
  char text[FAILURE_FIELD_COUNT][FAILURE_FIELD_SIZE];
  std::vector<std::string> Of(const FailureView &view) {
    FormatFailureFields(view, "N/A", text);
    return std::vector<std::string>(text, text + FAILURE_FIELD_COUNT);
  }
};

const uint8_t InquiryCdb[16] = {0x12, 0x00, 0x00, 0x00, 0x26, 0x00};

uint8_t Sense[14] = {0x70, 0x00, 0x06, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x28, 0x00};

}  // namespace

TEST(FailureFields, CheckConditionShowsSense) {
  Fields fields;
  FailureView view = {1, 6, InquiryCdb, 0, 2, Sense};
  EXPECT_EQ(fields.Of(view), (std::vector<std::string>{"1", "12 00 00 00 26 00 ", "0", "2", "6",
                                                       "40", "0"}));
  // Only the low four bits of byte 2 are the sense key.
  uint8_t sense[14] = {0x70, 0x00, 0x86};
  view.sense = sense;
  EXPECT_EQ(fields.Of(view)[4], "6");
}

TEST(FailureFields, OtherTargetStatusesShowNotAvailable) {
  Fields fields;
  // A status byte of 255 shows as 255, never as -1.
  FailureView view = {255, 6, InquiryCdb, 255, 0, Sense};
  EXPECT_EQ(fields.Of(view), (std::vector<std::string>{"255", "12 00 00 00 26 00 ", "255", "0",
                                                       "N/A", "N/A", "N/A"}));
  view.targetStatus = 8;
  std::vector<std::string> shown = fields.Of(view);
  EXPECT_EQ(std::vector<std::string>(shown.begin() + 4, shown.end()),
            (std::vector<std::string>{"N/A", "N/A", "N/A"}));
}

TEST(FailureFields, CdbLengthBeyond16ShowsOnly16Bytes) {
  Fields fields;
  // Exactly 16 bytes on the heap, so a read past them is caught.
  std::unique_ptr<uint8_t[]> cdb(new uint8_t[16]);
  for (int i = 0; i < 16; ++i) cdb[i] = (uint8_t)(0xF0 + i);
  FailureView view = {1, 200, cdb.get(), 0, 2, Sense};
  EXPECT_EQ(fields.Of(view)[1],
            "F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF ");
  view.cdbLength = 0;
  EXPECT_EQ(fields.Of(view)[1], "");
}
