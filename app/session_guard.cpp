#include "app/session_guard.h"

typedef EXECUTION_STATE(WINAPI *SetThreadExecutionStateProc)(EXECUTION_STATE);
typedef BOOL(WINAPI *ShutdownBlockReasonCreateProc)(HWND, LPCWSTR);
typedef BOOL(WINAPI *ShutdownBlockReasonDestroyProc)(HWND);

static const wchar_t ShutdownReason[] =
    L"Drive firmware update in progress. Do not turn off the computer.";

// Null when `module` lacks the function.
template <typename Proc>
static Proc Find(const char *module, const char *name) {
  HMODULE loaded = GetModuleHandleA(module);
  return loaded != NULL ? (Proc)(void (*)(void))GetProcAddress(loaded, name) : NULL;
}

static void SetExecutionState(EXECUTION_STATE state) {
  SetThreadExecutionStateProc set =
      Find<SetThreadExecutionStateProc>("kernel32.dll", "SetThreadExecutionState");
  if (set != NULL) set(state);
}

void HoldSystemAwake() { SetExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED); }

void ReleaseSystemAwake() { SetExecutionState(ES_CONTINUOUS); }

void BlockShutdown(HWND window) {
  ShutdownBlockReasonCreateProc create =
      Find<ShutdownBlockReasonCreateProc>("user32.dll", "ShutdownBlockReasonCreate");
  if (create != NULL) create(window, ShutdownReason);
}

void UnblockShutdown(HWND window) {
  ShutdownBlockReasonDestroyProc destroy =
      Find<ShutdownBlockReasonDestroyProc>("user32.dll", "ShutdownBlockReasonDestroy");
  if (destroy != NULL) destroy(window);
}
