// The system's part on Windows 2000 and later: drives by letter over SCSI
// pass-through, interrupts from the console.
#include "system/system.h"

#include <windows.h>
#include <wincrypt.h>

#include <io.h>

#include <cstdio>
#include <cstdlib>

#include "core/shown.h"
#include "discovery/letter_scan.h"
#include "transport/passthrough.h"

// Why a CD/DVD drive letter that the scan could not list is out of reach,
// in a sentence; empty when it answers after all (it is no CD/DVD drive
// by what it says, or it came in since the scan).
static std::string WhyNotListed(char letter) {
  char path[8];
  snprintf(path, sizeof path, "\\\\.\\%c:", letter);
  HANDLE volume = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL,
                              OPEN_EXISTING, 0, NULL);
  DWORD error = volume == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  std::string why;
  if (volume != INVALID_HANDLE_VALUE) {
    uint8_t data[INQUIRY_ALLOCATION] = {};
    PassThroughLink link(volume);
    CommandResult result = link.Run(InquiryCommand(data, INQUIRY_ALLOCATION));
    if (result.kind == CommandResult::SYSTEM_ERROR) {
      error = result.systemError;
    } else if (!result.Succeeded()) {
      char text[64];
      snprintf(text, sizeof text, "does not say what it is (INQUIRY ends in status %02Xh)",
               result.scsiStatus);
      why = text;
    }
    CloseHandle(volume);
  }
  // Opening a drive for pass-through, and the pass-through itself, are for
  // administrators from Windows Vista on. Windows' own words come in the
  // user's code page; the common cases are said here in plain ASCII.
  if (error == ERROR_ACCESS_DENIED)
    return "access denied: administrator rights are needed to reach this drive";
  if (error == ERROR_SHARING_VIOLATION) return "busy: another program has the drive open";
  if (error != 0)
    return "cannot be reached (Windows error " + std::to_string(error) + "): " + SystemErrorText(error);
  return why;
}

std::vector<ListedDrive> ListDrives(std::vector<std::string> *) {
  static DriveTable table;  // 24 records with their labels: kept off the stack
  ScanDriveLetters(table);
  std::vector<ListedDrive> drives;
  int next = 0;
  for (char letter = 'c'; letter <= 'z'; ++letter) {
    char device[3] = {(char)(letter - 'a' + 'A'), ':', '\0'};
    if (next < table.count && table.records[next].letter == letter) {
      ListedDrive drive;
      drive.device = device;
      drive.bus = StorageBusName(table.records[next].handle);
      drive.identity = table.records[next++].identity;
      drive.identityKnown = true;
      drives.push_back(drive);
      continue;
    }
    // The scan passes over a drive it cannot open or ask; Windows still
    // knows the letter as a CD/DVD drive, and the user should hear why.
    char root[4] = {letter, ':', '\\', '\0'};
    if (GetDriveTypeA(root) != DRIVE_CDROM) continue;
    std::string why = WhyNotListed(letter);
    if (why.empty()) continue;
    ListedDrive drive;
    drive.device = device;
    drive.error = why;
    drives.push_back(drive);
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

// "D:", "d:", "D:\", "d" and "\\.\D:" all name drive d: the forms a user
// copies from Explorer, a shell prompt or another tool.
char DriveLetter(const std::string &device) {
  std::string name = device.compare(0, 4, "\\\\.\\") == 0 ? device.substr(4) : device;
  if (name.size() == 3 && name[2] == '\\') name.resize(2);
  if (name.empty() || name.size() > 2 || (name.size() == 2 && name[1] != ':')) return 0;
  char letter = (char)(name[0] | 0x20);
  return letter >= 'c' && letter <= 'z' ? letter : 0;
}

}  // namespace

// The volume of drive `letter` for pass-through, shared for reading only,
// as the window opens drives: while this process flashes, nobody else can
// open the drive to write to it. INVALID_HANDLE_VALUE with the failure and
// its sentence.
static HANDLE OpenVolume(char letter, OpenFailure *failure, std::string *why) {
  // What Windows calls the letter comes first: a letter that is not there,
  // or a fixed disk, is said so before any word about rights.
  char root[4] = {letter, ':', '\\', '\0'};
  UINT type = GetDriveTypeA(root);
  if (type == DRIVE_NO_ROOT_DIR) {
    *failure = OPEN_MISSING;
    *why = "no such drive";
    return INVALID_HANDLE_VALUE;
  }
  if (type != DRIVE_CDROM) {
    *failure = OPEN_NOT_OPTICAL;
    *why = std::string("no CD/DVD drive: Windows calls it a ") +
           (type == DRIVE_FIXED ? "fixed disk" : type == DRIVE_REMOVABLE ? "removable drive"
            : type == DRIVE_REMOTE ? "network drive" : type == DRIVE_RAMDISK ? "RAM disk"
            : "drive of unknown type") + "; nothing was sent";
    return INVALID_HANDLE_VALUE;
  }
  char path[8];
  snprintf(path, sizeof path, "\\\\.\\%c:", letter);
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
  }
  return volume;
}

