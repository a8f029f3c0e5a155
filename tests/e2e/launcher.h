// Starts a program with vdrive_inject.dll loaded on its main thread before
// any of the program's own code runs.
#ifndef FLASHTOOL_TESTS_E2E_LAUNCHER_H
#define FLASHTOOL_TESTS_E2E_LAUNCHER_H

#include <windows.h>

#include <string>

// Creates `exe` suspended (inheriting this process's environment, where the
// caller has put the drive configuration), patches its entry point so that it
// first loads `dll`, then resumes it. A console program's standard output
// and error go to `output` when it is given (an inheritable handle). On
// failure the child is ended and `error` says which step failed.
bool StartInjected(const std::string &exe, const std::string &arguments, const std::string &dll, PROCESS_INFORMATION *started,
                   std::string *error, HANDLE output = NULL);

#endif
