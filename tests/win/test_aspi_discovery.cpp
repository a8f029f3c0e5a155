// Listing the drives of a scripted ASPI bus in the real device list.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

#include "dialog_watch.h"
#include "app/device_list.h"
#include "fake_aspi.h"
#include "main_window_fixture.h"

namespace {

std::vector<BYTE> Inquiry(BYTE type, const char *vendor, const char *product, const char *revision) {
  std::vector<BYTE> data(38, 0);
  data[0] = type;
  memcpy(&data[8], vendor, strlen(vendor));
  memcpy(&data[16], product, strlen(product));
  memcpy(&data[32], revision, strlen(revision));
  return data;
}

class AspiDiscoveryTest : public MainWindowTest {
 protected:
  void SetUp() override {
    MainWindowTest::SetUp();
    InstallFakeAspi();
    CurrentTransport = AspiMode;
  }
  void TearDown() override {
    SendDlgItemMessageA(window, IDC_DEVICE_LIST, LB_RESETCONTENT, 0, 0);
    FreeAspiNodes();
    MainWindowTest::TearDown();
  }
  std::vector<std::string> Entries() {
    std::vector<std::string> entries;
    HWND list = GetDlgItem(window, IDC_DEVICE_LIST);
    int count = (int)SendMessageA(list, LB_GETCOUNT, 0, 0);
    for (int i = 0; i < count; ++i) {
      char text[256];
      SendMessageA(list, LB_GETTEXT, i, (LPARAM)text);
      entries.push_back(text);
    }
    return entries;
  }
  const AspiDeviceNode *Datum(int entry) {
    return (const AspiDeviceNode *)SendDlgItemMessageA(window, IDC_DEVICE_LIST, LB_GETITEMDATA, entry, 0);
  }
};

TEST_F(AspiDiscoveryTest, TwoAdaptersListInOrderAndTheNewestNodeHeadsTheList) {
  FakeAdapters = {8, 8};
  FakeTargets = {{0, 1, 5, Inquiry(5, "AB", "CD-RW 1234", "1.0 ")},
                 {1, 0, 5, Inquiry(0, "VENDOR12", "PRODUCT_SIXTEEN!", "REV12Z")}};
  RefreshPending = 1;
  RefreshDeviceList();
  EXPECT_EQ(0, RefreshPending);
  EXPECT_EQ((std::vector<std::string>{
                "Device: AB      CD-RW 1234         Firmware Version: 1.0",
                "Device: VENDOR12PRODUCT_SIXTEEN!   Firmware Version: REV12Z"}),
            Entries());
  EXPECT_EQ(0, SendDlgItemMessageA(window, IDC_DEVICE_LIST, LB_GETCURSEL, 0, 0));
  ASSERT_NE(nullptr, AspiNodeList);
  EXPECT_EQ(Datum(1), AspiNodeList);
  EXPECT_EQ(Datum(0), AspiNodeList->next);
  EXPECT_EQ(1, Datum(1)->hostAdapterId);
  EXPECT_EQ(1, Datum(0)->targetId);
  EXPECT_TRUE(Enabled(IDC_FLASH));
}

TEST_F(AspiDiscoveryTest, TargetsScannedFollowTheAdaptersMaximum) {
  const BYTE maxima[] = {0, 16, 15, 32};
  const int scanned[] = {8, 16, 8, 8};
  for (int i = 0; i < 4; ++i) {
    InstallFakeAspi();
    FakeAdapters = {maxima[i]};
    FillAspiEntries();
    EXPECT_EQ(1 + scanned[i], FakeDeviceQueries) << "HA_Unique byte 3 = " << (int)maxima[i];
  }
}

TEST_F(AspiDiscoveryTest, OnlyConfirmedCdDrivesAreListed) {
  FakeTargets = {{0, 0, 5, Inquiry(0x25, "QUAL", "SET", "1")},   // qualifier bits set
                 {0, 1, 0, Inquiry(5, "DISK", "TYPE0", "1")},    // ASPI says disk
                 {0, 2, 5, Inquiry(0x00, "DIRECT", "ACCESS", "2")}};
  DialogWatch watch;
  EXPECT_EQ(1, FillAspiEntries());
  EXPECT_EQ(std::vector<std::string>{"Device: DIRECT  ACCESS             Firmware Version: 2"}, Entries());
  EXPECT_TRUE(watch.seen.empty());
}

TEST_F(AspiDiscoveryTest, FailingInquiryShowsTheDialogAndSkipsTheTarget) {
  FakeTargets = {{0, 4, 5, Inquiry(5, "X", "Y", "Z")}};
  FakeCompletion failure;
  failure.status = 4;
  FakeScript = {failure};
  DialogWatch watch;
  EXPECT_EQ(0, FillAspiEntries());
  EXPECT_EQ(1u, watch.seen.size());
  EXPECT_EQ(nullptr, AspiNodeList);
}

TEST_F(AspiDiscoveryTest, NotReadyLayerListsNothing) {
  FakeAdapters.clear();
  EXPECT_EQ(0, FillAspiEntries());
  EXPECT_EQ(0, FakeDeviceQueries);
}

}  // namespace