static const char NotALetter[] = "not a drive: name a drive letter from C: to Z:, such as D:";

std::unique_ptr<OpenedDrive> OpenDriveForFlash(const std::string &device, OpenFailure *failure,
                                               std::string *why) {
  char letter = DriveLetter(device);
  if (letter == 0) {
    *failure = OPEN_NOT_A_DEVICE;
    *why = NotALetter;
    return nullptr;
  }
  HANDLE volume = OpenVolume(letter, failure, why);
  if (volume == INVALID_HANDLE_VALUE) return nullptr;
  return std::unique_ptr<OpenedDrive>(new WindowsDrive(volume));
}

DriveDescription DescribeDrive(const std::string &device) {
  DriveDescription d;
  d.device = device;
  char letter = DriveLetter(device);
  if (letter == 0) {
    d.failure = OPEN_NOT_A_DEVICE;
    d.error = NotALetter;
    return d;
  }
  HANDLE volume = OpenVolume(letter, &d.failure, &d.error);
  if (volume == INVALID_HANDLE_VALUE) {
    d.busy = d.failure == OPEN_BUSY;
    if (d.busy) d.error.clear();
    return d;
  }
  PassThroughLink link(volume);
  CommandResult result = AskIdentity(link, &d.identity, &d.serial);
  if (!result.Succeeded()) {
    d.failure = OPEN_FAILED;
    d.error = "does not say what it is (INQUIRY)";
  }
  CloseHandle(volume);
  return d;
}

static HANDLE OpenForAppending(const std::string &path) {
  return CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_READ_DATA, FILE_SHARE_READ, NULL,
                     OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
}

bool CanAppend(const std::string &path, std::string *why) {
  HANDLE file = OpenForAppending(path);
  if (file == INVALID_HANDLE_VALUE) {
    *why = SystemErrorText(GetLastError());
    return false;
  }
  CloseHandle(file);
  return true;
}

bool AppendLine(const std::string &path, const std::string &line, std::string *why) {
  HANDLE file = OpenForAppending(path);
  if (file == INVALID_HANDLE_VALUE) {
    *why = SystemErrorText(GetLastError());
    return false;
  }
  std::string text = line + "\r\n";
  LARGE_INTEGER size;
  char last = '\n';
  DWORD got = 0;
  if (GetFileSizeEx(file, &size) && size.QuadPart > 0) {
    LARGE_INTEGER at;
    at.QuadPart = size.QuadPart - 1;
    if (SetFilePointerEx(file, at, NULL, FILE_BEGIN) && ReadFile(file, &last, 1, &got, NULL) &&
        got == 1 && last != '\n')
      text = "\r\n" + text;
  }
  DWORD written = 0;
  bool whole = WriteFile(file, text.data(), (DWORD)text.size(), &written, NULL) &&
               written == text.size() && FlushFileBuffers(file);
  if (!whole) *why = SystemErrorText(GetLastError());
  CloseHandle(file);
  return whole;
}

// SHA-256 came to CryptoAPI with Windows XP SP3, after the Windows 2000 the
// build targets: named here, and asked at run time; older systems say no.
#ifndef PROV_RSA_AES
#define PROV_RSA_AES 24
#endif
#ifndef CALG_SHA_256
#define CALG_SHA_256 (ALG_CLASS_HASH | ALG_TYPE_ANY | 12)
#endif

std::string Sha256Hex(const uint8_t *data, size_t size) {
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
  std::string hex;
  BYTE digest[32];
  DWORD length = sizeof digest;
  if (CryptAcquireContextA(&provider, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
      CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash) &&
      CryptHashData(hash, data, (DWORD)size, 0) &&
      CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0))
    hex = HexBytes(digest, length, "%02x");
  if (hash != 0) CryptDestroyHash(hash);
  if (provider != 0) CryptReleaseContext(provider, 0);
  return hex;
}

std::string HostName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = "";
  DWORD size = sizeof name;
  return GetComputerNameA(name, &size) ? name : "";
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

bool MessagesAreTerminal() { return _isatty(_fileno(stderr)) != 0; }

// How wide the console window of `handle` is, 80 when it is none.
static size_t Columns(bool terminal, DWORD handle) {
  CONSOLE_SCREEN_BUFFER_INFO console;
  if (terminal && GetConsoleScreenBufferInfo(GetStdHandle(handle), &console)) {
    size_t columns = (size_t)(console.srWindow.Right - console.srWindow.Left + 1);
    if (columns >= 40) return columns;
  }
  return 80;
}

