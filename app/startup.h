// The life of the process: platform choice, the main window, the loop, clean-up.
#ifndef FLASHTOOL_APP_STARTUP_H
#define FLASHTOOL_APP_STARTUP_H

#include <windows.h>

// Loads the caption, applies the version rule and hands over to a running
// instance. Answers 1 when this process should go on, 0 when it should end.
int DecideToRun();

int InitApplication();
void PlaceAndShowMainWindow(int showCommand);
int RunMessageLoop();
void CleanUpApplication();

#endif
