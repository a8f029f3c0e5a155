// The busy token, Exit and the window's message table on a real window.
#include "main_window_fixture.h"

#include <dbt.h>

#include "app/device_list.h"

static const int Guarded[] = {IDC_DEVICE_LIST, IDC_FLASH, IDC_BROWSE, IDOK};

TEST_F(MainWindowTest, FirstTakeCreatesTheTokenHeldAndGreysTheFourControls) {
  ASSERT_EQ(1, TakeBusyToken());
  ASSERT_NE(nullptr, BusyToken);
  for (int id : Guarded) EXPECT_FALSE(Enabled(id)) << id;
  EXPECT_TRUE(Enabled(IDC_IMAGE_PATH));
  EXPECT_EQ(0, TakeBusyToken());
  GiveBackBusyToken();
  for (int id : Guarded) EXPECT_TRUE(Enabled(id)) << id;
}

TEST_F(MainWindowTest, TwoGiveBacksLeaveOneSlot) {
  ASSERT_EQ(1, TakeBusyToken());
  GiveBackBusyToken();
  GiveBackBusyToken();
  EXPECT_EQ(1, TakeBusyToken());
  EXPECT_EQ(0, TakeBusyToken());
}

TEST_F(MainWindowTest, RefusedTakeLeavesTheControlsAlone) {
  ASSERT_EQ(1, TakeBusyToken());
  EnableWindow(GetDlgItem(window, IDC_FLASH), TRUE);
  EXPECT_EQ(0, TakeBusyToken());
  EXPECT_TRUE(Enabled(IDC_FLASH));
}

TEST_F(MainWindowTest, ExitAndFrameCloseAreRefusedWhileBusy) {
  ASSERT_EQ(1, TakeBusyToken());
  EXPECT_EQ(0, ExitProgram());
  SendMessageA(window, WM_CLOSE, 0, 0);
  EXPECT_TRUE(IsWindow(window));
  EXPECT_EQ(window, MainWindow);
}

TEST_F(MainWindowTest, FrameCloseEndsLikeExitWhenFree) {
  ASSERT_EQ(1, TakeBusyToken());
  GiveBackBusyToken();
  SendMessageA(window, WM_CLOSE, 0, 0);
  EXPECT_FALSE(IsWindow(window));
  EXPECT_EQ(nullptr, MainWindow);
  MSG quit;
  ASSERT_TRUE(PeekMessageA(&quit, NULL, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(0u, quit.wParam);
}

TEST_F(MainWindowTest, SecondExitIsRefused) {
  ASSERT_EQ(1, TakeBusyToken());
  GiveBackBusyToken();
  EXPECT_NE(0, ExitProgram());
  EXPECT_EQ(0, ExitProgram());
}

TEST_F(MainWindowTest, CommandsGoByControlIdOnly) {
  ASSERT_EQ(1, TakeBusyToken());
  GiveBackBusyToken();
  SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);  // Escape
  EXPECT_TRUE(IsWindow(window));
  SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDOK, 0x1234), 0);
  EXPECT_FALSE(IsWindow(window));
}

TEST_F(MainWindowTest, EveryDeviceChangeIsAnsweredTrueAndMarksARefresh) {
  RefreshPending = 0;
  EXPECT_EQ(TRUE, SendMessageA(window, WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE, 0));
  EXPECT_EQ(1, RefreshPending);
  RefreshPending = 0;
  EXPECT_EQ(TRUE, SendMessageA(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0));
  EXPECT_EQ(1, RefreshPending);
  RefreshPending = 0;
}

TEST_F(MainWindowTest, WorkControlsSitBelowTheListAndExitComesLast) {
  RECT list, flash, log, exitButton;
  GetWindowRect(GetDlgItem(window, IDC_DEVICE_LIST), &list);
  GetWindowRect(GetDlgItem(window, IDC_FLASH), &flash);
  GetWindowRect(GetDlgItem(window, IDC_LOG), &log);
  GetWindowRect(GetDlgItem(window, IDOK), &exitButton);
  EXPECT_LT(list.bottom, flash.top);
  EXPECT_LT(flash.bottom, log.top);
  EXPECT_LT(log.bottom, exitButton.top);
  RECT client;
  GetClientRect(window, &client);
  MapWindowPoints(window, NULL, (POINT *)&client, 2);
  EXPECT_LE(exitButton.bottom, client.bottom);
  EXPECT_EQ(GetDlgItem(window, IDOK), GetWindow(GetDlgItem(window, IDC_LOG), GW_HWNDNEXT));
  EXPECT_EQ(nullptr, GetWindow(GetDlgItem(window, IDOK), GW_HWNDNEXT));
}
