// The flash request and the diagnostic execution against a scripted ASPI
// layer; the failure dialog is the real one from the real template.
#include <windows.h>

#include <gtest/gtest.h>

#include "app/failure_dialog.h"
#include "dialog_watch.h"
#include "fake_aspi.h"
#include "main_window_fixture.h"
#include "transport/aspi.h"

namespace {

std::vector<BYTE> Cdb(std::initializer_list<int> bytes) {
  std::vector<BYTE> cdb(ASPI_CDB_SIZE, 0);
  int i = 0;
  for (int b : bytes) cdb[i++] = (BYTE)b;
  return cdb;
}

class AspiExecutionTest : public MainWindowTest {
 protected:
  void SetUp() override {
    MainWindowTest::SetUp();
    InstallFakeAspi();
  }
  BYTE Execute() { return ExecuteFlashRequest(AspiBinding, request, 1, 3); }
  int Diagnose(BYTE target = 3) {
    static const BYTE inquiry[6] = {0x12, 0, 0, 0, 0x26, 0};
    BYTE data[38];
    FailureDialogReporter dialog;
    return ExecuteWithDiagnostics(AspiBinding, target == 3 ? 1 : 0, target, SRB_DIR_IN, 38, data,
                                  6, inquiry, dialog);
  }
  SRB_ExecSCSICmdFlash request;
};

TEST_F(AspiExecutionTest, PreparationCommandGoesOutWithAnEventAndNoData) {
  PrepareFlashRequest(request, 6, {0, 0, 0, 0, 0, 0});
  EXPECT_EQ(SS_COMP, Execute());
  ASSERT_EQ(1u, FakeSent.size());
  EXPECT_EQ(0x40, FakeSent[0].flags);
  EXPECT_EQ(6, FakeSent[0].cdbLength);
  EXPECT_EQ(0u, FakeSent[0].bufferLength);
  EXPECT_EQ(24, FakeSent[0].senseLength);
  EXPECT_EQ(1, FakeSent[0].haId);
  EXPECT_EQ(3, FakeSent[0].target);
}

TEST_F(AspiExecutionTest, MarkerEndsTheValuesAndTheRestStaysZero) {
  PrepareFlashRequest(request, 12, {0x1B, CDB_VALUES_END, 0x77});
  Execute();
  EXPECT_EQ(Cdb({0x1B}), FakeSent[0].cdb);
  EXPECT_EQ(12, FakeSent[0].cdbLength);
}

TEST_F(AspiExecutionTest, OverlongCdbLengthNeverWritesPastTheCdb) {
  PrepareFlashRequest(request, 40, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18});
  Execute();
  EXPECT_EQ(Cdb({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}), FakeSent[0].cdb);
  EXPECT_EQ(16, FakeSent[0].cdbLength);
  EXPECT_EQ(0, request.SenseArea[0]);
}

TEST_F(AspiExecutionTest, DownloadBlockCarriesTheCommandAndTheData) {
  static BYTE block[40960];
  AspiLink link(AspiBinding, 1, 3);
  EXPECT_TRUE(link.Run(DownloadCommand(0xFF, 0x0126, block)).Succeeded());
  EXPECT_EQ(Cdb({0x55, 0x00, 0x2B, 0x41, 0x50, 0x49, 0xFF, 0xA0, 0x00, 0x01, 0x26, 0x00}),
            FakeSent[0].cdb);
  EXPECT_EQ(0x50, FakeSent[0].flags);
  EXPECT_EQ(40960u, FakeSent[0].bufferLength);
  EXPECT_EQ(block, FakeSent[0].buffer);
  EXPECT_EQ(12, FakeSent[0].cdbLength);
}

TEST_F(AspiExecutionTest, StatusComesFromTheRequestWhetherAtOnceOrLater) {
  FakeScript = {{0xE0}};
  PrepareFlashRequest(request, 6, {0});
  EXPECT_EQ(0xE0, Execute());
  FakeCompletion later;
  later.status = 0x04;
  later.later = true;
  FakeScript = {later};
  FakeSent.clear();
  PrepareFlashRequest(request, 6, {0});
  EXPECT_EQ(0x04, Execute());
}

TEST_F(AspiExecutionTest, UnitAttentionShowsTheDialogAfterOneExecution) {
  FakeCompletion attention;
  attention.status = 4;
  attention.targetStatus = 2;
  attention.sense2 = 0x26;  // only the low four bits are the key
  FakeScript = {attention, FakeCompletion()};
  DialogWatch watch;
  EXPECT_EQ(0, Diagnose());
  EXPECT_EQ(1u, FakeSent.size());
  EXPECT_EQ(1u, watch.seen.size());
  EXPECT_EQ(14, FakeSent[0].senseLength);
  EXPECT_EQ(0x48, FakeSent[0].flags);
}

TEST_F(AspiExecutionTest, OtherFailureIsTriedOnceMore) {
  FakeCompletion notReady;
  notReady.status = 4;
  notReady.targetStatus = 2;
  notReady.sense2 = 2;
  FakeScript = {notReady, FakeCompletion()};
  {
    DialogWatch watch;
    EXPECT_EQ(1, Diagnose());
    EXPECT_EQ(2u, FakeSent.size());
    EXPECT_TRUE(watch.seen.empty());
  }
  FakeCompletion aspiError;
  aspiError.status = 0xE2;
  FakeScript = {aspiError};
  FakeSent.clear();
  DialogWatch watch;
  EXPECT_EQ(0, Diagnose());
  EXPECT_EQ(2u, FakeSent.size());
  EXPECT_EQ(1u, watch.seen.size());
}

TEST_F(AspiExecutionTest, FailureDialogShowsTheRequest) {
  FakeCompletion attention;
  attention.status = 4;
  attention.targetStatus = 2;
  attention.sense2 = 0x06;
  attention.asc = 0x28;
  FakeScript = {attention};
  DialogWatch watch;
  Diagnose(1);
  ASSERT_EQ(1u, watch.seen.size());
  const SeenDialog &dialog = watch.seen[0];
  EXPECT_EQ("!!! SCSI \xab\xfc\xa5\x4f\xa5\xa2\xb1\xd1 !!!", dialog.title);
  EXPECT_EQ((std::vector<std::string>{"1", "12 00 00 00 26 00 ", "0", "2", "6", "40", "0"}),
            dialog.fields);
  EXPECT_EQ(window, dialog.owner);
  EXPECT_FALSE(dialog.ownerEnabled);
}

TEST_F(AspiExecutionTest, SenseFieldsAreNotAvailableWithoutCheckCondition) {
  FakeCompletion busy;
  busy.status = 4;
  busy.hostAdapterStatus = 255;
  busy.targetStatus = 8;
  busy.sense2 = 6;
  FakeScript = {busy};
  DialogWatch watch;
  Diagnose();
  ASSERT_EQ(1u, watch.seen.size());
  EXPECT_EQ((std::vector<std::string>{"3", "12 00 00 00 26 00 ", "255", "8", "N/A", "N/A", "N/A"}),
            watch.seen[0].fields);
}

}  // namespace
