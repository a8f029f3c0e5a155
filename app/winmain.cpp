// Entry point of FlashTool.exe. The process always ends with exit code 0.
#include <windows.h>

#include "app/app_state.h"
#include "app/startup.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  AppInstance = instance;
  if (!DecideToRun()) return 0;

  int exitCode = 0;
  if (InitApplication()) {
    PlaceAndShowMainWindow(showCommand);
    exitCode = RunMessageLoop();
  }
  CleanUpApplication();
  return exitCode;
}
