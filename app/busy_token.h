// The busy token keeps a list refresh, a flash job and Exit from overlapping.
// Nobody waits for it: a take succeeds at once or is refused.
#ifndef FLASHTOOL_APP_BUSY_TOKEN_H
#define FLASHTOOL_APP_BUSY_TOKEN_H

#include <windows.h>

extern HANDLE BusyToken;

int TakeBusyToken();
void GiveBackBusyToken();

#endif
