#include "transport/aspi.h"

#include <cstring>

// Null when the library lacks the entry point.
template <typename Proc>
static void LookUp(HMODULE module, Proc &entry, const char *name) {
  entry = (Proc)(void (*)(void))GetProcAddress(module, name);
}

int LoadAspiLayer(AspiLayer &layer, DWORD *errorCode, DWORD *aspiStatus) {
  *errorCode = 0;
  *aspiStatus = 1;
  // A missing library must not bring up a box of the system's own.
  UINT previousMode = SetErrorMode(SEM_NOOPENFILEERRORBOX);
  layer.module = LoadLibraryA("WNASPI32");
  DWORD loadError = GetLastError();
  SetErrorMode(previousMode);
  if (layer.module == NULL) {
    *errorCode = loadError;
    return 0;
  }

  LookUp(layer.module, layer.getSupportInfo, "GetASPI32SupportInfo");
  LookUp(layer.module, layer.sendCommand, "SendASPI32Command");
  LookUp(layer.module, layer.getBuffer, "GetASPI32Buffer");
  LookUp(layer.module, layer.freeBuffer, "FreeASPI32Buffer");
  LookUp(layer.module, layer.translateAddress, "TranslateASPI32Address");

  if (layer.getSupportInfo == NULL || layer.sendCommand == NULL) {
    *errorCode = ERROR_DLL_NOT_FOUND;
    return 0;
  }
  BYTE status = HIBYTE(LOWORD(layer.getSupportInfo()));
  if (status == SS_COMP) return 1;
  *aspiStatus = status;
  return 0;
}

void ReleaseAspiLayer(AspiLayer &layer) {
  if (layer.module != NULL) FreeLibrary(layer.module);
}

// Sends an execute request and waits for it without a time limit, through a
// completion event when one can be made, else by watching its status. Only
// a request that the layer took (answered SS_PENDING) is waited for: one it
// refused at once may never have its status written.
template <typename Request>
static BYTE ExecuteAndWait(const AspiLayer &layer, Request &request) {
  HANDLE done = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (done != NULL) {
    request.SRB_Flags |= SRB_EVENT_NOTIFY;
    request.SRB_PostProc = done;
  } else {
    request.SRB_Flags &= (BYTE)~SRB_EVENT_NOTIFY;
    request.SRB_PostProc = NULL;
  }
  DWORD answer = layer.sendCommand(&request);
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

void PrepareFlashRequest(SRB_ExecSCSICmdFlash &request, int cdbLength,
                         std::initializer_list<int> values) {
  ZeroMemory(&request, sizeof request);
  request.SRB_Cmd = SC_EXEC_SCSI_CMD;
  request.SRB_SenseLen = FLASH_SENSE_SIZE;
  request.SRB_CDBLen = CdbLengthWithin(cdbLength);
  int limit = request.SRB_CDBLen;
  int i = 0;
  for (int value : values) {
    if (value == CDB_VALUES_END || i >= limit) break;
    request.CDBByte[i++] = (BYTE)value;
  }
}

void SetFlashRequestBuffer(SRB_ExecSCSICmdFlash &request, void *data, DWORD length, BYTE flags) {
  request.SRB_BufLen = length;
  request.SRB_BufPointer = (BYTE *)data;
  request.SRB_Flags = flags;
}

BYTE ExecuteFlashRequest(const AspiLayer &layer, SRB_ExecSCSICmdFlash &request,
                         BYTE hostAdapterId, BYTE targetId) {
  request.SRB_HaId = hostAdapterId;
  request.SRB_Target = targetId;
  return ExecuteAndWait(layer, request);
}

static bool IsUnitAttention(const SRB_ExecSCSICmd &request) {
  return request.SRB_TargStat == CHECK_CONDITION && (request.SenseArea[2] & 0x0F) == UNIT_ATTENTION;
}

int ExecuteWithDiagnostics(const AspiLayer &layer, BYTE hostAdapterId, BYTE targetId, BYTE flags,
                           DWORD bufferLength, void *buffer, int cdbLength, const BYTE *cdb,
                           AspiFailureReporter &reporter) {
  SRB_ExecSCSICmd request;
  ZeroMemory(&request, sizeof request);
  BYTE length = CdbLengthWithin(cdbLength);
  memcpy(request.CDBByte, cdb, length);
  request.SRB_Cmd = SC_EXEC_SCSI_CMD;
  request.SRB_SenseLen = DIAGNOSTIC_SENSE_LENGTH;
  request.SRB_HaId = hostAdapterId;
  request.SRB_Target = targetId;
  request.SRB_Flags = flags;
  request.SRB_BufLen = bufferLength;
  request.SRB_BufPointer = (BYTE *)buffer;
  request.SRB_CDBLen = length;

  // A drive that just changed state says so once; anything else gets a second try.
  if (ExecuteAndWait(layer, request) == SS_COMP) return 1;
  if (!IsUnitAttention(request) && ExecuteAndWait(layer, request) == SS_COMP) return 1;
  reporter.CommandFailed(request);
  return 0;
}

CommandResult AspiLink::Perform(const ScsiCommand &command) {
  PrepareFlashRequest(request_, command.cdbLength, {});
  memcpy(request_.CDBByte, command.cdb, request_.SRB_CDBLen);
  if (command.data != NULL) {
    BYTE direction = command.direction == DATA_IN ? SRB_DIR_IN
                   : command.direction == DATA_OUT ? SRB_DIR_OUT : 0;
    SetFlashRequestBuffer(request_, command.data, command.length, direction);
  }
  CommandResult result;
  BYTE status = Execute();
  // Only the request's status decides, as the layer's documentation has it.
  if (status == SS_COMP) return result;
  result.kind = CommandResult::ADAPTER_ERROR;
  result.hostStatus = status;
  result.scsiStatus = request_.SRB_TargStat;
  if (result.scsiStatus == CHECK_CONDITION) {
    result.senseLength = FLASH_SENSE_SIZE;
    memcpy(result.sense, request_.SenseArea, FLASH_SENSE_SIZE);
  }
  return result;
}

CommandResult AspiLink::PrepareForFlash() {
  // The outcomes are not judged: a drive may well report a unit attention here.
  PrepareFlashRequest(request_, 6, {0, 0, 0, 0, 0, 0});  // TEST UNIT READY
  Execute();
  PrepareFlashRequest(request_, 6, {0, 0, 0, 0, 0, 0});
  Execute();
  PrepareFlashRequest(request_, 12, {0x1B, CDB_VALUES_END});  // START STOP UNIT: stop
  Execute();
  return CommandResult();
}
