// One flash job: the image into the selected drive, on a worker thread
// that runs the flash sequence and tells the window what happens.
#ifndef FLASHTOOL_APP_FLASH_JOB_H
#define FLASHTOOL_APP_FLASH_JOB_H

#include <windows.h>

// The worker's start routine: 1 when the whole image went out, else 0.
// Ends by posting WM_FLASH_DONE after its last lines.
DWORD WINAPI RunFlashJob(LPVOID unused);
// The window's side of WM_FLASH_DONE: the outcome is in the log, so the
// busy token goes back and the guarded controls come back.
void OnFlashDone();

void AppendLogLine(const char *line);
// The window's side of the lines that the worker posted: appends and frees them.
void OnFlashLogLines(WPARAM lines);

#endif
