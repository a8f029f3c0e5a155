// The main window: its procedure, its commands and the controls that the
// template leaves to the program.
#ifndef FLASHTOOL_APP_MAIN_WINDOW_H
#define FLASHTOOL_APP_MAIN_WINDOW_H

#include <windows.h>

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void DispatchCommand(WPARAM wParam, LPARAM lParam);
int ExitProgram();

// Creates the image path row, the Flash button, the progress bar and the log
// below the device list, moves Exit to the bottom and grows the window.
void AddWorkControls(HWND window);

#endif
