// The Flash command: checks the selection, clears the drive's auto-insert
// notification on Windows 98/ME, and starts the flash worker.
#ifndef FLASHTOOL_APP_FLASH_START_H
#define FLASHTOOL_APP_FLASH_START_H

void StartFlash();

// 1 when it rewrote at least one "AutoInsertNotification" value, else 0.
int AutoInsertGuard(const char *searchText);

#endif
