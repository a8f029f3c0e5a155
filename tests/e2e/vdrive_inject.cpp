// vdrive_inject.dll: loaded into the program under test before its own code
// runs, it reroutes the program's imports of CreateFileA, DeviceIoControl,
// CloseHandle and ExitWindowsEx so that volume paths reach virtual drives,
// the real machine's drives are never touched and no test restarts Wine.
// Settings come from the file in FLASHTOOL_VDRIVE_CONFIG; every call is
// recorded in the journal file named by FLASHTOOL_VDRIVE_JOURNAL.
//
// GetDriveTypeA answers from the configuration too: DRIVE_CDROM for a
// present drive of type 5 or a denied letter, DRIVE_FIXED for another
// drive, DRIVE_NO_ROOT_DIR for the rest.
//
// It also watches what the program asks of Windows around a flash (the
// execution state and the shutdown block reason, found through
// GetProcAddress) and can make the program's own calls fail as Windows
// would, from FLASHTOOL_INJECT_FAULTS, "key=value" pairs split by ';':
//   read_lock=NAME@OFFSET  ReadFile on a file whose path ends with NAME fails
//                          with ERROR_LOCK_VIOLATION once a read reaches
//                          OFFSET, as when another process locked that range
//   no_events=1            CreateEventA fails
//   deny_open=LETTERS      opening these drive letters fails with
//                          ERROR_ACCESS_DENIED, as without administrator
//                          rights; Windows still calls them CD/DVD drives
// With FLASHTOOL_VDRIVE_QUIET=1 (the benchmark) the drives answer without
// writing a line per command or rereading the configuration.
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/iat_patch.h"
#include "vdrive/vdrive.h"

namespace {

using vdrive::Format;

CRITICAL_SECTION Lock;
std::string ConfigPath, JournalPath;
vdrive::DriveSet Drives;
std::map<HANDLE, vdrive::Drive *> OpenDrives;
bool Quiet;

// Faults of the program's own Windows calls.
std::string ReadLockName;  // empty: reads succeed
LONGLONG ReadLockOffset;
bool NoEvents;
std::string DeniedLetters;
std::map<HANDLE, std::string> LockedFiles;  // open handles of the locked file

struct Guard {
  Guard() { EnterCriticalSection(&Lock); }
  ~Guard() { LeaveCriticalSection(&Lock); }
};

void Log(const std::string &line) { vdrive::AppendJournal(JournalPath, line); }

std::string EnvironmentValue(const char *name) {
  char value[MAX_PATH * 2];
  DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
  return n > 0 && n < sizeof value ? value : "";
}

// The driver may rewrite the configuration while the program runs (a drive
// arrives or goes); drives keep what they received across a reload.
void Reload() { Log(Drives.ApplyFile(ConfigPath)); }

// "\\.\d:" gives "d"; any other device path is returned whole so that it is
// refused too: the program must not reach a real device.
bool DevicePath(const char *path, std::string *name) {
  if (path == NULL || strncmp(path, "\\\\.\\", 4) != 0) return false;
  *name = strlen(path) == 6 && path[5] == ':' ? std::string(1, path[4]) : std::string(path);
  return true;
}

HANDLE WINAPI FakeCreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE templateFile) {
  std::string name;
  if (!DevicePath(path, &name)) {
    HANDLE file = CreateFileA(path, access, share, security, disposition, flags, templateFile);
    size_t length = path != NULL ? strlen(path) : 0;
    if (file != INVALID_HANDLE_VALUE && !ReadLockName.empty() && length >= ReadLockName.size() &&
        lstrcmpiA(path + length - ReadLockName.size(), ReadLockName.c_str()) == 0) {
      Guard guard;
      LockedFiles[file] = ReadLockName;
    }
    return file;
  }
  Guard guard;
  Reload();
  vdrive::Drive *drive = Drives.Find(name);
  std::string line = Format("OPEN %s access=%lX share=%lX disp=%lu flags=%lX", name.c_str(),
                            access, share, disposition, flags);
  if (name.size() == 1 && DeniedLetters.find(name[0]) != std::string::npos) {
    Log(line + " err=5");
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (drive == NULL || !drive->Present()) {
    Log(line + " err=2");
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  // A real handle of no consequence stands for the volume, so its value can
  // never collide with a handle the program holds for something else.
  HANDLE handle = CreateEventA(NULL, TRUE, FALSE, NULL);
  OpenDrives[handle] = drive;
  Log(line + " ok");
  SetLastError(0);
  return handle;
}

UINT WINAPI FakeGetDriveTypeA(LPCSTR root) {
  if (root == NULL || strlen(root) != 3 || strcmp(root + 1, ":\\") != 0)
    return GetDriveTypeA(root);
  std::string name(1, (char)(root[0] | 0x20));
  Guard guard;
  Reload();
  vdrive::Drive *drive = Drives.Find(name);
  UINT type = DeniedLetters.find(name[0]) != std::string::npos ? DRIVE_CDROM
            : drive == NULL || !drive->Present() ? DRIVE_NO_ROOT_DIR
            : drive->config.type == 5 ? DRIVE_CDROM : DRIVE_FIXED;
  Log(Format("DRIVETYPE %s %u", name.c_str(), type));
  return type;
}

BOOL WINAPI FakeCloseHandle(HANDLE handle) {
  {
    Guard guard;
    LockedFiles.erase(handle);
    auto it = OpenDrives.find(handle);
    if (it != OpenDrives.end()) {
      Log("CLOSE " + it->second->config.name);
      OpenDrives.erase(it);
    }
  }
  return CloseHandle(handle);
}

// Fails as Windows does when the bytes asked for reach a range that another
// process holds locked: nothing is read.
BOOL WINAPI FakeReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD got, LPOVERLAPPED overlapped) {
  bool locked;
  {
    Guard guard;
    locked = LockedFiles.count(file) != 0;
  }
  if (locked) {
    LARGE_INTEGER zero = {}, at = {};
    SetFilePointerEx(file, zero, &at, FILE_CURRENT);
    if (at.QuadPart + size > ReadLockOffset) {
      Log(Format("READ %s at=%lld size=%lu err=33", ReadLockName.c_str(), at.QuadPart, size));
      if (got != NULL) *got = 0;
      SetLastError(ERROR_LOCK_VIOLATION);
      return FALSE;
    }
  }
  return ReadFile(file, buffer, size, got, overlapped);
}

HANDLE WINAPI FakeCreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manual, BOOL initial, LPCSTR name) {
  if (!NoEvents) return CreateEventA(security, manual, initial, name);
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return NULL;
}

