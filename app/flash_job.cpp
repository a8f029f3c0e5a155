#include "app/flash_job.h"

#include <cstring>
#include <initializer_list>

#include "app/app_state.h"
#include "app/busy_token.h"
#include "app/device_list.h"
#include "app/session_guard.h"
#include "core/flash_sequence.h"
#include "core/log_rule.h"
#include "res/resource.h"
#include "transport/aspi.h"
#include "transport/image_file.h"
#include "transport/passthrough.h"

// Only the flash job writes the log, and one job runs at a time.
static char LogBuffer[LOG_BUFFER_SIZE];

void AppendLogLine(const char *line) {
  HWND log = GetDlgItem(MainWindow, IDC_LOG);
  // Asking for LOG_TEXT_LIMIT characters with the NUL brings back at most 1999.
  if (GetWindowTextA(log, LogBuffer, LOG_TEXT_LIMIT) == 0) LogBuffer[0] = '\0';
  AppendToLogBuffer(LogBuffer, line);
  SetWindowTextA(log, LogBuffer);
  // Keep the newest line in view.
  int end = GetWindowTextLengthA(log);
  SendMessageA(log, EM_SETSEL, end, end);
  SendMessageA(log, EM_SCROLLCARET, 0, 0);
}

// The worker hands its lines to the window's thread as one text of NUL-ended
// lines with an empty line last (no line of the log is ever empty): sent,
// and so on the screen, before the first command; posted after it, so that
// the worker never waits for the window between two blocks. Only when no
// copy can be made does the worker write the lines itself.
static void LogLines(std::initializer_list<const char *> lines, bool wait) {
  size_t size = 1;
  for (const char *line : lines) size += strlen(line) + 1;
  char *copy = (char *)HeapAlloc(GetProcessHeap(), 0, size);
  if (copy == NULL) {
    for (const char *line : lines) AppendLogLine(line);
    return;
  }
  char *at = copy;
  for (const char *line : lines) at += strlen(strcpy(at, line)) + 1;
  *at = '\0';
  if (wait) {
    SendMessageA(MainWindow, WM_FLASH_LOG, (WPARAM)copy, 0);
  } else if (!PostMessageA(MainWindow, WM_FLASH_LOG, (WPARAM)copy, 0)) {
    HeapFree(GetProcessHeap(), 0, copy);
  }
}

void OnFlashLogLines(WPARAM lines) {
  for (const char *line = (const char *)lines; *line != '\0'; line += strlen(line) + 1)
    AppendLogLine(line);
  HeapFree(GetProcessHeap(), 0, (void *)lines);
  // Paint now whatever waits to be painted (the lines, the greyed buttons):
  // drawn later, it would compete with the worker for the processor.
  RedrawWindow(MainWindow, NULL, NULL, RDW_UPDATENOW | RDW_ALLCHILDREN);
}

// Progress goes to the window at most every PROGRESS_PERIOD_MS and after
// the last block: a post costs more than a drive that answers at once takes
// for a block, and the bar cannot show more than that anyway.
enum { PROGRESS_PERIOD_MS = 40 };

// What the sequence tells the window, and the session held for its commands.
class WindowObserver : public FlashObserver {
 public:
  void Log(std::initializer_list<const char *> lines) override { LogLines(lines, !commanding_); }
  void Progress(int blocksSent, int blocks) override {
    DWORD now = GetTickCount();
    if (blocksSent < blocks && now - lastShown_ < PROGRESS_PERIOD_MS) return;
    lastShown_ = now;
    PostMessageA(MainWindow, WM_FLASH_PROGRESS, (WPARAM)blocksSent, (LPARAM)blocks);
  }
  // From the first command until the outcome is written, a sleeping or
  // ending session would leave the drive half-written.
  void CommandsBegin() override {
    commanding_ = true;
    lastShown_ = GetTickCount();
    HoldSystemAwake();
  }
  void CommandsEnd() override { ReleaseSystemAwake(); }

 private:
  bool commanding_ = false;
  DWORD lastShown_ = 0;
};

static void LogLine(const char *line) { LogLines({line}, false); }

// Reads the whole image, and only then talks to the drive: a file that
// cannot be read to its end must not leave the drive with half an image.
static int FlashImage(const char *path, DriveLink &link) {
  LoadedImage image = LoadImageFile(path);
  switch (image.outcome) {
    case IMAGE_NOT_OPENED:
    case IMAGE_NOT_A_FILE: LogLine("Please select an image file!"); return 0;
    case IMAGE_SIZE_UNKNOWN: LogLine("Open File Error!"); return 0;
    case IMAGE_EMPTY: LogLine("Image file is empty!"); return 0;
    case IMAGE_TOO_LARGE: LogLine("Image file is too large!"); return 0;
    case IMAGE_NO_MEMORY: LogLines({" ", "======== FAIL ========", " "}, false); return 0;
    case IMAGE_READ_FAILED:
    case IMAGE_CHANGED:
      LogLines({"Read File Error!", " ", "======== FAIL ========", " "}, false);
      return 0;
    case IMAGE_LOADED: break;
  }
  WindowObserver observer;
  FlashReport report = RunFlashSequence(link, image.blocks, image.plan, observer);
  FreeImage(image);
  return report.outcome == FLASH_SUCCEEDED;
}

// The image path is entry 0 of its list, empty when nothing was chosen.
static void ReadImagePath(char *path, int size) {
  HWND list = GetDlgItem(MainWindow, IDC_IMAGE_PATH);
  path[0] = '\0';
  LRESULT length = SendMessageA(list, LB_GETTEXTLEN, 0, 0);
  if (length == LB_ERR || length >= size) return;
  SendMessageA(list, LB_GETTEXT, 0, (LPARAM)path);
}

static int FlashSelectedDrive() {
  PostMessageA(MainWindow, WM_FLASH_PROGRESS, 0, 0);  // an empty bar until blocks go out
  HWND devices = GetDlgItem(MainWindow, IDC_DEVICE_LIST);
  LRESULT selection = SendMessageA(devices, LB_GETCURSEL, 0, 0);
  if (selection == LB_ERR) return 0;
  LRESULT datum = SendMessageA(devices, LB_GETITEMDATA, selection, 0);
  char path[MAX_PATH];
  ReadImagePath(path, sizeof path);

  // The drive the entry stands for: a row of the drive table, or an ASPI node.
  if (CurrentTransport == AspiMode) {
    const AspiDeviceNode *node = (const AspiDeviceNode *)datum;
    AspiLink link(AspiBinding, node->hostAdapterId, node->targetId);
    return FlashImage(path, link);
  }
  PassThroughLink link(TheDriveTable.records[selection].handle);
  return FlashImage(path, link);
}

DWORD WINAPI RunFlashJob(LPVOID) {
  int result = FlashSelectedDrive();
  // The drive is done with: the session may end again.
  InterlockedExchange(&FlashJobActive, 0);
  // Posted after the outcome lines, so the window takes them into the log
  // before it drops the reason it gave Windows and enables Flash again.
  // Without the post the controls would stay grey for good, so the worker
  // gives the token back itself.
  if (!PostMessageA(MainWindow, WM_FLASH_DONE, 0, 0)) GiveBackBusyToken();
  return result;
}

void OnFlashDone() {
  UnblockShutdown(MainWindow);
  GiveBackBusyToken();
}
