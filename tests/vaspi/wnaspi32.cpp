// A WNASPI32.dll of the tests' own: the ASPI for Win32 entry points over
// virtual drives, so that the real FlashTool.exe runs its ASPI route under
// Wine. Placed next to the exe and preferred to Wine's builtin one with
// WINEDLLOVERRIDES=wnaspi32=n.
//
// The drives come from the virtual drive configuration named by
// FLASHTOOL_VDRIVE_CONFIG: a section "[drive A:T]" is target T on host
// adapter A. The file is read again when it changes, so drives can come
// and go while the program runs. The bus itself is set by FLASHTOOL_VASPI_BUS, "key=value"
// pairs separated by ';':
//   adapters=N         host adapters (default 1)
//   max_targets=a,b,.. HA_Unique byte 3 of each adapter (default 8)
//   support_status=S   the status GetASPI32SupportInfo reports (default 1)
//   completion=later   complete requests from another thread through their
//                      event instead of at once
//   devnodes=D:A:T,..  devnodes that TranslateASPI32Address knows
// Every request is written to the journal named by FLASHTOOL_VDRIVE_JOURNAL.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "transport/aspi_srb.h"
#include "support/late_completion.h"
#include "vdrive/vdrive.h"

namespace {

enum { SS_ERR = 0x04, SS_INVALID_HA = 0x81, SS_NO_DEVICE = 0x82, HASTAT_SEL_TO = 0x11 };

struct Bus {
  int adapters = 1;
  std::vector<int> maxTargets;
  int supportStatus = SS_COMP;
  bool later = false;
  std::map<DWORD, DWORD> devnodes;  // devnode -> adapter << 8 | target
};

CRITICAL_SECTION Lock;
Bus TheBus;
vdrive::DriveSet Drives;  // by "A:T"
std::string ConfigPath, JournalPath;
bool Loaded;

std::string Env(const char *name) {
  const char *value = getenv(name);
  return value != NULL ? value : "";
}

void Journal(const std::string &line) { vdrive::AppendJournal(JournalPath, line); }

void ParseBus(const std::string &text) {
  std::stringstream pairs(text);
  std::string pair;
  while (std::getline(pairs, pair, ';')) {
    size_t equals = pair.find('=');
    if (equals == std::string::npos) continue;
    std::string key = pair.substr(0, equals), value = pair.substr(equals + 1);
    std::stringstream items(value);
    std::string item;
    if (key == "adapters") TheBus.adapters = atoi(value.c_str());
    else if (key == "support_status") TheBus.supportStatus = (int)strtol(value.c_str(), NULL, 0);
    else if (key == "completion") TheBus.later = value == "later";
    else if (key == "max_targets")
      while (std::getline(items, item, ',')) TheBus.maxTargets.push_back(atoi(item.c_str()));
    else if (key == "devnodes")
      while (std::getline(items, item, ',')) {
        unsigned devnode, adapter, target;
        if (sscanf(item.c_str(), "%i:%u:%u", (int *)&devnode, &adapter, &target) == 3)
          TheBus.devnodes[devnode] = adapter << 8 | target;
      }
  }
}

void Load() {
  if (!Loaded) {
    Loaded = true;
    JournalPath = Env("FLASHTOOL_VDRIVE_JOURNAL");
    ConfigPath = Env("FLASHTOOL_VDRIVE_CONFIG");
    ParseBus(Env("FLASHTOOL_VASPI_BUS"));
  }
  Journal(Drives.ApplyFile(ConfigPath));
}

vdrive::Drive *Find(BYTE adapter, BYTE target) {
  char name[16];
  sprintf(name, "%u:%u", adapter, target);
  vdrive::Drive *drive = Drives.Find(name);
  return drive != NULL && drive->Present() ? drive : NULL;
}

DWORD AdapterInquiry(SRB_HAInquiry *request) {
  if (request->SRB_HaId >= TheBus.adapters) return request->SRB_Status = SS_INVALID_HA;
  request->HA_Count = (BYTE)TheBus.adapters;
  request->HA_SCSI_ID = 7;
  memcpy(request->HA_ManagerId, "VIRTUAL ASPI    ", 16);
  memcpy(request->HA_Identifier, "VIRTUAL ADAPTER ", 16);
  size_t a = request->SRB_HaId;
  request->HA_Unique[3] = (BYTE)(a < TheBus.maxTargets.size() ? TheBus.maxTargets[a] : 8);
  return request->SRB_Status = SS_COMP;
}

DWORD DeviceType(SRB_GDEVBlock *request) {
  vdrive::Drive *drive = Find(request->SRB_HaId, request->SRB_Target);
  if (drive == NULL || request->SRB_Lun != 0) return request->SRB_Status = SS_NO_DEVICE;
  request->SRB_DeviceType = (BYTE)(drive->config.type & 0x1F);
  return request->SRB_Status = SS_COMP;
}

// Runs the command on the drive and writes the outcome into the request,
// all but its status. Answers the status the request is to end with; a
// rejected request is answered at once and its status never written.
BYTE RunCommand(SRB_ExecSCSICmd *request, bool *hang, bool *rejected, int *delayMs) {
  // The CDB goes last: a reader takes it to the end of the line.
  std::ostringstream line;
  line << "ASPI " << (int)request->SRB_HaId << ":" << (int)request->SRB_Target
       << " cdblen=" << (int)request->SRB_CDBLen << " flags=" << std::hex << (int)request->SRB_Flags
       << std::dec << " buflen=" << request->SRB_BufLen << " senselen=" << (int)request->SRB_SenseLen
       << " event=" << (request->SRB_PostProc != NULL ? 1 : 0);
  std::string cdb =
      " cdb=" + vdrive::Hex(request->CDBByte, request->SRB_CDBLen < 16 ? request->SRB_CDBLen : 16);
  vdrive::Drive *drive = Find(request->SRB_HaId, request->SRB_Target);
  if (drive == NULL) {
    Journal(line.str() + " status=82" + cdb);
    return SS_NO_DEVICE;
  }
  vdrive::Direction direction = (request->SRB_Flags & SRB_DIR_IN)    ? vdrive::DIR_IN
                                : (request->SRB_Flags & SRB_DIR_OUT) ? vdrive::DIR_OUT
                                                                     : vdrive::DIR_NONE;
  vdrive::Result result = drive->Execute(request->CDBByte, request->SRB_CDBLen, direction,
                                         request->SRB_BufPointer, request->SRB_BufLen);
  BYTE status = SS_COMP;
  *delayMs = result.delayMs;
  switch (result.kind) {
    case vdrive::Result::HANG: *hang = true; break;
    case vdrive::Result::ASPI_ERROR: status = result.aspiStatus; break;
    case vdrive::Result::ASPI_REJECTED:
      status = result.aspiStatus;
      *rejected = true;
      break;
    case vdrive::Result::WIN32_ERROR:
      status = SS_ERR;
      request->SRB_HaStat = HASTAT_SEL_TO;
      break;
    case vdrive::Result::COMPLETED:
      request->SRB_TargStat = result.scsiStatus;
      if (result.scsiStatus != 0) {
        status = SS_ERR;
        size_t n = result.sense.size() < request->SRB_SenseLen ? result.sense.size() : request->SRB_SenseLen;
        memcpy(request->SenseArea, result.sense.data(), n);
      }
      break;
  }
  char tail[32];
  sprintf(tail, *hang ? " status=hang" : *rejected ? " rejected=%02x" : " status=%02x", status);
  Journal(line.str() + tail + cdb);
  for (const std::string &event : result.events) Journal(event);
  return status;
}

DWORD Execute(SRB_ExecSCSICmd *request) {
  bool hang = false, rejected = false;
  int delayMs = 0;
  BYTE status = RunCommand(request, &hang, &rejected, &delayMs);
  if (hang) return request->SRB_Status = SS_PENDING;  // and it never completes
  if (rejected) return status;
  if (delayMs > 0) return CompleteLater(request, status, delayMs);
  if (TheBus.later) return CompleteLater(request, status, 20);
  request->SRB_Status = status;
  if (request->SRB_Flags & SRB_EVENT_NOTIFY) SetEvent(request->SRB_PostProc);
  return status;
}

}  // namespace

