#include "discovery/refresh.h"

#include <dbt.h>

#include "app/app_state.h"
#include "app/busy_token.h"
#include "discovery/aspi_scan.h"
#include "discovery/drive_scan.h"
#include "res/resource.h"
#include "scsi/aspi.h"

LONG RefreshPending;

void RefreshDeviceList() {
  // A refused take leaves the flag set: a later tick tries again.
  if (!TakeBusyToken()) return;
  RefreshPending = 0;
  HWND list = GetDlgItem(MainWindow, IDC_DEVICE_LIST);
  SendMessageA(list, LB_RESETCONTENT, 0, 0);
  // Only after the entries that point at the nodes are gone.
  FreeAspiNodes();
  int found = CurrentTransport == AspiMode ? FillAspiEntries() : FillDriveEntries();
  if (found > 0) SendMessageA(list, LB_SETCURSEL, 0, 0);
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
