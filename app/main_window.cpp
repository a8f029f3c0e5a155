#include "app/main_window.h"

#include <commctrl.h>

#include "app/app_state.h"
#include "app/busy_token.h"
#include "app/device_list.h"
#include "app/flash_job.h"
#include "app/flash_start.h"
#include "app/image_choice.h"
#include "res/resource.h"

int ExitProgram() {
  if (!TakeBusyToken()) return 0;
  // The token is never given back: the program is ending.
  BOOL destroyed = DestroyWindow(MainWindow);
  MainWindow = NULL;
  return destroyed;
}

void DispatchCommand(WPARAM wParam, LPARAM) {
  switch (LOWORD(wParam)) {
    case IDOK: ExitProgram(); break;
    case IDC_FLASH: StartFlash(); break;
    case IDC_BROWSE: ChooseImageFile(); break;
    default: break;  // Escape (IDCANCEL) and list notifications do nothing
  }
}

static LRESULT OnSysColorChange(HWND window, WPARAM wParam, LPARAM lParam) {
  SendDlgItemMessageA(window, IDC_COLOR_SINK, WM_SYSCOLORCHANGE, wParam, lParam);
  return DefWindowProcA(window, WM_SYSCOLORCHANGE, wParam, lParam);
}

static void OnFlashProgress(HWND window, WPARAM blocksSent, LPARAM blocks) {
  HWND bar = GetDlgItem(window, IDC_COLOR_SINK);
  SendMessageA(bar, PBM_SETRANGE32, 0, blocks > 0 ? blocks : 1);
  SendMessageA(bar, PBM_SETPOS, blocksSent, 0);
}

// A log-off or shut-down would kill the worker between two blocks.
static LRESULT OnQueryEndSession() { return FlashJobActive ? FALSE : TRUE; }

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_DESTROY: PostQuitMessage(0); return 0;
    case WM_SYSCOLORCHANGE: return OnSysColorChange(window, wParam, lParam);
    case WM_COMMAND: DispatchCommand(wParam, lParam); return 0;
    case WM_TIMER: OnRefreshTimer(); return 0;
    case WM_DEVICECHANGE: OnDeviceChange(wParam, lParam); return TRUE;
    // Closing through the frame follows the Exit rule, so that the window
    // never dies under a running flash job.
    case WM_CLOSE: ExitProgram(); return 0;
    case WM_QUERYENDSESSION: return OnQueryEndSession();
    case WM_FLASH_PROGRESS: OnFlashProgress(window, wParam, lParam); return 0;
    case WM_FLASH_LOG: OnFlashLogLines(wParam); return 0;
    case WM_FLASH_DONE: OnFlashDone(); return 0;
    default: return DefWindowProcA(window, message, wParam, lParam);
  }
}

// Layout of the work area below the device list, in dialog units like the
// template: the image path with its Browse button, Flash, progress, log.
struct ControlPlace {
  int id;
  const char *className;
  const char *text;
  DWORD style;
  DWORD exStyle;
  RECT units;  // left, top, width, height
};

static const ControlPlace WorkControls[] = {
    {IDC_IMAGE_PATH, "LISTBOX", "",
     WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | LBS_NOINTEGRALHEIGHT, 0, {15, 97, 188, 13}},
    {IDC_BROWSE, "BUTTON", "Browse...", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0,
     {208, 96, 52, 15}},
    {IDC_FLASH, "BUTTON", "Flash", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0,
     {15, 117, 245, 17}},
    {IDC_COLOR_SINK, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE | PBS_SMOOTH, 0, {15, 140, 245, 9}},
    {IDC_LOG, "EDIT", "",
     WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | WS_TABSTOP | ES_MULTILINE | ES_READONLY |
         ES_AUTOVSCROLL,
     0, {15, 155, 245, 96}},
};

static const RECT ExitButtonUnits = {15, 258, 243, 22};
static const int ClientUnitsWidth = 272, ClientUnitsHeight = 288;

static RECT ToPixels(HWND window, const RECT &units) {
  RECT pixels = {units.left, units.top, units.left + units.right, units.top + units.bottom};
  MapDialogRect(window, &pixels);
  return pixels;
}

void AddWorkControls(HWND window) {
  HFONT font = (HFONT)SendMessageA(window, WM_GETFONT, 0, 0);
  for (const ControlPlace &place : WorkControls) {
    RECT r = ToPixels(window, place.units);
    HWND control = CreateWindowExA(place.exStyle, place.className, place.text, place.style, r.left,
                                   r.top, r.right - r.left, r.bottom - r.top, window,
                                   (HMENU)(INT_PTR)place.id, AppInstance, NULL);
    SendMessageA(control, WM_SETFONT, (WPARAM)font, FALSE);
  }

  // Exit goes to the bottom of the window and last in the tab order.
  RECT exitRect = ToPixels(window, ExitButtonUnits);
  SetWindowPos(GetDlgItem(window, IDOK), HWND_BOTTOM, exitRect.left, exitRect.top,
               exitRect.right - exitRect.left, exitRect.bottom - exitRect.top, SWP_NOACTIVATE);

  RECT client = ToPixels(window, RECT{0, 0, ClientUnitsWidth, ClientUnitsHeight});
  RECT frame = client;
  AdjustWindowRectEx(&frame, (DWORD)GetWindowLongPtrA(window, GWL_STYLE), FALSE,
                     (DWORD)GetWindowLongPtrA(window, GWL_EXSTYLE));
  SetWindowPos(window, NULL, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}