size_t OutputColumns() { return Columns(OutputIsTerminal(), STD_OUTPUT_HANDLE); }
size_t MessagesColumns() { return Columns(MessagesAreTerminal(), STD_ERROR_HANDLE); }

// Interrupts: 2 for Ctrl-C, 21 for Ctrl-Break (the C runtime's SIGINT and
// SIGBREAK), 1 for the console closing and the session ending.
static volatile LONG Requested, Holding, Waiting;

// Windows ends the process a few seconds after a close, log-off or
// shutdown event whatever the handler does, so holding those is not in
// our power: what we can do is keep the close command away from the
// console window while blocks go out.
enum { CLOSE_GRACE_MS = 5000 };

static HMENU ConsoleMenu;  // while the close command is taken away
static UINT CloseStateBefore;

static void TakeAwayConsoleClose() {
  HWND console = GetConsoleWindow();
  HMENU menu = console != NULL ? GetSystemMenu(console, FALSE) : NULL;
  if (menu == NULL) return;
  UINT before = (UINT)EnableMenuItem(menu, SC_CLOSE, MF_BYCOMMAND | MF_GRAYED);
  if (before == (UINT)-1) return;  // no close command to take away
  ConsoleMenu = menu;
  CloseStateBefore = before & (MF_GRAYED | MF_DISABLED);
}

static void GiveBackConsoleClose() {
  if (ConsoleMenu == NULL) return;
  EnableMenuItem(ConsoleMenu, SC_CLOSE, MF_BYCOMMAND | CloseStateBefore);
  ConsoleMenu = NULL;
}

// One buffer whose text follows the hold, so that a caller may keep the
// pointer for the whole flash.
static char Note[32];
const char *ProgressNote() { return Note; }

// Runs on a thread of its own. Ctrl-C and Ctrl-Break only mark the
// request. After a close, log-off or shutdown the process ends when this
// returns or a few seconds after the event, whichever comes first: during
// the blocks it says so and stays for those seconds, in which the flash
// may still end, tell its outcome and end the process itself.
static BOOL WINAPI OnConsoleEvent(DWORD event) {
  LONG interrupt = event == CTRL_C_EVENT ? 2 : event == CTRL_BREAK_EVENT ? 21 : 1;
  InterlockedCompareExchange(&Requested, interrupt, 0);
  if (Holding) InterlockedExchange(&Waiting, 1);
  if (interrupt == 1 && Holding) {
    fprintf(stderr, "\nflashtool: Windows ends this program within seconds of the console closing "
                    "or the session ending; if the flash cannot end before, the drive is left "
                    "half-written\n");
    fflush(stderr);
    Sleep(CLOSE_GRACE_MS);
  }
  return TRUE;
}

void CatchInterrupts() {
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  // The console window is the shell's: it must not stay without its close
  // command after this program, however the program ends.
  atexit(GiveBackConsoleClose);
}

int InterruptRequested() { return Requested; }

void HoldInterrupts() {
  if (!Holding) TakeAwayConsoleClose();
  lstrcpynA(Note, " - do not close this window", sizeof Note);
  InterlockedExchange(&Holding, 1);
}

bool InterruptWaiting() { return Waiting != 0; }
int InterruptHeld() { return Waiting != 0 ? (int)Requested : 0; }

void ReleaseInterrupts() {
  if (Holding) GiveBackConsoleClose();
  Note[0] = '\0';
  InterlockedExchange(&Holding, 0);
}

// Keeps Windows from sleeping when idle; a sleep the user asks for, a
// log-off or a shutdown still go ahead, which a console program cannot stop.
std::string KeepSystemAwake(bool awake) {
  if (SetThreadExecutionState(awake ? ES_CONTINUOUS | ES_SYSTEM_REQUIRED : ES_CONTINUOUS) == 0 && awake)
    return "cannot keep Windows from sleeping while the flash runs: " + SystemErrorText(GetLastError());
  return "";
}

// The console's read itself ends at Ctrl-C.
bool AwaitInput() { return InterruptRequested() == 0; }

DriveName NameDrive(const std::string &device) {
  char letter = DriveLetter(device);
  if (letter == 0) return {device, ""};
  std::string name = {(char)(letter - 'a' + 'A'), ':'};
  return {name, name};
}

// A drive letter stays the drive's own across its restart: there is
// nowhere else to look.
std::vector<SeenDrive> PresentDrives() { return {}; }
bool AskPresentDrive(const SeenDrive &, DriveIdentity *, std::string *) { return false; }
bool DrivesHaveNodes() { return false; }
std::string PortOfDrive(const std::string &) { return ""; }

std::string InterruptName(int interrupt) {
  return interrupt == 2 ? "Ctrl-C" : interrupt == 21 ? "Ctrl-Break" : "closing the console";
}
