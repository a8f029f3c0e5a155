// Finishes an ASPI execute request a little later on a thread of its own, as
// a real layer does for a command that takes time: the status lands in the
// request, then its completion event is set when the caller asked for one.
// Shared by the in-process fake of the Windows tests and the virtual
// WNASPI32.dll.
#ifndef FLASHTOOL_TESTS_SUPPORT_LATE_COMPLETION_H
#define FLASHTOOL_TESTS_SUPPORT_LATE_COMPLETION_H

#include <windows.h>

#include "transport/aspi_srb.h"

struct LateCompletion {
  SRB_ExecSCSICmd *request;
  BYTE status;
  DWORD delayMs;
};

inline DWORD WINAPI RunLateCompletion(LPVOID parameter) {
  LateCompletion *late = (LateCompletion *)parameter;
  Sleep(late->delayMs);
  late->request->SRB_Status = late->status;
  if (late->request->SRB_Flags & SRB_EVENT_NOTIFY) SetEvent(late->request->SRB_PostProc);
  delete late;
  return 0;
}

// Marks the request pending and answers SS_PENDING, as the layer's call does.
inline DWORD CompleteLater(SRB_ExecSCSICmd *request, BYTE status, DWORD delayMs) {
  request->SRB_Status = SS_PENDING;
  CloseHandle(CreateThread(NULL, 0, RunLateCompletion, new LateCompletion{request, status, delayMs},
                           0, NULL));
  return SS_PENDING;
}

#endif
