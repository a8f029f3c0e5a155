// A real main window made from the real template, for tests that need the
// controls; the busy token starts afresh for each test.
#ifndef FLASHTOOL_TESTS_WIN_MAIN_WINDOW_FIXTURE_H
#define FLASHTOOL_TESTS_WIN_MAIN_WINDOW_FIXTURE_H

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "app/app_state.h"
#include "app/busy_token.h"
#include "app/main_window.h"
#include "app/startup.h"
#include "res/resource.h"

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AppInstance = GetModuleHandleA(NULL);
    CurrentTransport = PassThroughMode;
    if (BusyToken != NULL) CloseHandle(BusyToken);
    BusyToken = NULL;
    static bool registered = false;
    if (!registered) {
      ASSERT_EQ(1, InitApplication());
      registered = true;
    } else {
      MainWindow = CreateDialogParamA(AppInstance, MAKEINTRESOURCEA(IDD_MAIN), NULL, NULL, 0);
      ASSERT_NE(nullptr, MainWindow);
      AddWorkControls(MainWindow);
    }
    window = MainWindow;
  }
  void TearDown() override {
    if (IsWindow(window)) DestroyWindow(window);
    MainWindow = NULL;
    // WM_DESTROY posts a quit message that must not reach a later test's loop.
    MSG message;
    while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {}
  }
  bool Enabled(int id) { return IsWindowEnabled(GetDlgItem(window, id)) != FALSE; }
  std::string Text(int id) {
    char text[4096] = "";
    GetDlgItemTextA(window, id, text, sizeof text);
    return text;
  }
  HWND window = NULL;
};

#endif
