// Rebuilding the device list: at start-up, then on the first tick after a
// device change.
#ifndef FLASHTOOL_DISCOVERY_REFRESH_H
#define FLASHTOOL_DISCOVERY_REFRESH_H

#include <windows.h>

extern LONG RefreshPending;

void RefreshDeviceList();
void OnRefreshTimer();
void OnDeviceChange(WPARAM eventType, LPARAM eventData);

#endif
