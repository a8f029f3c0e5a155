#include "app/flash_start.h"

#include <windows.h>

#include <cstring>

#include "app/app_state.h"
#include "app/busy_token.h"
#include "app/flash_job.h"
#include "app/main_window.h"
#include "app/resource_text.h"
#include "app/session_guard.h"
#include "core/guard_text.h"
#include "res/resource.h"

static const char AutoInsertValue[] = "AutoInsertNotification";
enum { KEY_NAME_SIZE = 260 };

static DWORD CountSubkeys(HKEY key) {
  DWORD count = 0;
  if (RegQueryInfoKeyA(key, NULL, NULL, NULL, &count, NULL, NULL, NULL, NULL, NULL, NULL, NULL) !=
      ERROR_SUCCESS)
    return 0;
  return count;
}

// Turns off auto-insert notification for one instance: answers 1 when the
// value was on and has been rewritten as one zero byte. The value is read
// whole, so a longer one is judged by its first byte too.
static int ClearAutoInsert(HKEY instance) {
  DWORD size = 0;
  if (RegQueryValueExA(instance, AutoInsertValue, NULL, NULL, NULL, &size) != ERROR_SUCCESS ||
      size == 0)
    return 0;
  BYTE *value = (BYTE *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size);
  if (value == NULL) return 0;
  int rewritten = 0;
  if (RegQueryValueExA(instance, AutoInsertValue, NULL, NULL, value, &size) == ERROR_SUCCESS &&
      value[0] != 0) {
    const BYTE off = 0;
    RegSetValueExA(instance, AutoInsertValue, 0, REG_BINARY, &off, 1);
    rewritten = 1;
  }
  HeapFree(GetProcessHeap(), 0, value);
  return rewritten;
}

static int ClearDeviceInstances(HKEY device) {
  int result = 0;
  DWORD instances = CountSubkeys(device);
  for (DWORD i = 0; i < instances; ++i) {
    char name[KEY_NAME_SIZE];
    if (RegEnumKeyA(device, i, name, sizeof name) != ERROR_SUCCESS) continue;
    HKEY instance;
    if (RegOpenKeyExA(device, name, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &instance) != ERROR_SUCCESS)
      continue;
    if (ClearAutoInsert(instance)) result = 1;
    RegCloseKey(instance);
  }
  return result;
}

// Only the first device key whose name begins with the search text counts.
static int FindDeviceKey(HKEY scsi, const char *searchText, char *name) {
  size_t length = strlen(searchText);
  DWORD devices = CountSubkeys(scsi);
  for (DWORD i = 0; i < devices; ++i) {
    if (RegEnumKeyA(scsi, i, name, KEY_NAME_SIZE) != ERROR_SUCCESS) continue;
    if (strncmp(name, searchText, length) == 0) return 1;
  }
  return 0;
}

int AutoInsertGuard(const char *searchText) {
  HKEY scsi;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum\\SCSI", 0, KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE,
                    &scsi) != ERROR_SUCCESS)
    return 0;
  int result = 0;
  char name[KEY_NAME_SIZE];
  HKEY device;
  if (FindDeviceKey(scsi, searchText, name) &&
      RegOpenKeyExA(scsi, name, 0, KEY_READ, &device) == ERROR_SUCCESS) {
    result = ClearDeviceInstances(device);
    RegCloseKey(device);
  }
  RegCloseKey(scsi);
  return result;
}

// The new setting takes effect only after a restart, so the program ends
// here and the user flashes after the restart.
static void OfferRestart() {
  int answer = MessageBoxA(MainWindow, GetResourceText(IDS_AUTOPLAY_DISABLED), "Flash Tool",
                           MB_ICONWARNING | MB_OKCANCEL);
  if (answer == IDOK) ExitWindowsEx(EWX_REBOOT, 0);
  ExitProgram();
}

// The selected entry's text, on the heap; null when it cannot be read.
static char *ReadSelectedEntry(HWND devices, LRESULT selection) {
  LRESULT length = SendMessageA(devices, LB_GETTEXTLEN, selection, 0);
  if (length == LB_ERR) return NULL;
  char *text = (char *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, length + 1);
  if (text != NULL) SendMessageA(devices, LB_GETTEXT, selection, (LPARAM)text);
  return text;
}

static int GuardDrive(const char *entry) {
  char searchText[GUARD_SEARCH_TEXT_LENGTH + 1];
  MakeGuardSearchText(entry, searchText);
  return AutoInsertGuard(searchText);
}

static void StartFlashWorker() {
  if (!TakeBusyToken()) return;
  if (FlashThread != NULL) CloseHandle(FlashThread);
  // Set before the worker runs: it clears the flag when it ends, however soon.
  InterlockedExchange(&FlashJobActive, 1);
  BlockShutdown(MainWindow);
  DWORD threadId;  // Windows 98 wants somewhere to put it
  FlashThread = CreateThread(NULL, 0, RunFlashJob, NULL, 0, &threadId);
  if (FlashThread == NULL) {
    InterlockedExchange(&FlashJobActive, 0);
    UnblockShutdown(MainWindow);
    GiveBackBusyToken();
  }
}

void StartFlash() {
  HWND devices = GetDlgItem(MainWindow, IDC_DEVICE_LIST);
  LRESULT selection = SendMessageA(devices, LB_GETCURSEL, 0, 0);
  if (selection == LB_ERR) {
    // Only re-enables the controls: a token that someone holds stays theirs.
    if (TakeBusyToken()) GiveBackBusyToken();
    return;
  }
  char *entry = ReadSelectedEntry(devices, selection);
  if (entry == NULL) return;
  if (entry[0] == '\0') {
    MessageBoxA(MainWindow, "No Drive Found!", NULL, MB_ICONERROR);
  } else if (CurrentTransport == AspiMode && GuardDrive(entry)) {
    OfferRestart();
  } else {
    StartFlashWorker();
  }
  HeapFree(GetProcessHeap(), 0, entry);
}
