// Binding WNASPI32 at start-up, before any window exists, and telling the
// user when it cannot be bound.
#ifndef FLASHTOOL_APP_ASPI_BINDING_H
#define FLASHTOOL_APP_ASPI_BINDING_H

#include <windows.h>

// 1 when ASPI is usable, 0 after a message box.
int BindAspi();
void ShowAspiStartupError(DWORD errorCode, DWORD aspiStatus);
void UnbindAspi();

#endif
