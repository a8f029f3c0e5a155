#include "scsi/aspi.h"

#include <cstring>

#include "app/app_state.h"
#include "app/resource_text.h"
#include "discovery/aspi_scan.h"
#include "flash/blocks.h"
#include "res/resource.h"
#include "scsi/failure_dialog.h"

AspiBindingTable AspiBinding;
SRB_ExecSCSICmdFlash FlashRequestBlock;

void ShowAspiStartupError(DWORD errorCode, DWORD aspiStatus) {
  char text[TEXT_BUFFER_SIZE];
  if (errorCode == ERROR_DLL_NOT_FOUND) {
    LoadStringA(AppInstance, IDS_ASPI_REQUIRED, text, sizeof text);
  } else {
    wsprintfA(text, GetResourceText(IDS_ASPI_INIT_FAILED), errorCode, aspiStatus & 0xFF);
  }
  MessageBoxA(NULL, text, MessageCaption, MB_ICONERROR);
}

// Null when the library lacks the entry point.
template <typename Proc>
static void LookUp(Proc &entry, const char *name) {
  entry = (Proc)(void (*)(void))GetProcAddress(AspiBinding.module, name);
}

int BindAspi() {
  // A missing library must not bring up a box of the system's own.
  UINT previousMode = SetErrorMode(SEM_NOOPENFILEERRORBOX);
  AspiBinding.module = LoadLibraryA("WNASPI32");
  DWORD loadError = GetLastError();
  SetErrorMode(previousMode);
  if (AspiBinding.module == NULL) {
    ShowAspiStartupError(loadError, 1);
    return 0;
  }

  LookUp(AspiBinding.getSupportInfo, "GetASPI32SupportInfo");
  LookUp(AspiBinding.sendCommand, "SendASPI32Command");
  LookUp(AspiBinding.getBuffer, "GetASPI32Buffer");
  LookUp(AspiBinding.freeBuffer, "FreeASPI32Buffer");
  LookUp(AspiBinding.translateAddress, "TranslateASPI32Address");

  if (AspiBinding.getSupportInfo == NULL || AspiBinding.sendCommand == NULL) {
    ShowAspiStartupError(ERROR_DLL_NOT_FOUND, 1);
    return 0;
  }
  BYTE status = HIBYTE(LOWORD(AspiBinding.getSupportInfo()));
  if (status == SS_COMP) return 1;
  ShowAspiStartupError(0, status);
  return 0;
}

void UnbindAspi() {
  if (AspiBinding.module != NULL) FreeLibrary(AspiBinding.module);
}

// Sends an execute request and waits for it without a time limit, through a
// completion event when one can be made, else by watching its status. Only
// a request that the layer took (answered SS_PENDING) is waited for: one it
// refused at once may never have its status written.
template <typename Request>
static BYTE ExecuteAndWait(Request &request) {
  HANDLE done = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (done != NULL) {
    request.SRB_Flags |= SRB_EVENT_NOTIFY;
    request.SRB_PostProc = done;
  } else {
    request.SRB_Flags &= (BYTE)~SRB_EVENT_NOTIFY;
    request.SRB_PostProc = NULL;
  }
  DWORD answer = AspiBinding.sendCommand(&request);
  if (answer == SS_PENDING) {
    if (done != NULL) WaitForSingleObject(done, INFINITE);
    else while (*(volatile BYTE *)&request.SRB_Status == SS_PENDING) Sleep(10);
  } else if (request.SRB_Status == SS_PENDING) {
    // Refused without a status of its own: the answer is the outcome.
    request.SRB_Status = (BYTE)answer;
  }
  if (done != NULL) CloseHandle(done);
  return request.SRB_Status;
}

// The length's low byte, but never more than the bytes CDBByte holds: the
// layer reads that many, and the failure dialog shows them.
static BYTE CdbLengthWithin(int cdbLength) {
  BYTE low = (BYTE)cdbLength;
  return low < ASPI_CDB_SIZE ? low : (BYTE)ASPI_CDB_SIZE;
}

void PrepareFlashRequest(int cdbLength, std::initializer_list<int> values) {
  ZeroMemory(&FlashRequestBlock, sizeof FlashRequestBlock);
  FlashRequestBlock.SRB_Cmd = SC_EXEC_SCSI_CMD;
  FlashRequestBlock.SRB_SenseLen = FLASH_SENSE_SIZE;
  FlashRequestBlock.SRB_CDBLen = CdbLengthWithin(cdbLength);
  int limit = FlashRequestBlock.SRB_CDBLen;
  int i = 0;
  for (int value : values) {
    if (value == CDB_VALUES_END || i >= limit) break;
    FlashRequestBlock.CDBByte[i++] = (BYTE)value;
  }
}

void SetFlashRequestBuffer(void *data, DWORD length, BYTE flags) {
  FlashRequestBlock.SRB_BufLen = length;
  FlashRequestBlock.SRB_BufPointer = (BYTE *)data;
  FlashRequestBlock.SRB_Flags = flags;
}

BYTE ExecuteFlashRequest(const AspiDeviceNode *node) {
  FlashRequestBlock.SRB_HaId = node->hostAdapterId;
  FlashRequestBlock.SRB_Target = node->targetId;
  return ExecuteAndWait(FlashRequestBlock);
}

BYTE AspiWriteBlock(uint8_t index, uint16_t checksum, void *data, uint32_t length,
                    const AspiDeviceNode *node) {
  uint8_t cdb[DOWNLOAD_CDB_LENGTH];
  BuildDownloadCommand(index, (uint16_t)length, checksum, cdb);
  PrepareFlashRequest(DOWNLOAD_CDB_LENGTH,
                      {cdb[0], cdb[1], cdb[2], cdb[3], cdb[4], cdb[5], cdb[6], cdb[7], cdb[8],
                       cdb[9], cdb[10], CDB_VALUES_END});
  SetFlashRequestBuffer(data, length, SRB_DIR_OUT);
  return ExecuteFlashRequest(node);
}

static bool IsUnitAttention(const SRB_ExecSCSICmd &request) {
  return request.SRB_TargStat == CHECK_CONDITION && (request.SenseArea[2] & 0x0F) == UNIT_ATTENTION;
}

int ExecuteWithDiagnostics(const AspiDeviceNode *node, BYTE flags, DWORD bufferLength,
                           void *buffer, int cdbLength, const BYTE *cdb) {
  SRB_ExecSCSICmd request;
  ZeroMemory(&request, sizeof request);
  BYTE length = CdbLengthWithin(cdbLength);
  memcpy(request.CDBByte, cdb, length);
  request.SRB_Cmd = SC_EXEC_SCSI_CMD;
  request.SRB_SenseLen = DIAGNOSTIC_SENSE_LENGTH;
  request.SRB_HaId = node->hostAdapterId;
  request.SRB_Target = node->targetId;
  request.SRB_Flags = flags;
  request.SRB_BufLen = bufferLength;
  request.SRB_BufPointer = (BYTE *)buffer;
  request.SRB_CDBLen = length;

  // A drive that just changed state says so once; anything else gets a second try.
  if (ExecuteAndWait(request) == SS_COMP) return 1;
  if (!IsUnitAttention(request) && ExecuteAndWait(request) == SS_COMP) return 1;
  CommandFailureDialog(&request);
  return 0;
}