extern "C" {

__declspec(dllexport) DWORD __cdecl GetASPI32SupportInfo(void) {
  EnterCriticalSection(&Lock);
  Load();
  DWORD info = (DWORD)(TheBus.supportStatus & 0xFF) << 8 | (DWORD)(TheBus.adapters & 0xFF);
  LeaveCriticalSection(&Lock);
  return info;
}

__declspec(dllexport) DWORD __cdecl SendASPI32Command(void *request) {
  EnterCriticalSection(&Lock);
  Load();
  DWORD status;
  switch (*(BYTE *)request) {
    case SC_HA_INQUIRY: status = AdapterInquiry((SRB_HAInquiry *)request); break;
    case SC_GET_DEV_TYPE: status = DeviceType((SRB_GDEVBlock *)request); break;
    case SC_EXEC_SCSI_CMD: status = Execute((SRB_ExecSCSICmd *)request); break;
    default: status = ((BYTE *)request)[1] = 0x80;  // SS_INVALID_CMD
  }
  LeaveCriticalSection(&Lock);
  return status;
}

__declspec(dllexport) BOOL __cdecl GetASPI32Buffer(void *) { return FALSE; }
__declspec(dllexport) BOOL __cdecl FreeASPI32Buffer(void *) { return FALSE; }

// Unknown devnodes translate to the path 0xFFFF, as a device that ASPI does
// not address.
__declspec(dllexport) BOOL __cdecl TranslateASPI32Address(DWORD *path, DWORD *devnode) {
  EnterCriticalSection(&Lock);
  Load();
  auto found = TheBus.devnodes.find(*devnode);
  *path = found != TheBus.devnodes.end() ? found->second : 0xFFFF;
  LeaveCriticalSection(&Lock);
  return TRUE;
}

}  // extern "C"

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) InitializeCriticalSection(&Lock);
  return TRUE;
}
