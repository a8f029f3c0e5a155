// Redirects one import of a loaded module: how the tests put doubles under
// the program's own calls to kernel32 and user32 without touching its code.
#ifndef FLASHTOOL_TESTS_SUPPORT_IAT_PATCH_H
#define FLASHTOOL_TESTS_SUPPORT_IAT_PATCH_H

#include <windows.h>

// Points `module`'s import address table entry for `function` (imported by
// name from `dll`, compared without regard to case) at `replacement` and
// returns what the entry held before, or NULL when the module does not import
// it. Reading works for PE32 and PE32+ images alike.
void *PatchImport(HMODULE module, const char *dll, const char *function, void *replacement);

#endif
