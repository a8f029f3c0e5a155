// One flash job: the image into the selected drive, on a worker thread
// that runs the flash sequence and tells the window what happens.
#ifndef FLASHTOOL_APP_FLASH_JOB_H
#define FLASHTOOL_APP_FLASH_JOB_H

#include <windows.h>

// The worker's start routine: 1 when the whole image went out, else 0.
// Gives back the busy token on every way out.
DWORD WINAPI RunFlashJob(LPVOID unused);

void AppendLogLine(const char *line);
// The window's side of the lines that the worker posted: appends and frees them.
void OnFlashLogLines(WPARAM lines);

#endif
