#include "app/startup.h"

#include <commctrl.h>

#include "app/app_state.h"
#include "app/aspi_binding.h"
#include "app/device_list.h"
#include "app/main_window.h"
#include "core/version_rule.h"
#include "res/resource.h"

enum { REFRESH_TIMER_ID = 0, REFRESH_PERIOD_MS = 1000 };

// A refusal box has no owner: no window exists yet.
static void ShowRefusal(int stringId) {
  char text[TEXT_BUFFER_SIZE];
  if (LoadStringA(AppInstance, stringId, text, sizeof text) == 0) return;
  MessageBoxA(NULL, text, MessageCaption, MB_ICONERROR);
}

// A second start brings the first window forward instead of opening another.
static int HandOverToRunningInstance() {
  HWND running = FindWindowA(MAIN_WINDOW_CLASS, NULL);
  if (running == NULL) return 0;
  if (IsIconic(running)) ShowWindow(running, SW_RESTORE);
  SetForegroundWindow(running);
  return 1;
}

int DecideToRun() {
  if (LoadStringA(AppInstance, IDS_CAPTION, MessageCaption, sizeof MessageCaption) == 0) return 0;

  OSVERSIONINFOA version;
  ZeroMemory(&version, sizeof version);
  version.dwOSVersionInfoSize = sizeof version;
  // A failed query leaves platform 0, which the rule refuses as Win32s.
  GetVersionExA(&version);

  switch (ApplyVersionRule(version.dwPlatformId, version.dwMajorVersion, version.dwMinorVersion)) {
    case RunAspi: CurrentTransport = AspiMode; break;
    case RunPassThrough: CurrentTransport = PassThroughMode; break;
    case RefuseWin32s: ShowRefusal(IDS_WIN32S); return 0;
    case RefuseUnsupported: ShowRefusal(IDS_UNSUPPORTED_WINDOWS); return 0;
  }
  return !HandOverToRunningInstance();
}

static ATOM RegisterMainWindowClass() {
  WNDCLASSA windowClass;
  ZeroMemory(&windowClass, sizeof windowClass);
  windowClass.style = CS_VREDRAW | CS_HREDRAW;
  windowClass.lpfnWndProc = MainWindowProc;
  // The dialog manager keeps its own data in these bytes of a private class.
  windowClass.cbWndExtra = DLGWINDOWEXTRA;
  windowClass.hInstance = AppInstance;
  windowClass.hIcon = LoadIconA(AppInstance, MAKEINTRESOURCEA(IDI_MAIN));
  windowClass.hCursor = LoadCursorA(NULL, IDC_ARROW);
  windowClass.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = MAIN_WINDOW_CLASS;
  return RegisterClassA(&windowClass);
}

int InitApplication() {
  if (CurrentTransport == AspiMode) {
    if (!BindAspi()) return 0;
  } else {
    TheDriveTable.count = 0;
  }
  InitCommonControls();
  if (!RegisterMainWindowClass()) return 0;
  MainWindow = CreateDialogParamA(AppInstance, MAKEINTRESOURCEA(IDD_MAIN), NULL, NULL, 0);
  if (MainWindow == NULL) return 0;
  AddWorkControls(MainWindow);
  return 1;
}

void PlaceAndShowMainWindow(int showCommand) {
  RECT frame;
  GetWindowRect(MainWindow, &frame);
  int width = frame.right - frame.left;
  int height = frame.bottom - frame.top;
  int32_t x, y;
  PlaceWindow(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), width, height, &x, &y);
  MoveWindow(MainWindow, x, y, width, height, FALSE);

  // The window shows up already filled, and only then do ticks start.
  RefreshDeviceList();
  SetTimer(MainWindow, REFRESH_TIMER_ID, REFRESH_PERIOD_MS, NULL);
  ShowWindow(MainWindow, showCommand);
}

int RunMessageLoop() {
  MSG message;
  BOOL got;
  while ((got = GetMessageA(&message, NULL, 0, 0)) != 0) {
    if (got == -1) return 0;
    // Read afresh: Exit forgets the handle while messages are still queued.
    HWND dialog = MainWindow;
    if (dialog != NULL && IsDialogMessageA(dialog, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return (int)message.wParam;
}

void CleanUpApplication() {
  if (FlashThread != NULL) {
    CloseHandle(FlashThread);
    FlashThread = NULL;
  }
  if (CurrentTransport == AspiMode) UnbindAspi();
}
