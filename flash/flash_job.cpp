#include "flash/flash_job.h"

#include <commctrl.h>

#include <cstdio>

#include "app/app_state.h"
#include "app/busy_token.h"
#include "discovery/aspi_scan.h"
#include "discovery/drive_scan.h"
#include "flash/blocks.h"
#include "flash/log_rule.h"
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

static void LogOutcome(const char *line) {
  AppendLogLine(" ");
  AppendLogLine(line);
  AppendLogLine(" ");
}

static void LogFailure() { LogOutcome("======== FAIL ========"); }

// The drive the job addresses: a row of the drive table, or an ASPI node.
struct FlashTarget {
  int driveIndex;
  const AspiDeviceNode *node;
};

static void ResetProgress(int blocks) {
  HWND progress = GetDlgItem(MainWindow, IDC_COLOR_SINK);
  SendMessageA(progress, PBM_SETRANGE32, 0, blocks > 0 ? blocks : 1);
  SendMessageA(progress, PBM_SETPOS, 0, 0);
}

static void ShowProgress(int blocksSent) {
  SendDlgItemMessageA(MainWindow, IDC_COLOR_SINK, PBM_SETPOS, blocksSent, 0);
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

static int SendImage(FILE *image, const BlockPlan &plan, const FlashTarget &target,
                     uint8_t *block) {
  AppendLogLine("Start Flashing...");
  AppendLogLine("Don't turn off the power!!");
  ResetProgress(plan.lastIndex + 1);
  if (!PrepareDrive(target)) {
    LogFailure();
    return 0;
  }

  uint16_t checksum = 0;
  for (int32_t position = 0; position <= plan.lastIndex; ++position) {
    size_t delivered, expected;
    uint8_t index = LoadBlock(image, position, plan, block, &delivered, &expected);
    // A short read would send stale bytes from the previous block.
    if (delivered != expected) {
      AppendLogLine("Read File Error!");
      LogFailure();
      return 0;
    }
    checksum = AddToChecksum(checksum, block);
    if (index == LAST_BLOCK_INDEX) {
      char line[32];
      FormatChecksumLine(checksum, line);
      AppendLogLine(line);
      AppendLogLine("Please wait....");
    }
    if (!SendBlock(target, index, checksum, block)) return 0;
    ShowProgress(position + 1);
    if (index == LAST_BLOCK_INDEX) break;
  }
  LogOutcome("======== SUCCEED ========");
  return 1;
}

// The image path is entry 0 of its list, empty when nothing was chosen.
static void ReadImagePath(char *path, int size) {
  HWND list = GetDlgItem(MainWindow, IDC_IMAGE_PATH);
  path[0] = '\0';
  LRESULT length = SendMessageA(list, LB_GETTEXTLEN, 0, 0);
  if (length == LB_ERR || length >= size) return;
  SendMessageA(list, LB_GETTEXT, 0, (LPARAM)path);
}

// Sizes the image, refuses what the download command cannot carry, and
// streams the rest to the drive.
static int FlashImage(const char *path, const FlashTarget &target) {
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    AppendLogLine("Please select an image file!");
    return 0;
  }
  DWORD high = 0;
  DWORD low = GetFileSize(file, &high);
  DWORD sizeError = low == INVALID_FILE_SIZE ? GetLastError() : NO_ERROR;
  CloseHandle(file);
  if (sizeError != NO_ERROR) {
    AppendLogLine("Open File Error!");
    return 0;
  }
  FILE *image = fopen(path, "rb");
  if (image == NULL) {
    AppendLogLine("Open File Error!");
    return 0;
  }

  int result = 0;
  BlockPlan plan = PlanBlocks(((uint64_t)high << 32) | low);
  uint8_t *block = NULL;
  if (plan.verdict == PlanEmpty) {
    AppendLogLine("Image file is empty!");
  } else if (plan.verdict == PlanTooLarge) {
    AppendLogLine("Image file is too large!");
  } else {
    // Page-aligned, as direct pass-through wants its data buffer.
    block = (uint8_t *)VirtualAlloc(NULL, BLOCK_SIZE, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (block == NULL) LogFailure();
    else result = SendImage(image, plan, target, block);
  }
  if (block != NULL) VirtualFree(block, 0, MEM_RELEASE);
  fclose(image);
  return result;
}

static int FlashSelectedDrive() {
  ResetProgress(0);
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
  GiveBackBusyToken();
  return result;
}
