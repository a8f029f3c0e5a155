#include "flash/flash_job.h"

#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "app/app_state.h"
#include "app/busy_token.h"
#include "discovery/aspi_scan.h"
#include "discovery/drive_scan.h"
#include "flash/blocks.h"
#include "flash/log_rule.h"
#include "flash/session_guard.h"
#include "res/resource.h"
#include "scsi/aspi.h"
#include "scsi/passthrough.h"

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

// The worker never waits for the window between two blocks: its lines are
// posted, a few at a time as one text of NUL-ended lines with an empty line
// last (no line of the log is ever empty), and the window's thread appends
// them in the order they were sent.
// Only when no copy can be made does the worker write the lines itself.
static void LogLines(std::initializer_list<const char *> lines, bool wait = false) {
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

static void LogLine(const char *line) { LogLines({line}); }

void OnFlashLogLines(WPARAM lines) {
  for (const char *line = (const char *)lines; *line != '\0'; line += strlen(line) + 1)
    AppendLogLine(line);
  HeapFree(GetProcessHeap(), 0, (void *)lines);
  // Paint now whatever waits to be painted (the lines, the greyed buttons):
  // drawn later, it would compete with the worker for the processor.
  RedrawWindow(MainWindow, NULL, NULL, RDW_UPDATENOW | RDW_ALLCHILDREN);
}

static void LogOutcome(const char *line) { LogLines({" ", line, " "}); }

static void LogFailure() { LogOutcome("======== FAIL ========"); }

// The drive the job addresses: a row of the drive table, or an ASPI node.
struct FlashTarget {
  int driveIndex;
  const AspiDeviceNode *node;
};

// Progress goes to the window at most every PROGRESS_PERIOD_MS and after
// the last block: a post costs more than a drive that answers at once takes
// for a block, and the bar cannot show more than that anyway.
enum { PROGRESS_PERIOD_MS = 40 };

struct Progress {
  int blocks;
  DWORD lastShown;
};

static void ShowProgress(Progress &progress, int blocksSent, bool force) {
  DWORD now = GetTickCount();
  if (!force && now - progress.lastShown < PROGRESS_PERIOD_MS) return;
  progress.lastShown = now;
  PostMessageA(MainWindow, WM_FLASH_PROGRESS, (WPARAM)blocksSent, (LPARAM)progress.blocks);
}

// Makes sure the drive listens before the first block. In ASPI mode the
// outcome is not judged: a drive may well report a unit attention here.
static int PrepareDrive(const FlashTarget &target) {
  if (CurrentTransport == AspiMode) {
    PrepareFlashRequest(6, {0, 0, 0, 0, 0, 0});  // TEST UNIT READY
    ExecuteFlashRequest(target.node);
    PrepareFlashRequest(6, {0, 0, 0, 0, 0, 0});
    ExecuteFlashRequest(target.node);
    PrepareFlashRequest(12, {0x1B, CDB_VALUES_END});  // START STOP UNIT: stop
    ExecuteFlashRequest(target.node);
    return 1;
  }
  static PassThroughBuffer request;  // one job at a time
  ZeroMemory(&request, sizeof request);
  request.header.Cdb[0] = 0x12;  // INQUIRY
  request.header.Cdb[4] = 100;   // allocation length
  DWORD error = PassThroughBuffered(TheDriveTable.records[target.driveIndex].handle, &request,
                                    SCSI_IOCTL_DATA_IN, 100);
  return error == 0 && request.header.ScsiStatus == 0;
}

// Sends one block; logs the failure line itself.
static int SendBlock(const FlashTarget &target, uint8_t index, uint16_t checksum, uint8_t *block) {
  if (CurrentTransport == AspiMode) {
    if (AspiWriteBlock(index, checksum, block, BLOCK_SIZE, target.node) == SS_COMP) return 1;
    LogFailure();
    return 0;
  }
  UCHAR scsiStatus = 0;
  DWORD error = PassThroughWriteBlock(index, checksum, block, BLOCK_SIZE, target.driveIndex,
                                      &scsiStatus);
  if (error != 0) {
    char line[64];
    wsprintfA(line, "======== FAIL %d========", (int)error);
    LogOutcome(line);
    return 0;
  }
  // The request went through but the drive refused the block.
  if (scsiStatus != 0) {
    LogFailure();
    return 0;
  }
  return 1;
}

static int SendBlocks(const uint8_t *image, const BlockPlan &plan, const FlashTarget &target) {
  if (!PrepareDrive(target)) {
    LogFailure();
    return 0;
  }
  uint16_t checksum = 0;
  Progress progress = {plan.lastIndex + 1, GetTickCount()};
  for (int32_t position = 0; position <= plan.lastIndex; ++position) {
    uint8_t *block = (uint8_t *)image + (size_t)position * BLOCK_SIZE;
    uint8_t index = position == plan.lastIndex ? (uint8_t)LAST_BLOCK_INDEX : (uint8_t)position;
    checksum = AddToChecksum(checksum, block);
    if (index == LAST_BLOCK_INDEX) {
      char line[32];
      FormatChecksumLine(checksum, line);
      LogLines({line, "Please wait...."});
    }
    if (!SendBlock(target, index, checksum, block)) return 0;
    ShowProgress(progress, position + 1, index == LAST_BLOCK_INDEX);
  }
  LogOutcome("======== SUCCEED ========");
  return 1;
}

static int SendImage(const uint8_t *image, const BlockPlan &plan, const FlashTarget &target) {
  // The warning is on the screen before the drive hears anything; from here
  // on the worker does not wait for the window.
  LogLines({"Start Flashing...", "Don't turn off the power!!"}, true);
  // From the first command until the outcome is written, a sleeping or
  // ending session would leave the drive half-written.
  HoldSystemAwake();
  int result = SendBlocks(image, plan, target);
  ReleaseSystemAwake();
  return result;
}

// The image path is entry 0 of its list, empty when nothing was chosen.
static void ReadImagePath(char *path, int size) {
  HWND list = GetDlgItem(MainWindow, IDC_IMAGE_PATH);
  path[0] = '\0';
  LRESULT length = SendMessageA(list, LB_GETTEXTLEN, 0, 0);
  if (length == LB_ERR || length >= size) return;
  SendMessageA(list, LB_GETTEXT, 0, (LPARAM)path);
}

// Reads the whole image into `image`, a block at a time: 1 only when every
// byte of the file arrived.
static int ReadImage(HANDLE file, uint8_t *image, uint64_t size) {
  for (uint64_t done = 0; done < size;) {
    DWORD want = size - done < BLOCK_SIZE ? (DWORD)(size - done) : (DWORD)BLOCK_SIZE;
    DWORD got = 0;
    if (!ReadFile(file, image + done, want, &got, NULL) || got == 0) return 0;
    done += got;
  }
  return 1;
}

// Sizes the image, refuses what the download command cannot carry, reads
// all of it, and only then talks to the drive: a file that cannot be read
// to its end must not leave the drive with half an image.
static int FlashImage(const char *path, const FlashTarget &target) {
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    LogLine("Please select an image file!");
    return 0;
  }
  DWORD high = 0;
  SetLastError(NO_ERROR);  // a size whose low half is 0xFFFFFFFF is no failure
  DWORD low = GetFileSize(file, &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
    CloseHandle(file);
    LogLine("Open File Error!");
    return 0;
  }

  int result = 0;
  BlockPlan plan = PlanBlocks(((uint64_t)high << 32) | low);
  uint8_t *image = NULL;
  if (plan.verdict == PlanEmpty) {
    LogLine("Image file is empty!");
  } else if (plan.verdict == PlanTooLarge) {
    LogLine("Image file is too large!");
  } else {
    // Whole blocks, page-aligned as direct pass-through wants its data; the
    // allocation comes zeroed, which is the fill after the file's last byte.
    SIZE_T blocks = (SIZE_T)(plan.lastIndex + 1) * BLOCK_SIZE;
    image = (uint8_t *)VirtualAlloc(NULL, blocks, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (image == NULL) {
      LogFailure();
    } else if (!ReadImage(file, image, plan.imageSize)) {
      LogLines({"Read File Error!", " ", "======== FAIL ========", " "});
    } else {
      CloseHandle(file);
      file = INVALID_HANDLE_VALUE;
      result = SendImage(image, plan, target);
    }
  }
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (image != NULL) VirtualFree(image, 0, MEM_RELEASE);
  return result;
}

static int FlashSelectedDrive() {
  PostMessageA(MainWindow, WM_FLASH_PROGRESS, 0, 0);  // an empty bar until blocks go out
  HWND devices = GetDlgItem(MainWindow, IDC_DEVICE_LIST);
  LRESULT selection = SendMessageA(devices, LB_GETCURSEL, 0, 0);
  if (selection == LB_ERR) return 0;
  LRESULT datum = SendMessageA(devices, LB_GETITEMDATA, selection, 0);
  FlashTarget target = {(int)selection, (const AspiDeviceNode *)datum};

  char path[MAX_PATH];
  ReadImagePath(path, sizeof path);
  return FlashImage(path, target);
}

DWORD WINAPI RunFlashJob(LPVOID) {
  int result = FlashSelectedDrive();
  // The outcome is in the log: the session may end again, and the window
  // drops the reason it gave Windows.
  InterlockedExchange(&FlashJobActive, 0);
  PostMessageA(MainWindow, WM_FLASH_DONE, 0, 0);
  GiveBackBusyToken();
  return result;
}
