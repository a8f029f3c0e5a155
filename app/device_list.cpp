#include "app/device_list.h"

#include <dbt.h>

#include <cstring>

#include "app/app_state.h"
#include "app/busy_token.h"
#include "app/failure_dialog.h"
#include "discovery/aspi_walk.h"
#include "discovery/letter_scan.h"
#include "res/resource.h"

AspiDeviceNode *AspiNodeList;
LONG RefreshPending;

static HWND DeviceList() { return GetDlgItem(MainWindow, IDC_DEVICE_LIST); }

int FillDriveEntries() {
  if (TheDriveTable.count > 0) CloseDriveHandles(TheDriveTable);
  ScanDriveLetters(TheDriveTable);
  HWND list = DeviceList();
  for (int i = 0; i < TheDriveTable.count; ++i) {
    SendMessageA(list, LB_ADDSTRING, 0, (LPARAM)TheDriveTable.records[i].label);
    SendMessageA(list, LB_SETITEMDATA, i, i);
  }
  return TheDriveTable.count;
}

// Lists each drive as the walk confirms it; a failed INQUIRY shows the
// failure dialog, owned by the window, before the walk goes on.
class ListFiller : public AspiWalkObserver {
 public:
  void Found(const AspiDevice &device) override {
    AspiDeviceNode *node =
        (AspiDeviceNode *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(AspiDeviceNode));
    if (node == NULL) return;  // that drive stays unlisted
    node->hostAdapterId = device.hostAdapterId;
    node->targetId = device.targetId;
    memcpy(node->name, device.inquiry + INQUIRY_NAME_OFFSET, INQUIRY_NAME_LENGTH);
    node->next = AspiNodeList;
    AspiNodeList = node;
    HWND list = DeviceList();
    SendMessageA(list, LB_INSERTSTRING, added, (LPARAM)device.text);
    SendMessageA(list, LB_SETITEMDATA, added, (LPARAM)node);
    ++added;
  }
  void CommandFailed(const SRB_ExecSCSICmd &request) override { CommandFailureDialog(&request); }
  int added = 0;
};

int FillAspiEntries() {
  ListFiller filler;
  WalkAspiBus(AspiBinding, filler);
  return filler.added;
}

void FreeAspiNodes() {
  while (AspiNodeList != NULL) {
    AspiDeviceNode *next = AspiNodeList->next;
    HeapFree(GetProcessHeap(), 0, AspiNodeList);
    AspiNodeList = next;
  }
}

// The drive the user picked, told apart from every other by where it sits
// (its letter, or its host adapter and target) and by what it calls itself.
struct PickedDrive {
  int place;
  uint8_t name[INQUIRY_NAME_LENGTH];
};

// The drive behind list entry `index`; 0 when the entry stands for none.
static int DriveOfEntry(HWND list, LRESULT index, PickedDrive *drive) {
  LRESULT datum = SendMessageA(list, LB_GETITEMDATA, index, 0);
  const uint8_t *name;
  if (CurrentTransport == AspiMode) {
    const AspiDeviceNode *node = (const AspiDeviceNode *)datum;
    if (node == NULL || datum == LB_ERR) return 0;
    drive->place = node->hostAdapterId << 8 | node->targetId;
    name = node->name;
  } else {
    if (datum < 0 || datum >= TheDriveTable.count) return 0;
    drive->place = (unsigned char)TheDriveTable.records[datum].letter;
    name = TheDriveTable.records[datum].identity.name;
  }
  memcpy(drive->name, name, INQUIRY_NAME_LENGTH);
  return 1;
}

// Answers 0 when no entry is selected. Read before the rebuild frees what
// the entries point at.
static int ReadPickedDrive(HWND list, PickedDrive *picked) {
  LRESULT selection = SendMessageA(list, LB_GETCURSEL, 0, 0);
  return selection != LB_ERR && DriveOfEntry(list, selection, picked);
}

// The entry of the picked drive after the rebuild, or -1 when it is gone.
static int FindPickedDrive(HWND list, int count, const PickedDrive &picked) {
  for (int i = 0; i < count; ++i) {
    PickedDrive listed;
    if (DriveOfEntry(list, i, &listed) && listed.place == picked.place &&
        memcmp(listed.name, picked.name, INQUIRY_NAME_LENGTH) == 0)
      return i;
  }
  return -1;
}

void RefreshDeviceList() {
  // A refused take leaves the flag set: a later tick tries again.
  if (!TakeBusyToken()) return;
  RefreshPending = 0;
  HWND list = DeviceList();
  PickedDrive picked;
  int hadPick = ReadPickedDrive(list, &picked);
  SendMessageA(list, LB_RESETCONTENT, 0, 0);
  // Only after the entries that point at the nodes are gone.
  FreeAspiNodes();
  int found = CurrentTransport == AspiMode ? FillAspiEntries() : FillDriveEntries();
  // A device change must never move the selection to another drive, or
  // Flash would write a drive the user did not pick: the pick stays while
  // its drive is listed, and when it has gone nothing is selected.
  int select = hadPick ? FindPickedDrive(list, found, picked) : found > 0 ? 0 : -1;
  SendMessageA(list, LB_SETCURSEL, (WPARAM)select, 0);
  GiveBackBusyToken();
}

void OnRefreshTimer() {
  if (RefreshPending == 1) RefreshDeviceList();
}

// ASPI only cares about devices it can address: arrivals and removals of a
// devnode that it translates to a host adapter and target.
static bool ConcernsAspiDevice(WPARAM eventType, LPARAM eventData) {
  if (AspiBinding.translateAddress == NULL) return false;
  if (eventType != DBT_DEVICEARRIVAL && eventType != DBT_DEVICEREMOVECOMPLETE) return false;
  const DEV_BROADCAST_HDR *header = (const DEV_BROADCAST_HDR *)eventData;
  if (header == NULL || header->dbch_devicetype != DBT_DEVTYP_DEVNODE) return false;
  DWORD devnode = ((const DEV_BROADCAST_DEVNODE *)header)->dbcd_devnode;
  DWORD path = 0;
  if (!AspiBinding.translateAddress(&path, &devnode)) return false;
  return LOWORD(path) != 0xFFFF;
}

void OnDeviceChange(WPARAM eventType, LPARAM eventData) {
  if (CurrentTransport == PassThroughMode || ConcernsAspiDevice(eventType, eventData))
    RefreshPending = 1;
}
