#include "fake_aspi.h"

#include <algorithm>
#include <cstring>

#include "app/app_state.h"
#include "transport/aspi.h"
#include "support/late_completion.h"

std::vector<FakeCompletion> FakeScript;
std::vector<SentRequest> FakeSent;
std::vector<BYTE> FakeAdapters;
std::vector<FakeTarget> FakeTargets;
int FakeDeviceQueries;

namespace {

const FakeTarget *FindTarget(BYTE adapter, BYTE target) {
  for (const FakeTarget &t : FakeTargets)
    if (t.adapter == adapter && t.target == target) return &t;
  return NULL;
}

DWORD AnswerAdapterInquiry(SRB_HAInquiry *inquiry) {
  ++FakeDeviceQueries;
  bool known = inquiry->SRB_HaId < FakeAdapters.size();
  if (known) inquiry->HA_Unique[3] = FakeAdapters[inquiry->SRB_HaId];
  return inquiry->SRB_Status = known ? SS_COMP : 0x81;
}

DWORD AnswerDeviceType(SRB_GDEVBlock *query) {
  ++FakeDeviceQueries;
  const FakeTarget *target = FindTarget(query->SRB_HaId, query->SRB_Target);
  if (target == NULL || query->SRB_Lun != 0) return query->SRB_Status = 0x82;
  query->SRB_DeviceType = target->deviceType;
  return query->SRB_Status = SS_COMP;
}

// Execute requests share their head and CDB; only the sense area's length
// differs, and the fake touches its first 14 bytes only.
DWORD __cdecl FakeSend(void *block) {
  BYTE command = *(BYTE *)block;
  if (command == SC_HA_INQUIRY) return AnswerAdapterInquiry((SRB_HAInquiry *)block);
  if (command == SC_GET_DEV_TYPE) return AnswerDeviceType((SRB_GDEVBlock *)block);
  SRB_ExecSCSICmd *request = (SRB_ExecSCSICmd *)block;
  const FakeTarget *target = FindTarget(request->SRB_HaId, request->SRB_Target);
  if (target != NULL && request->CDBByte[0] == 0x12 && request->SRB_BufPointer != NULL)
    memcpy(request->SRB_BufPointer, target->inquiry.data(),
           std::min<size_t>(request->SRB_BufLen, target->inquiry.size()));
  SentRequest sent = {request->SRB_HaId,   request->SRB_Target,    request->SRB_Flags,
                      request->SRB_SenseLen, request->SRB_CDBLen, request->SRB_BufLen,
                      request->SRB_BufPointer, request->SRB_PostProc != NULL,
                      std::vector<BYTE>(request->CDBByte, request->CDBByte + ASPI_CDB_SIZE)};
  FakeCompletion step = FakeScript.empty() ? FakeCompletion()
                        : FakeSent.size() < FakeScript.size() ? FakeScript[FakeSent.size()]
                                                              : FakeScript.back();
  FakeSent.push_back(sent);
  request->SRB_HaStat = step.hostAdapterStatus;
  request->SRB_TargStat = step.targetStatus;
  request->SenseArea[2] = step.sense2;
  request->SenseArea[12] = step.asc;
  request->SenseArea[13] = step.ascq;
  if (step.later && (request->SRB_Flags & SRB_EVENT_NOTIFY)) return CompleteLater(request, step.status, 30);
  request->SRB_Status = step.status;
  return step.status;
}

DWORD __cdecl FakeSupportInfo() { return 0x0100 | (DWORD)FakeAdapters.size(); }

}  // namespace

void InstallFakeAspi() {
  AspiBinding = AspiLayer();
  AspiBinding.getSupportInfo = FakeSupportInfo;
  AspiBinding.sendCommand = FakeSend;
  FakeScript.clear();
  FakeSent.clear();
  FakeAdapters.assign(1, 8);
  FakeTargets.clear();
  FakeDeviceQueries = 0;
}
