// Keeps Windows from ending the session or sleeping under a flash job: a
// drive that loses power or its host between two blocks may never start
// again. Each call looks its function up at run time, so the program still
// starts on Windows versions that lack it and then simply goes without.
#ifndef FLASHTOOL_APP_SESSION_GUARD_H
#define FLASHTOOL_APP_SESSION_GUARD_H

#include <windows.h>

// The calling thread keeps the system awake until ReleaseSystemAwake.
void HoldSystemAwake();
void ReleaseSystemAwake();

// The reason Windows shows when it asks the user about a log-off or
// shut-down; only the thread that made `window` may call these.
void BlockShutdown(HWND window);
void UnblockShutdown(HWND window);

#endif