// What the program asks of Windows around a flash, recorded and passed on.
typedef EXECUTION_STATE(WINAPI *SetThreadExecutionStateProc)(EXECUTION_STATE);
typedef BOOL(WINAPI *ShutdownBlockReasonCreateProc)(HWND, LPCWSTR);
typedef BOOL(WINAPI *ShutdownBlockReasonDestroyProc)(HWND);
SetThreadExecutionStateProc RealSetThreadExecutionState;
ShutdownBlockReasonCreateProc RealShutdownBlockReasonCreate;
ShutdownBlockReasonDestroyProc RealShutdownBlockReasonDestroy;

EXECUTION_STATE WINAPI WatchSetThreadExecutionState(EXECUTION_STATE state) {
  Log(Format("EXECSTATE flags=%lX thread=%lu", (unsigned long)state, GetCurrentThreadId()));
  return RealSetThreadExecutionState(state);
}

BOOL WINAPI WatchShutdownBlockReasonCreate(HWND window, LPCWSTR reason) {
  char text[256] = "";
  WideCharToMultiByte(CP_UTF8, 0, reason, -1, text, sizeof text, NULL, NULL);
  Log(Format("SHUTDOWNBLOCK create thread=%lu reason=%s", GetCurrentThreadId(), text));
  return RealShutdownBlockReasonCreate(window, reason);
}

BOOL WINAPI WatchShutdownBlockReasonDestroy(HWND window) {
  Log(Format("SHUTDOWNBLOCK destroy thread=%lu", GetCurrentThreadId()));
  return RealShutdownBlockReasonDestroy(window);
}

