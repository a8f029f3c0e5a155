// The flash job on a real window: its log rule on the real edit control and
// its road through the ASPI route against a scripted ASPI layer.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "app/device_list.h"
#include "fake_aspi.h"
#include "app/flash_job.h"
#include "main_window_fixture.h"

namespace {

class FlashJobTest : public MainWindowTest {
 protected:
  void SetUp() override {
    MainWindowTest::SetUp();
    InstallFakeAspi();
    CurrentTransport = AspiMode;
    GetTempPathA(sizeof folder, folder);
  }
  void TearDown() override {
    for (const std::string &path : images) DeleteFileA(path.c_str());
    MainWindowTest::TearDown();
  }
  // An image of `size` bytes whose bytes are (i * 7) & 0xFF.
  std::string MakeImage(const char *name, size_t size) {
    std::string path = std::string(folder) + name;
    FILE *file = fopen(path.c_str(), "wb");
    for (size_t i = 0; i < size; ++i) fputc((int)((i * 7) & 0xFF), file);
    fclose(file);
    images.push_back(path);
    return path;
  }
  void SelectDriveAndImage(const std::string &path) {
    HWND devices = GetDlgItem(window, IDC_DEVICE_LIST);
    SendMessageA(devices, LB_ADDSTRING, 0, (LPARAM) "Device: ABCD    CD-RW 1234         Firmware Version: 1.00");
    SendMessageA(devices, LB_SETITEMDATA, 0, (LPARAM)&node);
    SendMessageA(devices, LB_SETCURSEL, 0, 0);
    SendDlgItemMessageA(window, IDC_IMAGE_PATH, LB_ADDSTRING, 0, (LPARAM)path.c_str());
  }
  // Runs the job on this thread, then lets the window take in the lines and
  // the progress that the job posted. Flash must come back only with the
  // whole outcome in the log, and the token with it.
  DWORD Run() {
    EXPECT_EQ(1, TakeBusyToken());
    DWORD result = RunFlashJob(NULL);
    std::string logWhenEnabled = Enabled(IDC_FLASH) ? LogText() : "(not enabled)";
    MSG message;
    while (PeekMessageA(&message, window, 0, 0, PM_REMOVE)) {
      DispatchMessageA(&message);
      if (logWhenEnabled == "(not enabled)" && Enabled(IDC_FLASH)) logWhenEnabled = LogText();
    }
    EXPECT_EQ(LogText(), logWhenEnabled) << "the log when Flash was enabled again";
    EXPECT_EQ(1, TakeBusyToken()) << "the job gave back the token";
    GiveBackBusyToken();
    return result;
  }
  std::string LogText() { return Text(IDC_LOG); }

