// Process-wide state of the application shell, written at start-up and read
// by every module that talks to the window or a drive.
#ifndef FLASHTOOL_APP_STATE_H
#define FLASHTOOL_APP_STATE_H

#include <windows.h>

enum TransportMode { AspiMode, PassThroughMode };

enum { TEXT_BUFFER_SIZE = 256 };

extern HINSTANCE AppInstance;
extern HWND MainWindow;            // null before creation and after Exit
extern TransportMode CurrentTransport;
extern char MessageCaption[TEXT_BUFFER_SIZE];
extern HANDLE FlashThread;         // newest flash worker, null until one starts

#endif