FARPROC WINAPI FakeGetProcAddress(HMODULE module, LPCSTR name) {
  FARPROC real = GetProcAddress(module, name);
  if (real == NULL || HIWORD((ULONG_PTR)name) == 0) return real;  // absent, or by ordinal
  if (strcmp(name, "SetThreadExecutionState") == 0) {
    RealSetThreadExecutionState = (SetThreadExecutionStateProc)(void *)real;
    return (FARPROC)(void *)WatchSetThreadExecutionState;
  }
  if (strcmp(name, "ShutdownBlockReasonCreate") == 0) {
    RealShutdownBlockReasonCreate = (ShutdownBlockReasonCreateProc)(void *)real;
    return (FARPROC)(void *)WatchShutdownBlockReasonCreate;
  }
  if (strcmp(name, "ShutdownBlockReasonDestroy") == 0) {
    RealShutdownBlockReasonDestroy = (ShutdownBlockReasonDestroyProc)(void *)real;
    return (FARPROC)(void *)WatchShutdownBlockReasonDestroy;
  }
  return real;
}

BOOL WINAPI FakeExitWindowsEx(UINT flags, DWORD reason) {
  Guard guard;
  Log(Format("EXITWINDOWS flags=%X reason=%lX", flags, reason));
  return TRUE;
}

vdrive::Direction DirectionOf(UCHAR dataIn) {
  return dataIn == SCSI_IOCTL_DATA_IN ? vdrive::DIR_IN
       : dataIn == SCSI_IOCTL_DATA_OUT ? vdrive::DIR_OUT : vdrive::DIR_NONE;
}

// What the program handed over, before the drive changes anything.
template <typename Header>
std::string RequestLine(const std::string &name, DWORD code, DWORD inSize, DWORD outSize,
                        const Header &h, const std::string &where) {
  return Format("IOCTL %s %lX in=%lu out=%lu length=%u path=%u target=%u lun=%u cdblen=%u "
                "senselen=%u dir=%u xfer=%lu timeout=%lu %s senseoff=%lu",
                name.c_str(), code, inSize, outSize, h.Length, h.PathId, h.TargetId, h.Lun,
                h.CdbLength, h.SenseInfoLength, h.DataIn, h.DataTransferLength, h.TimeOutValue,
                where.c_str(), h.SenseInfoOffset);
}

struct Served {
  DWORD error = 0;
  bool hang = false;
  int delayMs = 0;
};

// Runs the command of a pass-through header on the drive. `base` is where
// the header's offsets count from; `data` is the transfer buffer; `room` is
// how many bytes from `base` may be written back.
template <typename Header>
Served RunCommand(vdrive::Drive *drive, Header *h, BYTE *base, BYTE *data, DWORD room,
                  std::string *outcome) {
  Served s;
  if (h->CdbLength > sizeof h->Cdb || h->SenseInfoOffset + h->SenseInfoLength > room) {
    s.error = ERROR_INVALID_PARAMETER;
    return s;
  }
  vdrive::Result r = drive->Execute(h->Cdb, h->CdbLength, DirectionOf(h->DataIn), data,
                                    h->DataTransferLength);
  s.delayMs = r.delayMs;
  for (const std::string &event : r.events) *outcome += "\n" + event;
  switch (r.kind) {
    case vdrive::Result::HANG: s.hang = true; return s;
    case vdrive::Result::WIN32_ERROR: s.error = r.error; return s;
    case vdrive::Result::ASPI_ERROR:
    case vdrive::Result::ASPI_REJECTED: s.error = ERROR_IO_DEVICE; return s;  // no such thing here
    case vdrive::Result::COMPLETED: break;
  }
  h->ScsiStatus = r.scsiStatus;
  if (h->DataIn == SCSI_IOCTL_DATA_IN) h->DataTransferLength = r.transferred;
  UCHAR senseLength = (UCHAR)std::min((size_t)h->SenseInfoLength, r.sense.size());
  if (senseLength > 0) memcpy(base + h->SenseInfoOffset, r.sense.data(), senseLength);
  h->SenseInfoLength = senseLength;
  return s;
}

