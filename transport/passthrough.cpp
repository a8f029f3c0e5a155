#include "transport/passthrough.h"

#include <cstddef>
#include <cstring>

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
                          ULONG transferLength, ULONG timeout) {
  FillCommonHeader(request->header, direction, transferLength, timeout,
                   offsetof(PassThroughBuffer, sense));
  request->header.DataBufferOffset = offsetof(PassThroughBuffer, data);
  // The header goes in; the header, sense and data come back.
  return IssueRequest(drive, IOCTL_SCSI_PASS_THROUGH, request, sizeof request->header,
                      transferLength + offsetof(PassThroughBuffer, data));
}

DWORD PassThroughDirect(HANDLE drive, PassThroughDirectBlock *request, UCHAR direction,
                        void *data, ULONG transferLength, ULONG timeout) {
  FillCommonHeader(request->header, direction, transferLength, timeout,
                   offsetof(PassThroughDirectBlock, sense));
  request->header.DataBuffer = data;
  return IssueRequest(drive, IOCTL_SCSI_PASS_THROUGH_DIRECT, request, sizeof *request,
                      sizeof *request);
}

static UCHAR DirectionByte(DataDirection direction) {
  return direction == DATA_IN ? SCSI_IOCTL_DATA_IN
       : direction == DATA_OUT ? SCSI_IOCTL_DATA_OUT : SCSI_IOCTL_DATA_UNSPECIFIED;
}

// What the drive answered, or the system's error.
template <typename Header>
static CommandResult Answer(DWORD error, const Header &header, const UCHAR *sense,
                            const ScsiCommand &command) {
  CommandResult result;
  if (error != 0) {
    result.kind = CommandResult::SYSTEM_ERROR;
    result.systemError = error;
    return result;
  }
  result.scsiStatus = header.ScsiStatus;
  // Only data-in lengths are read back: not every storage driver of
  // Windows says how much of a data-out transfer went.
  if (command.direction == DATA_IN && header.DataTransferLength <= command.length)
    SetResidual(result, command, command.length - header.DataTransferLength);
  if (header.ScsiStatus != GOOD) {
    result.senseLength = header.SenseInfoLength < PASS_THROUGH_SENSE_LENGTH
                             ? header.SenseInfoLength : (UCHAR)PASS_THROUGH_SENSE_LENGTH;
    memcpy(result.sense, sense, result.senseLength);
  }
  return result;
}

CommandResult PassThroughLink::Perform(const ScsiCommand &command) {
  // The CDB goes out in 12 bytes whatever its own length: the bytes after
  // a 6-byte command are zero.
  if (command.direction != DATA_OUT && command.length <= PASS_THROUGH_DATA_SIZE) {
    PassThroughBuffer request;
    ZeroMemory(&request, sizeof request);
    memcpy(request.header.Cdb, command.cdb, command.cdbLength);
    DWORD error = PassThroughBuffered(drive_, &request, DirectionByte(command.direction),
                                      command.length, command.timeoutSeconds);
    if (error == 0 && command.data != NULL) memcpy(command.data, request.data, command.length);
    return Answer(error, request.header, request.sense, command);
  }
  PassThroughDirectBlock request;  // every block gets a fresh one
  ZeroMemory(&request, sizeof request);
  memcpy(request.header.Cdb, command.cdb, command.cdbLength);
  DWORD error = PassThroughDirect(drive_, &request, DirectionByte(command.direction), command.data,
                                  command.length, command.timeoutSeconds);
  return Answer(error, request.header, request.sense, command);
}

CommandResult PassThroughLink::PrepareForFlash() {
  uint8_t data[INQUIRY_ALLOCATION];
  return Run(InquiryCommand(data, INQUIRY_ALLOCATION));
}

const char *StorageBusName(HANDLE drive) {
  // STORAGE_PROPERTY_QUERY for the device's descriptor; its BusType by the
  // numbers of STORAGE_BUS_TYPE, which every Windows since 2000 keeps.
  static const char *const names[] = {"-",      "scsi",    "atapi", "ata",  "1394",  "ssa",
                                      "fibre",  "usb",     "raid",  "iscsi", "sas",  "sata",
                                      "sd",     "mmc",     "virtual", "virtual"};
  STORAGE_PROPERTY_QUERY query;
  memset(&query, 0, sizeof query);
  query.PropertyId = StorageDeviceProperty;
  query.QueryType = PropertyStandardQuery;
  union {
    STORAGE_DEVICE_DESCRIPTOR descriptor;
    BYTE bytes[512];
  } answer;
  memset(&answer, 0, sizeof answer);
  DWORD returned = 0;
  if (!DeviceIoControl(drive, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &answer, sizeof answer,
                       &returned, NULL) ||
      returned < offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) + sizeof answer.descriptor.BusType)
    return "";
  unsigned type = (unsigned)answer.descriptor.BusType;
  return type > 0 && type < sizeof names / sizeof names[0] ? names[type] : "";
}