  AspiDeviceNode node = {0, 2, NULL};
  char folder[MAX_PATH];
  std::vector<std::string> images;
};

TEST_F(FlashJobTest, LogStartsAgainOnlyWhenALineWouldPassTheLimit) {
  std::string full(1990, 'x');
  SetDlgItemTextA(window, IDC_LOG, full.c_str());
  AppendLogLine("Start Flashing...");
  EXPECT_EQ("Start Flashing...\r\n", LogText());

  std::string most(1900, 'x');
  SetDlgItemTextA(window, IDC_LOG, most.c_str());
  AppendLogLine("Please wait....");
  EXPECT_EQ(most + "Please wait....\r\n", LogText());

  std::string over(2002, 'y');
  SetDlgItemTextA(window, IDC_LOG, over.c_str());
  AppendLogLine(" ");
  EXPECT_EQ(std::string(1999, 'y') + " \r\n", LogText());
}

TEST_F(FlashJobTest, AnOverlongLineStaysInsideTheLog) {
  AppendLogLine(std::string(5000, 'z').c_str());
  std::string text = LogText();
  EXPECT_LE(text.size(), 2002u);
  EXPECT_EQ("\r\n", text.substr(text.size() - 2));
}

TEST_F(FlashJobTest, AspiRoadPreparesTheDriveAndSendsEveryBlock) {
  SelectDriveAndImage(MakeImage("flashjob-40961.bin", 40961));
  EXPECT_EQ(1u, Run());
  ASSERT_EQ(5u, FakeSent.size());
  std::vector<BYTE> testUnitReady(16, 0), stop(16, 0);
  stop[0] = 0x1B;
  EXPECT_EQ(testUnitReady, FakeSent[0].cdb);
  EXPECT_EQ(6, FakeSent[0].cdbLength);
  EXPECT_EQ(testUnitReady, FakeSent[1].cdb);
  EXPECT_EQ(stop, FakeSent[2].cdb);
  EXPECT_EQ(12, FakeSent[2].cdbLength);
  EXPECT_EQ(0x00, FakeSent[3].cdb[6]);
  EXPECT_EQ(0xFF, FakeSent[4].cdb[6]);
  EXPECT_EQ(0x50, FakeSent[4].flags);
  EXPECT_EQ(40960u, FakeSent[4].bufferLength);
  EXPECT_EQ(2, FakeSent[4].target);
  // Every byte of the image once: the block of 40960 bytes and the one after.
  unsigned sum = 0;
  for (size_t i = 0; i < 40961; ++i) sum += (i * 7) & 0xFF;
  EXPECT_EQ((sum >> 8) & 0xFF, FakeSent[4].cdb[9]);
  EXPECT_EQ(sum & 0xFF, FakeSent[4].cdb[10]);
  char checksumLine[64];
  wsprintfA(checksumLine, "Firmware check sum: %04X", sum & 0xFFFF);
  EXPECT_EQ(std::string("Start Flashing...\r\nDon't turn off the power!!\r\n") + checksumLine +
                "\r\nPlease wait....\r\n \r\n======== SUCCEED ========\r\n \r\n",
            LogText());
  EXPECT_EQ(2, SendDlgItemMessageA(window, IDC_COLOR_SINK, PBM_GETPOS, 0, 0));
}

TEST_F(FlashJobTest, RefusedBlockEndsTheJobWithAFailure) {
  SelectDriveAndImage(MakeImage("flashjob-refused.bin", 50000));
  FakeCompletion refused;
  refused.status = 4;
  FakeScript = {FakeCompletion(), FakeCompletion(), FakeCompletion(), refused};
  EXPECT_EQ(0u, Run());
  EXPECT_EQ(4u, FakeSent.size()) << "nothing after the refused block";
  EXPECT_EQ("Start Flashing...\r\nDon't turn off the power!!\r\n \r\n======== FAIL ========\r\n \r\n",
            LogText());
}

TEST_F(FlashJobTest, ImagesTheCommandCannotCarrySendNothing) {
  SelectDriveAndImage(MakeImage("flashjob-empty.bin", 0));
  EXPECT_EQ(0u, Run());
  EXPECT_EQ("Image file is empty!\r\n", LogText());
  EXPECT_TRUE(FakeSent.empty());

  SetDlgItemTextA(window, IDC_LOG, "");
  SendDlgItemMessageA(window, IDC_IMAGE_PATH, LB_RESETCONTENT, 0, 0);
  SendDlgItemMessageA(window, IDC_IMAGE_PATH, LB_ADDSTRING, 0,
                      (LPARAM)MakeImage("flashjob-large.bin", 10485761).c_str());
  EXPECT_EQ(0u, Run());
  EXPECT_EQ("Image file is too large!\r\n", LogText());
  EXPECT_TRUE(FakeSent.empty());
}

TEST_F(FlashJobTest, MissingInputsAreToldOrIgnored) {
  SelectDriveAndImage("");
  SendDlgItemMessageA(window, IDC_IMAGE_PATH, LB_RESETCONTENT, 0, 0);
  EXPECT_EQ(0u, Run());
  EXPECT_EQ("Please select an image file!\r\n", LogText());

  SetDlgItemTextA(window, IDC_LOG, "");
  SendDlgItemMessageA(window, IDC_DEVICE_LIST, LB_SETCURSEL, (WPARAM)-1, 0);
  EXPECT_EQ(0u, Run());
  EXPECT_EQ("", LogText());
  EXPECT_TRUE(FakeSent.empty());
}

}  // namespace
