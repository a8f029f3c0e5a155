// CD/DVD drives found on the ASPI bus.
#ifndef FLASHTOOL_DISCOVERY_ASPI_SCAN_H
#define FLASHTOOL_DISCOVERY_ASPI_SCAN_H

#include <windows.h>

#include "discovery/drive_label.h"

struct AspiDeviceNode {
  BYTE hostAdapterId;
  BYTE targetId;
  AspiDeviceNode *next;
  BYTE name[INQUIRY_NAME_LENGTH];  // vendor and product as the drive gave them
};

// Every node of the last fill, newest first; the list entries refer to them.
extern AspiDeviceNode *AspiNodeList;

int FillAspiEntries();
void FreeAspiNodes();

#endif
