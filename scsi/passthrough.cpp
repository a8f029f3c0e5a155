#include "scsi/passthrough.h"

#include <cstring>

#include "discovery/drive_scan.h"
#include "flash/blocks.h"

enum { BUFFERED_TIMEOUT_S = 2, DIRECT_TIMEOUT_S = 100 };

// The fields both request forms share.
template <typename Header>
static void FillCommonHeader(Header &header, UCHAR direction, ULONG transferLength, ULONG timeout,
                             ULONG senseOffset) {
  header.Length = sizeof header;
  header.PathId = 0;
  header.TargetId = PASS_THROUGH_TARGET_ID;
  header.Lun = 0;
  header.CdbLength = PASS_THROUGH_CDB_LENGTH;
  header.SenseInfoLength = PASS_THROUGH_SENSE_LENGTH;
  header.DataIn = direction;
  header.DataTransferLength = transferLength;
  header.TimeOutValue = timeout;
  header.SenseInfoOffset = senseOffset;
}

static DWORD IssueRequest(HANDLE drive, DWORD code, void *request, DWORD inSize, DWORD outSize) {
  DWORD returned;
  if (DeviceIoControl(drive, code, request, inSize, request, outSize, &returned, NULL)) return 0;
  return GetLastError();
}

DWORD PassThroughBuffered(HANDLE drive, PassThroughBuffer *request, UCHAR direction,
                          ULONG transferLength) {
  FillCommonHeader(request->header, direction, transferLength, BUFFERED_TIMEOUT_S,
                   offsetof(PassThroughBuffer, sense));
  request->header.DataBufferOffset = offsetof(PassThroughBuffer, data);
  // The header goes in; the header, sense and data come back.
  return IssueRequest(drive, IOCTL_SCSI_PASS_THROUGH, request, sizeof request->header,
                      transferLength + offsetof(PassThroughBuffer, data));
}

DWORD PassThroughDirect(HANDLE drive, PassThroughDirectBlock *request, UCHAR direction,
                        void *data, ULONG transferLength) {
  FillCommonHeader(request->header, direction, transferLength, DIRECT_TIMEOUT_S,
                   offsetof(PassThroughDirectBlock, sense));
  request->header.DataBuffer = data;
  return IssueRequest(drive, IOCTL_SCSI_PASS_THROUGH_DIRECT, request, sizeof *request,
                      sizeof *request);
}

DWORD PassThroughWriteBlock(uint8_t index, uint16_t checksum, void *data, uint32_t length,
                            int driveIndex, UCHAR *scsiStatus) {
  PassThroughDirectBlock request;
  ZeroMemory(&request, sizeof request);
  BuildDownloadCommand(index, (uint16_t)length, checksum, request.header.Cdb);
  DWORD error = PassThroughDirect(TheDriveTable.records[driveIndex].handle, &request,
                                  SCSI_IOCTL_DATA_OUT, data, length);
  if (scsiStatus != NULL) *scsiStatus = request.header.ScsiStatus;
  return error;
}

void CloseDriveHandles(DriveTable &table) {
  for (int i = 0; i < table.count; ++i) CloseHandle(table.records[i].handle);
}
