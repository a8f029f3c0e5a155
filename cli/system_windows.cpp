// The command line on Windows 2000 and later: drives by letter over SCSI
// pass-through, interrupts from the console.
#include "cli/system.h"

#include <windows.h>

#include <io.h>

#include <cstdio>

#include "discovery/letter_scan.h"
#include "transport/passthrough.h"

std::vector<ListedDrive> ListDrives(std::vector<std::string> *) {
  static DriveTable table;  // 24 records with their labels: kept off the stack
  ScanDriveLetters(table);
  std::vector<ListedDrive> drives;
  for (int i = 0; i < table.count; ++i) {
    char device[3] = {(char)(table.records[i].letter - 'a' + 'A'), ':', '\0'};
    drives.push_back({device, table.records[i].identity});
  }
  CloseDriveHandles(table);
  return drives;
}

namespace {

class WindowsDrive : public OpenedDrive {
 public:
  explicit WindowsDrive(HANDLE volume) : volume_(volume), link_(volume) {}
  ~WindowsDrive() override { CloseHandle(volume_); }
  DriveLink &Link() override { return link_; }

 private:
  HANDLE volume_;
  PassThroughLink link_;
};

// "D:", "d", "\\.\D:" all name drive d.
char DriveLetter(const std::string &device) {
  std::string name = device.compare(0, 4, "\\\\.\\") == 0 ? device.substr(4) : device;
  if (name.empty() || name.size() > 2 || (name.size() == 2 && name[1] != ':')) return 0;
  char letter = (char)(name[0] | 0x20);
  return letter >= 'c' && letter <= 'z' ? letter : 0;
}

}  // namespace

std::unique_ptr<OpenedDrive> OpenDriveForFlash(const std::string &device, OpenFailure *failure,
                                               std::string *why) {
  char letter = DriveLetter(device);
  if (letter == 0) {
    *failure = OPEN_MISSING;
    *why = "not a drive letter from C: to Z:";
    return nullptr;
  }
  char path[8];
  snprintf(path, sizeof path, "\\\\.\\%c:", letter);
  // Shared for reading only, as the window opens drives: while this process
  // flashes, nobody else can open the drive to write to it.
  HANDLE volume = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL,
                              OPEN_EXISTING, 0, NULL);
  if (volume == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    *failure = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? OPEN_MISSING
             : error == ERROR_ACCESS_DENIED ? OPEN_DENIED
             : error == ERROR_SHARING_VIOLATION ? OPEN_BUSY : OPEN_FAILED;
    *why = SystemErrorText(error);
    if (error == ERROR_ACCESS_DENIED) *why += " (run it as administrator)";
    if (error == ERROR_SHARING_VIOLATION) *why = "busy: another program has the drive open";
    return nullptr;
  }
  return std::unique_ptr<OpenedDrive>(new WindowsDrive(volume));
}

std::string SystemErrorText(uint32_t code) {
  char text[256] = "";
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                                code, 0, text, sizeof text, NULL);
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' ||
                        text[length - 1] == ' ' || text[length - 1] == '.'))
    text[--length] = '\0';
  return length > 0 ? text : "Windows error " + std::to_string(code);
}

bool InputIsTerminal() { return _isatty(_fileno(stdin)) != 0; }
bool OutputIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

static volatile LONG Requested, Holding, Waiting;
static HANDLE FlashEnded;  // set when a held flash has written its outcome

// Runs on a thread of its own. Ctrl-C only marks the request; a closing
// console ends the process when this returns, so while a flash is held it
// waits for the flash's end, as long as Windows lets it.
static BOOL WINAPI OnConsoleEvent(DWORD event) {
  InterlockedCompareExchange(&Requested, event == CTRL_C_EVENT ? 2 : 1, 0);
  if (Holding) InterlockedExchange(&Waiting, 1);
  if (event == CTRL_CLOSE_EVENT && Holding && FlashEnded != NULL)
    WaitForSingleObject(FlashEnded, INFINITE);
  return TRUE;
}

void CatchInterrupts() {
  FlashEnded = CreateEventA(NULL, TRUE, FALSE, NULL);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

int InterruptRequested() { return Requested; }

void HoldInterrupts() {
  InterlockedExchange(&Holding, 1);
  if (FlashEnded != NULL) ResetEvent(FlashEnded);
}

bool InterruptWaiting() { return Waiting != 0; }

void ReleaseInterrupts() {
  InterlockedExchange(&Holding, 0);
  if (FlashEnded != NULL) SetEvent(FlashEnded);
}

void KeepSystemAwake(bool awake) {
  SetThreadExecutionState(awake ? ES_CONTINUOUS | ES_SYSTEM_REQUIRED : ES_CONTINUOUS);
}
