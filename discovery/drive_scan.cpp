#include "discovery/drive_scan.h"

#include <cstring>

#include "app/app_state.h"
#include "res/resource.h"
#include "scsi/passthrough.h"

DriveTable TheDriveTable;

enum { INQUIRY_OPCODE = 0x12, CD_DVD_DEVICE_TYPE = 5 };

// Standard INQUIRY data of the volume; a request that brings back nothing
// leaves the cleared data, which reads as device type 0.
static void InquireVolume(HANDLE volume, PassThroughBuffer &request) {
  ZeroMemory(&request, sizeof request);
  request.header.Cdb[0] = INQUIRY_OPCODE;
  request.header.Cdb[4] = INQUIRY_DATA_LENGTH;  // allocation length
  PassThroughBuffered(volume, &request, SCSI_IOCTL_DATA_IN, INQUIRY_DATA_LENGTH);
}

int ScanDriveLetters(DriveTable &table) {
  table.count = 0;
  static PassThroughBuffer request;  // 2 KB: kept off the UI thread's stack
  for (char letter = 'c'; letter <= 'z'; ++letter) {
    char path[8];
    wsprintfA(path, "\\\\.\\%c:", letter);
    HANDLE volume = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL,
                                OPEN_EXISTING, 0, NULL);
    if (volume == INVALID_HANDLE_VALUE) continue;

    InquireVolume(volume, request);
    if ((request.data[0] & 0x1F) != CD_DVD_DEVICE_TYPE) {
      CloseHandle(volume);
      continue;
    }
    DriveRecord &record = table.records[table.count++];
    record.letter = letter;
    record.handle = volume;
    BuildDriveLabel(request.data, record.label);
    memcpy(record.name, request.data + INQUIRY_NAME_OFFSET, INQUIRY_NAME_LENGTH);
  }
  return table.count;
}

int FillDriveEntries() {
  if (TheDriveTable.count > 0) CloseDriveHandles(TheDriveTable);
  ScanDriveLetters(TheDriveTable);
  HWND list = GetDlgItem(MainWindow, IDC_DEVICE_LIST);
  for (int i = 0; i < TheDriveTable.count; ++i) {
    SendMessageA(list, LB_ADDSTRING, 0, (LPARAM)TheDriveTable.records[i].label);
    SendMessageA(list, LB_SETITEMDATA, i, i);
  }
  return TheDriveTable.count;
}
