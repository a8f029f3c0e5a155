// vdrive_inject.dll: loaded into the program under test before its own code
// runs, it reroutes the program's imports of CreateFileA, DeviceIoControl,
// CloseHandle and ExitWindowsEx so that volume paths reach virtual drives,
// the real machine's drives are never touched and no test restarts Wine.
// Settings come from the file in FLASHTOOL_VDRIVE_CONFIG; every call is
// recorded in the journal file named by FLASHTOOL_VDRIVE_JOURNAL.
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

CRITICAL_SECTION Lock;
std::string ConfigPath, JournalPath, ConfigText;
std::vector<std::unique_ptr<vdrive::Drive>> Drives;  // every drive ever configured
std::map<HANDLE, vdrive::Drive *> OpenDrives;

struct Guard {
  Guard() { EnterCriticalSection(&Lock); }
  ~Guard() { LeaveCriticalSection(&Lock); }
};

void Log(const std::string &line) { vdrive::AppendJournal(JournalPath, line); }

std::string Format(const char *format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

std::string EnvironmentValue(const char *name) {
  char value[MAX_PATH * 2];
  DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
  return n > 0 && n < sizeof value ? value : "";
}

std::string ReadText(const std::string &path) {
  std::string text;
  FILE *f = fopen(path.c_str(), "rb");
  if (f == NULL) return text;
  char chunk[1024];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
  fclose(f);
  return text;
}

vdrive::Drive *Find(const std::string &name) {
  for (auto &d : Drives)
    if (d->config.name == name) return d.get();
  return NULL;
}

// The driver may rewrite the configuration while the program runs (a drive
// arrives or goes); drives keep what they received across a reload.
void Reload() {
  std::string text = ReadText(ConfigPath);
  if (text == ConfigText) return;
  ConfigText = text;
  vdrive::Config config;
  std::string error;
  if (!vdrive::ParseConfig(text, &config, &error)) {
    Log("CONFIG error " + error);
    return;
  }
  for (auto &d : Drives) {
    const vdrive::DriveConfig *now = config.Find(d->config.name);
    if (now != NULL) {
      d->Reconfigure(*now);
    } else {
      vdrive::DriveConfig gone = d->config;
      gone.present = false;
      d->Reconfigure(gone);
    }
  }
  std::string names;
  for (const vdrive::DriveConfig &c : config.drives) {
    if (Find(c.name) == NULL) Drives.emplace_back(new vdrive::Drive(c));
    names += (names.empty() ? "" : ",") + c.name;
  }
  Log("CONFIG drives=" + names);
}

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
  if (!DevicePath(path, &name))
    return CreateFileA(path, access, share, security, disposition, flags, templateFile);
  Guard guard;
  Reload();
  vdrive::Drive *drive = Find(name);
  std::string line = Format("OPEN %s access=%lX share=%lX disp=%lu flags=%lX", name.c_str(),
                            access, share, disposition, flags);
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

BOOL WINAPI FakeCloseHandle(HANDLE handle) {
  {
    Guard guard;
    auto it = OpenDrives.find(handle);
    if (it != OpenDrives.end()) {
      Log("CLOSE " + it->second->config.name);
      OpenDrives.erase(it);
    }
  }
  return CloseHandle(handle);
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
  for (const std::string &event : r.events) *outcome += "\n" + event;
  switch (r.kind) {
    case vdrive::Result::HANG: s.hang = true; return s;
    case vdrive::Result::WIN32_ERROR: s.error = r.error; return s;
    case vdrive::Result::ASPI_ERROR: s.error = ERROR_IO_DEVICE; return s;  // no such thing here
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
  Reload();
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
    bool fits = h->Length == sizeof(SCSI_PASS_THROUGH) &&
                dataEnd <= (h->DataIn == SCSI_IOCTL_DATA_IN ? outSize : inSize);
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
  } else {
    line = Format("IOCTL %s %lX in=%lu out=%lu unsupported", name.c_str(), code, inSize, outSize);
    s.error = in == NULL || out == NULL ? ERROR_INVALID_PARAMETER : ERROR_INVALID_FUNCTION;
    line += "%ERR%";
  }
  size_t mark = line.find("%ERR%");
  line.replace(mark, 5, s.hang ? " err=hang" : Format(" err=%lu", s.error));
  Log(line + outcome);
  LeaveCriticalSection(&Lock);
  if (s.hang) Sleep(INFINITE);  // a drive that never answers; the test ends the process
  if (returned != NULL) *returned = s.error == 0 ? got : 0;
  SetLastError(s.error);
  return s.error == 0;
}

void Attach() {
  InitializeCriticalSection(&Lock);
  ConfigPath = EnvironmentValue("FLASHTOOL_VDRIVE_CONFIG");
  JournalPath = EnvironmentValue("FLASHTOOL_VDRIVE_JOURNAL");
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
