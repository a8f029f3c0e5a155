// flashtool_launch EXE: starts the program with the virtual drives of
// FLASHTOOL_VDRIVE_CONFIG injected, waits for it and hands on its exit code.
// scripts/run uses it so that a newcomer can flash without a real drive.
#include <windows.h>

#include <cstdio>
#include <string>

#include "e2e/launcher.h"

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: flashtool_launch FLASHTOOL_EXE\n");
    return 2;
  }
  char self[MAX_PATH];
  GetModuleFileNameA(NULL, self, sizeof self);
  std::string dll = self;
  dll = dll.substr(0, dll.rfind('\\') + 1) + "vdrive_inject.dll";
  PROCESS_INFORMATION program;
  std::string error;
  if (!StartInjected(argv[1], "", dll, &program, &error)) {
    fprintf(stderr, "cannot start %s: %s\n", argv[1], error.c_str());
    return 1;
  }
  WaitForSingleObject(program.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(program.hProcess, &code);
  return (int)code;
}
