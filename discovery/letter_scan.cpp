#include "discovery/letter_scan.h"

#include <cstring>

#include "transport/passthrough.h"

// Standard INQUIRY data of the volume; a request that brings back nothing
// leaves the cleared data, which reads as device type 0.
static void InquireVolume(HANDLE volume, PassThroughBuffer &request) {
  ZeroMemory(&request, sizeof request);
  ScsiCommand inquiry = InquiryCommand(request.data, INQUIRY_ALLOCATION);
  memcpy(request.header.Cdb, inquiry.cdb, inquiry.cdbLength);
  PassThroughBuffered(volume, &request, SCSI_IOCTL_DATA_IN, inquiry.length);
}

int ScanDriveLetters(DriveTable &table) {
  table.count = 0;
  static PassThroughBuffer request;  // 2 KB: kept off the window thread's stack
  for (char letter = 'c'; letter <= 'z'; ++letter) {
    char path[8];
    wsprintfA(path, "\\\\.\\%c:", letter);
    HANDLE volume = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL,
                                OPEN_EXISTING, 0, NULL);
    if (volume == INVALID_HANDLE_VALUE) continue;

    InquireVolume(volume, request);
    DriveIdentity identity = ParseInquiry(request.data, INQUIRY_ALLOCATION);
    // The device type alone decides: Windows already made the letter a
    // CD/DVD volume, and a unit that is not there fails at its INQUIRY in a
    // flash, cleanly.
    if (identity.deviceType != CD_DVD_DEVICE_TYPE) {
      CloseHandle(volume);
      continue;
    }
    DriveRecord &record = table.records[table.count++];
    record.letter = letter;
    record.handle = volume;
    BuildDriveLabel(request.data, record.label);
    record.identity = identity;
  }
  return table.count;
}

void CloseDriveHandles(DriveTable &table) {
  for (int i = 0; i < table.count; ++i) CloseHandle(table.records[i].handle);
}
