#include "app/image_choice.h"

#include <windows.h>
#include <commdlg.h>

#include "app/app_state.h"
#include "res/resource.h"

// Each text ends with a NUL and an empty text ends the list.
static const char ImageFileFilter[] = "Images(*.bin)\0*.bin;\0All Files(*.*)\0*.*\0";

int ChooseImageFile() {
  char path[MAX_PATH] = "";
  OPENFILENAMEA dialog;
  ZeroMemory(&dialog, sizeof dialog);
  // The layout before Windows 2000 added its fields, which 98/ME require.
  dialog.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
  dialog.hwndOwner = MainWindow;
  dialog.hInstance = AppInstance;
  dialog.lpstrFilter = ImageFileFilter;
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = path;
  dialog.nMaxFile = sizeof path;
  dialog.lpstrTitle = "Open Flash Image";
  dialog.Flags = OFN_EXPLORER | OFN_LONGNAMES | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST |
                 OFN_HIDEREADONLY;
  if (!GetOpenFileNameA(&dialog)) return 0;

  int length = lstrlenA(path);
  char *copy = (char *)GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, length + 1);
  if (copy == NULL) return 0;
  CopyMemory(copy, path, length + 1);
  HWND list = GetDlgItem(MainWindow, IDC_IMAGE_PATH);
  SendMessageA(list, LB_RESETCONTENT, 0, 0);
  SendMessageA(list, LB_INSERTSTRING, (WPARAM)-1, (LPARAM)copy);
  // The list box keeps a copy of its own.
  GlobalFree(copy);
  return 1;
}