BOOL WINAPI FakeDeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                                DWORD outSize, LPDWORD returned, LPOVERLAPPED overlapped) {
  EnterCriticalSection(&Lock);
  auto it = OpenDrives.find(handle);
  if (it == OpenDrives.end()) {
    LeaveCriticalSection(&Lock);
    return DeviceIoControl(handle, code, in, inSize, out, outSize, returned, overlapped);
  }
  if (!Quiet) Reload();
  vdrive::Drive *drive = it->second;
  const std::string &name = drive->config.name;
  std::string line, outcome;
  Served s;
  DWORD got = 0;
  if (code == IOCTL_SCSI_PASS_THROUGH && in != NULL && out != NULL &&
      inSize >= sizeof(SCSI_PASS_THROUGH)) {
    // The request is buffered: the system copies the input in, the driver
    // works on that copy and the output is copied back, as Windows does.
    std::vector<BYTE> system(std::max(inSize, outSize), 0);
    memcpy(system.data(), in, inSize);
    SCSI_PASS_THROUGH *h = (SCSI_PASS_THROUGH *)system.data();
    line = RequestLine(name, code, inSize, outSize, *h,
                       Format("dataoff=%llu", (unsigned long long)h->DataBufferOffset));
    std::string cdb = vdrive::Hex(h->Cdb, sizeof h->Cdb);
    ULONG_PTR dataEnd = h->DataBufferOffset + h->DataTransferLength;
    // Without data the offset points nowhere and is not looked at.
    bool fits = h->Length == sizeof(SCSI_PASS_THROUGH) &&
                (h->DataTransferLength == 0 ||
                 dataEnd <= (h->DataIn == SCSI_IOCTL_DATA_IN ? outSize : inSize));
    if (!fits) {
      s.error = ERROR_INVALID_PARAMETER;
    } else {
      s = RunCommand(drive, h, system.data(), system.data() + h->DataBufferOffset, outSize, &outcome);
      got = h->DataIn == SCSI_IOCTL_DATA_IN ? (DWORD)(h->DataBufferOffset + h->DataTransferLength)
                                            : h->Length;
      if (s.error == 0 && !s.hang) memcpy(out, system.data(), outSize);
    }
    line += Format(" status=%u", h->ScsiStatus) + "%ERR% cdb=" + cdb;
  } else if (code == IOCTL_SCSI_PASS_THROUGH_DIRECT && in != NULL && out != NULL &&
             inSize >= sizeof(SCSI_PASS_THROUGH_DIRECT)) {
    std::vector<BYTE> system(std::max(inSize, outSize), 0);
    memcpy(system.data(), in, inSize);
    SCSI_PASS_THROUGH_DIRECT *h = (SCSI_PASS_THROUGH_DIRECT *)system.data();
    line = RequestLine(name, code, inSize, outSize, *h,
                       h->DataBuffer != NULL ? "buffer=set" : "buffer=null");
    std::string cdb = vdrive::Hex(h->Cdb, sizeof h->Cdb);
    if (h->Length != sizeof(SCSI_PASS_THROUGH_DIRECT) ||
        (h->DataTransferLength > 0 && h->DataBuffer == NULL)) {
      s.error = ERROR_INVALID_PARAMETER;
    } else {
      s = RunCommand(drive, h, system.data(), (BYTE *)h->DataBuffer, outSize, &outcome);
      got = h->Length;
      if (s.error == 0 && !s.hang) memcpy(out, system.data(), outSize);
    }
    line += Format(" status=%u", h->ScsiStatus) + "%ERR% cdb=" + cdb;
  } else if (code == IOCTL_STORAGE_QUERY_PROPERTY && in != NULL && out != NULL &&
             inSize >= sizeof(STORAGE_PROPERTY_QUERY) && outSize >= sizeof(STORAGE_DEVICE_DESCRIPTOR) &&
             !drive->config.bus.empty()) {
    // The storage adapter's word on the bus, by STORAGE_BUS_TYPE's numbers.
    static const char *const buses[] = {"", "scsi", "atapi", "ata", "1394", "ssa", "fibre", "usb",
                                        "raid", "iscsi", "sas", "sata"};
    STORAGE_DEVICE_DESCRIPTOR descriptor;
    memset(&descriptor, 0, sizeof descriptor);
    descriptor.Version = descriptor.Size = sizeof descriptor;
    descriptor.DeviceType = (BYTE)drive->config.type;
    for (int type = 1; type < (int)(sizeof buses / sizeof buses[0]); ++type)
      if (drive->config.bus == buses[type]) descriptor.BusType = (STORAGE_BUS_TYPE)type;
    memcpy(out, &descriptor, sizeof descriptor);
    got = sizeof descriptor;
    line = Format("IOCTL %s %lX in=%lu out=%lu bus=%s", name.c_str(), code, inSize, outSize,
                  drive->config.bus.c_str()) + "%ERR%";
  } else {
    line = Format("IOCTL %s %lX in=%lu out=%lu unsupported", name.c_str(), code, inSize, outSize);
    s.error = in == NULL || out == NULL ? ERROR_INVALID_PARAMETER : ERROR_INVALID_FUNCTION;
    line += "%ERR%";
  }
  size_t mark = line.find("%ERR%");
  line.replace(mark, 5, s.hang ? " err=hang" : Format(" err=%lu", s.error));
  if (!Quiet) {
    Log(line + outcome);
  } else if (outcome.find("\nFLASHED") != std::string::npos) {
    Log(outcome.substr(outcome.find("\nFLASHED") + 1));
  }
  LeaveCriticalSection(&Lock);
  if (s.hang) Sleep(INFINITE);  // a drive that never answers; the test ends the process
  if (s.delayMs > 0) Sleep(s.delayMs);
  if (returned != NULL) *returned = s.error == 0 ? got : 0;
  SetLastError(s.error);
  return s.error == 0;
}

