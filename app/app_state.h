// Process-wide state of the application shell, written at start-up and read
// by every module that talks to the window or a drive.
#ifndef FLASHTOOL_APP_STATE_H
#define FLASHTOOL_APP_STATE_H

#include <windows.h>

#include "discovery/letter_scan.h"
#include "transport/aspi.h"

enum TransportMode { AspiMode, PassThroughMode };

enum { TEXT_BUFFER_SIZE = 256 };

// What the flash worker posts to the main window, so that it never waits
// for the window between two blocks.
enum {
  WM_FLASH_PROGRESS = WM_APP + 1,  // wParam: blocks sent so far, lParam: of how many
  WM_FLASH_LOG = WM_APP + 2,       // wParam: lines for the log, freed by the window
  WM_FLASH_DONE = WM_APP + 3       // the job has written its outcome
};

extern HINSTANCE AppInstance;
extern HWND MainWindow;            // null before creation and after Exit
extern TransportMode CurrentTransport;
extern char MessageCaption[TEXT_BUFFER_SIZE];
extern HANDLE FlashThread;         // newest flash worker, null until one starts
extern AspiLayer AspiBinding;      // WNASPI32 and its entry points, in ASPI mode
extern DriveTable TheDriveTable;   // the drives by letter, in pass-through mode
// 1 from the start of a flash job until its outcome is in the log; the
// session must not end in between.
extern volatile LONG FlashJobActive;

#endif
