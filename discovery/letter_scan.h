// CD/DVD drives found by drive letter, for pass-through (Windows 2000 and
// later): each listed with its open volume handle, its Big5 label and what
// it says it is.
#ifndef FLASHTOOL_DISCOVERY_LETTER_SCAN_H
#define FLASHTOOL_DISCOVERY_LETTER_SCAN_H

#include <windows.h>

#include "core/inquiry.h"
#include "core/labels.h"

enum { MAX_DRIVES = 24 };  // one per letter from c to z

struct DriveRecord {
  char letter;                        // lower case
  HANDLE handle;                      // open until the next scan
  char label[DRIVE_LABEL_SIZE];       // Big5 text of the list entry
  DriveIdentity identity;
};

struct DriveTable {
  int count;
  DriveRecord records[MAX_DRIVES];
};

// Empties the table and scans c to z; the caller closed the old handles.
// Answers the number of drives found.
int ScanDriveLetters(DriveTable &table);

// Closes the handle of every record below the count; the count stays.
void CloseDriveHandles(DriveTable &table);

#endif