void ReadFaults() {
  std::string faults = EnvironmentValue("FLASHTOOL_INJECT_FAULTS");
  size_t at = 0;
  while (at < faults.size()) {
    size_t end = faults.find(';', at);
    if (end == std::string::npos) end = faults.size();
    std::string pair = faults.substr(at, end - at);
    at = end + 1;
    size_t equals = pair.find('='), mark = pair.rfind('@');
    std::string key = pair.substr(0, equals), value = equals == std::string::npos ? "" : pair.substr(equals + 1);
    if (key == "read_lock" && mark != std::string::npos && mark > equals) {
      ReadLockName = pair.substr(equals + 1, mark - equals - 1);
      ReadLockOffset = _atoi64(pair.c_str() + mark + 1);
    } else if (key == "no_events") {
      NoEvents = value == "1";
    } else if (key == "deny_open") {
      DeniedLetters = value;
    } else if (!key.empty()) {
      Log("FAULTS unknown " + pair);
    }
  }
}

void Attach() {
  InitializeCriticalSection(&Lock);
  ConfigPath = EnvironmentValue("FLASHTOOL_VDRIVE_CONFIG");
  JournalPath = EnvironmentValue("FLASHTOOL_VDRIVE_JOURNAL");
  Quiet = EnvironmentValue("FLASHTOOL_VDRIVE_QUIET") == "1";
  ReadFaults();
  {
    Guard guard;
    Reload();
  }
  struct Hook { const char *dll, *function; void *replacement; };
  const Hook hooks[] = {
      {"kernel32.dll", "CreateFileA", (void *)FakeCreateFileA},
      {"kernel32.dll", "DeviceIoControl", (void *)FakeDeviceIoControl},
      {"kernel32.dll", "CloseHandle", (void *)FakeCloseHandle},
      {"user32.dll", "ExitWindowsEx", (void *)FakeExitWindowsEx},
      {"kernel32.dll", "ReadFile", (void *)FakeReadFile},
      {"kernel32.dll", "CreateEventA", (void *)FakeCreateEventA},
      {"kernel32.dll", "GetProcAddress", (void *)FakeGetProcAddress},
      {"kernel32.dll", "GetDriveTypeA", (void *)FakeGetDriveTypeA},
  };
  std::string patched, missing;
  for (const Hook &h : hooks) {
    std::string &list = PatchImport(GetModuleHandleA(NULL), h.dll, h.function, h.replacement)
                            ? patched : missing;
    list += (list.empty() ? "" : ",") + std::string(h.function);
  }
  char exe[MAX_PATH] = "";
  GetModuleFileNameA(NULL, exe, sizeof exe);
  Log(Format("ATTACH pid=%lu patched=%s missing=%s exe=%s", GetCurrentProcessId(),
             patched.c_str(), missing.empty() ? "-" : missing.c_str(), exe));
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) Attach();
  return TRUE;
}
