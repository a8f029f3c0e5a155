#include "dialog_watch.h"

#include <set>

namespace {

DialogWatch *Active;
std::set<HWND> Handled;  // seen once, even if it takes a moment to close
int Answer;

BOOL CALLBACK CloseDialog(HWND window, LPARAM) {
  char className[64];
  GetClassNameA(window, className, sizeof className);
  if (lstrcmpA(className, "#32770") != 0 || Handled.count(window)) return TRUE;
  Handled.insert(window);
  SeenDialog dialog;
  char text[1024];
  GetWindowTextA(window, text, sizeof text);
  dialog.title = text;
  text[0] = '\0';
  GetDlgItemTextA(window, 0xFFFF, text, sizeof text);
  dialog.text = text;
  for (int id = 100; id <= 106; ++id) {
    text[0] = '\0';
    GetDlgItemTextA(window, id, text, sizeof text);
    dialog.fields.push_back(text);
  }
  dialog.owner = GetWindow(window, GW_OWNER);
  dialog.ownerEnabled = dialog.owner != NULL && IsWindowEnabled(dialog.owner);
  Active->seen.push_back(dialog);
  int button = GetDlgItem(window, Answer) != NULL ? Answer : IDCANCEL;
  PostMessageA(window, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), (LPARAM)GetDlgItem(window, button));
  return TRUE;
}

void CALLBACK OnTick(HWND, UINT, UINT_PTR, DWORD) {
  if (Active != NULL) EnumThreadWindows(GetCurrentThreadId(), CloseDialog, 0);
}

UINT_PTR Timer;

}  // namespace

DialogWatch::DialogWatch(int answer) {
  Active = this;
  Answer = answer;
  Handled.clear();
  Timer = SetTimer(NULL, 0, 20, OnTick);
}

DialogWatch::~DialogWatch() {
  KillTimer(NULL, Timer);
  Active = NULL;
}
