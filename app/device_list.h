// The device list: filled from the drives that discovery finds, rebuilt at
// start-up and on the first tick after a device change, the user's pick
// kept across rebuilds.
#ifndef FLASHTOOL_APP_DEVICE_LIST_H
#define FLASHTOOL_APP_DEVICE_LIST_H

#include <windows.h>

#include "core/inquiry.h"

// A drive found on the ASPI bus: the item datum of its list entry.
struct AspiDeviceNode {
  BYTE hostAdapterId;
  BYTE targetId;
  AspiDeviceNode *next;
  BYTE name[INQUIRY_NAME_LENGTH];  // vendor and product as the drive gave them
};

// Every node of the last fill, newest first; the list entries refer to them.
extern AspiDeviceNode *AspiNodeList;
extern LONG RefreshPending;

// Each empties nothing: it appends the drives it finds and answers how many.
int FillDriveEntries();
int FillAspiEntries();
void FreeAspiNodes();

void RefreshDeviceList();
void OnRefreshTimer();
void OnDeviceChange(WPARAM eventType, LPARAM eventData);

#endif
