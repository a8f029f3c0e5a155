// CD/DVD drives found by drive letter, for pass-through.
#ifndef FLASHTOOL_DISCOVERY_DRIVE_SCAN_H
#define FLASHTOOL_DISCOVERY_DRIVE_SCAN_H

#include <windows.h>

#include "discovery/drive_label.h"

enum { MAX_DRIVES = 24 };  // one per letter from c to z

struct DriveRecord {
  char letter;                    // lower case
  HANDLE handle;                  // open until the next scan
  char label[DRIVE_LABEL_SIZE];   // Big5 text of the list entry
  uint8_t name[INQUIRY_NAME_LENGTH];  // vendor and product as the drive gave them
};

struct DriveTable {
  int count;
  DriveRecord records[MAX_DRIVES];
};

extern DriveTable TheDriveTable;

// Empties the table and scans c to z; the caller closed the old handles.
int ScanDriveLetters(DriveTable &table);

// Rescans and lists every drive; answers the number of entries added.
int FillDriveEntries();

#endif
