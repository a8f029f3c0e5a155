// flashtool_e2e.exe FLASHTOOL_EXE SCRATCH_DIR [NAME_PART]
// Runs every registered scenario (or those whose name contains NAME_PART)
// against FLASHTOOL_EXE, one line per scenario, then "N passed, N failed".
#include "e2e/e2e.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>

#include "e2e/launcher.h"

namespace {

struct Registered {
  std::string name;
  std::function<void()> body;
};

std::vector<Registered> &Registry() {
  static std::vector<Registered> scenarios;
  return scenarios;
}

struct FailureSignal { std::string message; };
struct WaitingSignal { std::string reason; };

std::string ProgramPath, ScenarioProgram, ScratchRoot, ScenarioDir, ToolDir;
std::deque<Program> Programs;  // started by the running scenario; a deque keeps references valid
int Starts;

const DWORD MESSAGE_TIMEOUT_MS = 5000;

// FLASHTOOL_E2E_SLOWER=N stretches every bounded wait N times, for a machine
// whose processor is emulated (the real-kernel tier's guest).
DWORD Slower() {
  static DWORD factor = [] {
    char text[16] = "";
    GetEnvironmentVariableA("FLASHTOOL_E2E_SLOWER", text, sizeof text);
    int n = atoi(text);
    return (DWORD)(n > 1 ? n : 1);
  }();
  return factor;
}

// Wine maps the Unix root to Z:, and CTest hands over Unix paths.
std::string WindowsPath(std::string path) {
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char &c : path)
    if (c == '/') c = '\\';
  return path;
}

void MakeDirectories(const std::string &path) {
  for (size_t i = 3; i <= path.size(); ++i)
    if (i == path.size() || path[i] == '\\') CreateDirectoryA(path.substr(0, i).c_str(), NULL);
}

std::string Slug(const std::string &name) {
  std::string slug;
  for (char c : name) slug += isalnum((unsigned char)c) ? c : '-';
  return slug.substr(0, 48);
}

std::string ReadAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string ToBig5(const std::wstring &text) {
  if (text.empty()) return "";
  int n = WideCharToMultiByte(950, 0, text.c_str(), (int)text.size(), NULL, 0, NULL, NULL);
  std::string out(n, '\0');
  WideCharToMultiByte(950, 0, text.c_str(), (int)text.size(), &out[0], n, NULL, NULL);
  return out;
}

// A message to another process's window that gives up if the program hangs.
LRESULT Ask(HWND window, UINT message, WPARAM w, LPARAM l, const char *what) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(window, message, w, l, SMTO_ABORTIFHUNG, MESSAGE_TIMEOUT_MS * Slower(), &result))
    Fail("no answer within " + std::to_string(MESSAGE_TIMEOUT_MS * Slower() / 1000) + " s to " + what + " (error " +
         std::to_string(GetLastError()) + ")");
  return (LRESULT)result;
}

bool OwnedByScenario(HWND window) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  for (const Program &p : Programs)
    if (p.process.dwProcessId == pid) return true;
  return false;
}

std::string ClassName(HWND window) {
  char name[64] = "";
  GetClassNameA(window, name, sizeof name);
  return name;
}

std::string StripNewlines(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

std::string LastLines(const std::string &whole, size_t count) {
  std::string text = StripNewlines(whole);
  size_t at = text.size();
  while (count-- > 0) {
    if (at == 0) return text;
    at = text.rfind('\n', at - 1);
    if (at == std::string::npos) return text;
  }
  return text.substr(at + 1);
}

void EndPrograms(bool complain) {
  std::string left;
  std::deque<Program> kept;
  for (Program &p : Programs) {
    if (p.keep && p.Running()) {
      kept.push_back(p);
      continue;
    }
    if (p.Running()) {
      left += (left.empty() ? "" : ", ") + p.exe.substr(p.exe.find_last_of('\\') + 1);
      TerminateProcess(p.process.hProcess, 1);
      WaitForSingleObject(p.process.hProcess, 5000);
    }
    CloseHandle(p.process.hThread);
    CloseHandle(p.process.hProcess);
  }
  Programs.swap(kept);
  if (complain && !left.empty()) Fail("still running at the end of the scenario: " + left);
}

}  // namespace

// ---- scenarios --------------------------------------------------------------

void Scenario(const char *name, std::function<void()> body) {
  Registry().push_back({name, std::move(body)});
}

void Waiting(const std::string &reason) { throw WaitingSignal{reason}; }
void Fail(const std::string &message) { throw FailureSignal{message}; }

void Expect(bool condition, const std::string &message) {
  if (!condition) Fail(message);
}

void ExpectEqual(const std::string &seen, const std::string &expected, const std::string &what) {
  if (seen != expected)
    Fail(what + ": expected \"" + Escaped(expected) + "\", saw \"" + Escaped(seen) + "\"");
}

void WaitUntil(const std::string &what, const std::function<bool(std::string *)> &ready, DWORD ms) {
  ms *= Slower();
  DWORD start = GetTickCount();
  std::string seen;
  for (;;) {
    seen.clear();
    if (ready(&seen)) return;
    if (GetTickCount() - start >= ms) break;
    Sleep(20);
  }
  Fail("waited " + std::to_string(ms / 1000.0).substr(0, 4) + " s for " + what +
       (seen.empty() ? "" : "; last seen: " + seen));
}

std::string Escaped(const std::string &bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += (char)c;
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

// ---- files and settings -----------------------------------------------------

std::string Scratch(const std::string &name) { return ScenarioDir + "\\" + name; }

std::string WriteImage(const std::string &name, size_t size, unsigned seed) {
  std::string path = Scratch(name), bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = (char)(i * 31 + seed * 17 + (i >> 8));
  std::ofstream(path, std::ios::binary).write(bytes.data(), bytes.size());
  return path;
}

std::string FileText(const std::string &path) { return ReadAll(path); }

void SetWindowsVersion(const char *version) {
  HKEY key;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine", 0, NULL, 0, KEY_SET_VALUE, NULL, &key,
                      NULL) != ERROR_SUCCESS)
    Fail("cannot open HKCU\\Software\\Wine");
  LONG result = RegSetValueExA(key, "Version", 0, REG_SZ, (const BYTE *)version,
                               (DWORD)strlen(version) + 1);
  RegCloseKey(key);
  Expect(result == ERROR_SUCCESS, std::string("cannot set the Windows version ") + version);
}

void SetDllOverride(const char *dll, const char *order) {
  HKEY key;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\DllOverrides", 0, NULL, 0,
                      KEY_SET_VALUE, NULL, &key, NULL) != ERROR_SUCCESS)
    Fail("cannot open HKCU\\Software\\Wine\\DllOverrides");
  LONG result = order != NULL ? RegSetValueExA(key, dll, 0, REG_SZ, (const BYTE *)order,
                                               (DWORD)strlen(order) + 1)
                              : RegDeleteValueA(key, dll);
  RegCloseKey(key);
  Expect(result == ERROR_SUCCESS || (order == NULL && result == ERROR_FILE_NOT_FOUND),
         std::string("cannot set the DLL override of ") + dll);
}

// ---- virtual drives and programs --------------------------------------------

VDrive CdDrive(char letter) {
  VDrive d;
  d.name = std::string(1, letter);
  return d;
}

VDrive AspiDrive(int adapter, int target) {
  VDrive d;
  d.name = std::to_string(adapter) + ":" + std::to_string(target);
  return d;
}

VDrive HardDisk(char letter) {
  VDrive d = CdDrive(letter);
  d.type = 0;
  d.vendor = "QUOR";
  d.product = "VIRTUAL DISK";
  return d;
}

std::string JournalLine::Field(const std::string &key) const {
  size_t at = text.find(" " + key + "=");
  if (at == std::string::npos) return "";
  at += key.size() + 2;
  if (key == "cdb") return text.substr(at);
  return text.substr(at, text.find(' ', at) - at);
}

std::vector<JournalLine> Program::Journal() const {
  std::vector<JournalLine> lines;
  std::string text = ReadAll(journal);
  // The last line may still be being written.
  text = text.substr(0, text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    JournalLine j;
    j.text = StripNewlines(line);
    std::istringstream words(j.text);
    words >> j.kind >> j.name;
    if (j.name.find('=') != std::string::npos) j.name.clear();
    lines.push_back(j);
  }
  return lines;
}

std::vector<JournalLine> Program::Journal(const std::string &kind) const {
  std::vector<JournalLine> all = Journal(), some;
  for (const JournalLine &j : all)
    if (j.kind == kind) some.push_back(j);
  return some;
}

bool Program::Running() const {
  return process.hProcess != NULL && WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT;
}

static void WriteConfig(const Program &program, const std::vector<VDrive> &drives) {
  vdrive::Config config;
  config.drives = drives;
  std::string text = vdrive::FormatConfig(config);
  // Written whole under another name first, so the program never reads half a file.
  std::string temporary = program.config + ".new";
  std::ofstream(temporary, std::ios::binary).write(text.data(), text.size());
  Expect(MoveFileExA(temporary.c_str(), program.config.c_str(), MOVEFILE_REPLACE_EXISTING) != 0,
         "cannot write " + program.config);
}

// The imports that the injected DLL must have rerouted before a program may
// run: a tool needs its drives virtual; the program also its restart, its
// image reads, its events and its run-time look-ups, so that no test can
// restart Wine and every fault a scenario asks for reaches it.
const std::vector<std::string> DRIVE_IMPORTS = {"CreateFileA", "DeviceIoControl", "CloseHandle"};
const std::vector<std::string> PROGRAM_IMPORTS = {"CreateFileA", "DeviceIoControl", "CloseHandle",
                                                  "ExitWindowsEx", "ReadFile", "CreateEventA",
                                                  "GetProcAddress"};

static Program &StartInjectedProgram(const std::string &exe, const std::vector<VDrive> &drives,
                                     const std::string &arguments,
                                     const std::vector<std::string> &imports,
                                     bool console = false) {
  Program p;
  p.exe = exe;
  int n = ++Starts;
  p.config = Scratch("start" + std::to_string(n) + ".cfg");
  p.journal = Scratch("start" + std::to_string(n) + ".journal");
  DeleteFileA(p.journal.c_str());
  WriteConfig(p, drives);
  SetEnvironmentVariableA("FLASHTOOL_VDRIVE_CONFIG", p.config.c_str());
  SetEnvironmentVariableA("FLASHTOOL_VDRIVE_JOURNAL", p.journal.c_str());
  HANDLE output = NULL;
  if (console) {
    p.output = Scratch("start" + std::to_string(n) + ".out");
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    output = CreateFileA(p.output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                         0, NULL);
  }
  std::string error;
  bool started = StartInjected(exe, arguments, ToolDir + "vdrive_inject.dll", &p.process, &error,
                               output);
  if (output != NULL) CloseHandle(output);  // the child holds its own
  if (!started) Fail("cannot start " + exe + ": " + error);
  Programs.push_back(p);
  JournalLine attach = WaitJournal(Programs.back(), "ATTACH");
  std::string patched = "," + attach.Field("patched") + ",";
  for (const std::string &name : imports)
    Expect(patched.find("," + name + ",") != std::string::npos,
           "the injected DLL could not reroute " + name + ": " + attach.text);
  return Programs.back();
}

Program &StartExe(const std::string &exe, const std::vector<VDrive> &drives,
                  const std::string &arguments) {
  return StartInjectedProgram(exe, drives, arguments, PROGRAM_IMPORTS);
}

Program &Start(const std::vector<VDrive> &drives) { return StartExe(ScenarioProgram, drives, ""); }

Program &StartPlain(const std::string &arguments) {
  Program p;
  p.exe = ScenarioProgram;
  std::string command = "\"" + p.exe + "\"" + (arguments.empty() ? "" : " " + arguments);
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  if (!CreateProcessA(p.exe.c_str(), &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &p.process))
    Fail("cannot start " + p.exe + " (error " + std::to_string(GetLastError()) + ")");
  Programs.push_back(p);
  return Programs.back();
}

bool VirtualAspiBuilt() {
  return GetFileAttributesA((ToolDir + "vaspi\\WNASPI32.dll").c_str()) != INVALID_FILE_ATTRIBUTES;
}

void UseVirtualAspi(const std::string &bus) {
  std::string exe = Scratch("FlashTool.exe");
  Expect(CopyFileA(ProgramPath.c_str(), exe.c_str(), FALSE) != 0, "cannot copy " + ProgramPath);
  Expect(CopyFileA((ToolDir + "vaspi\\WNASPI32.dll").c_str(), Scratch("WNASPI32.dll").c_str(),
                   FALSE) != 0,
         "cannot copy the virtual WNASPI32.dll from " + ToolDir + "vaspi");
  ScenarioProgram = exe;
  SetDllOverride("wnaspi32", "native");
  SetEnvironmentVariableA("FLASHTOOL_VASPI_BUS", bus.c_str());
}

Program &StartConsoleTool(const std::string &name, const std::vector<VDrive> &drives,
                          const std::string &arguments) {
  return StartInjectedProgram(ToolDir + name, drives, arguments, DRIVE_IMPORTS, true);
}

// The program wraps its lines between words at 80 columns, the rest of a
// line indented: read as one line again.
std::string OutputOf(const Program &program) {
  std::string text = ReadAll(program.output), flat;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.compare(at, 2, "\r\n") == 0 ? at + 2 : text[at] == '\n' ? at + 1 : at;
    if (end > at && end < text.size() && text[end] == ' ') {
      flat += ' ';
      at = text.find_first_not_of(' ', end);
      if (at == std::string::npos) break;
      continue;
    }
    flat += text[at++];
  }
  return flat;
}

void SetInjectedFaults(const std::string &faults) {
  SetEnvironmentVariableA("FLASHTOOL_INJECT_FAULTS", faults.c_str());
}

Program &StartTool(const std::string &name, const std::vector<VDrive> &drives,
                   const std::string &arguments) {
  return StartInjectedProgram(ToolDir + name, drives, arguments, DRIVE_IMPORTS);
}

void SetDrives(Program &program, const std::vector<VDrive> &drives) {
  WriteConfig(program, drives);
}

Program &Last() {
  Expect(!Programs.empty(), "no program was started");
  return Programs.back();
}

void ExpectExit(DWORD code) { ExpectExit(Last(), code); }

void ExpectExit(Program &program, DWORD code, DWORD ms) {
  ms *= Slower();
  DWORD wait = WaitForSingleObject(program.process.hProcess, ms);
  Expect(wait == WAIT_OBJECT_0, "the program did not end within " + std::to_string(ms / 1000) +
                                    " s (expected exit code " + std::to_string(code) + ")");
  DWORD seen = 0;
  GetExitCodeProcess(program.process.hProcess, &seen);
  Expect(seen == code, "exit code: expected " + std::to_string(code) + ", saw " +
                           std::to_string(seen));
}

void Kill(Program &program) {
  TerminateProcess(program.process.hProcess, 1);
  WaitForSingleObject(program.process.hProcess, 5000);
}

JournalLine WaitJournal(Program &program, const std::string &kind, const std::string &part) {
  JournalLine found;
  WaitUntil("journal line " + kind + (part.empty() ? "" : " with \"" + part + "\""),
            [&](std::string *seen) {
              for (const JournalLine &j : program.Journal(kind))
                if (j.text.find(part) != std::string::npos) {
                  found = j;
                  return true;
                }
              *seen = LastLines(ReadAll(program.journal), 3);
              return false;
            });
  return found;
}

// ---- windows ----------------------------------------------------------------

std::string Big5Text(HWND window) {
  LRESULT length = Ask(window, WM_GETTEXTLENGTH, 0, 0, "WM_GETTEXTLENGTH");
  std::wstring text(length + 1, L'\0');
  LRESULT got = Ask(window, WM_GETTEXT, length + 1, (LPARAM)&text[0], "WM_GETTEXT");
  text.resize(got);
  return ToBig5(text);
}

std::string Big5Title(HWND window) {
  wchar_t title[512] = L"";
  int n = GetWindowTextW(window, title, 512);
  return ToBig5(std::wstring(title, n > 0 ? n : 0));
}

namespace {

struct WindowSearch {
  const char *className;
  DWORD processId;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM l) {
  WindowSearch *s = (WindowSearch *)l;
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (ClassName(window) == s->className && (s->processId == 0 || pid == s->processId))
    s->found.push_back(window);
  return TRUE;
}

}  // namespace

std::vector<HWND> TopLevelWindows(const char *className, DWORD processId) {
  WindowSearch search{className, processId, {}};
  EnumWindows(CollectWindow, (LPARAM)&search);
  return search.found;
}

HWND MainWindow() {
  HWND main = NULL;
  WaitUntil("the visible main window (class " MAIN_WINDOW_CLASS ")", [&](std::string *seen) {
    main = FindWindowA(MAIN_WINDOW_CLASS, NULL);
    if (main != NULL && !IsWindowVisible(main)) *seen = "a hidden window";
    return main != NULL && IsWindowVisible(main);
  });
  return main;
}

static HWND Control(int id) {
  HWND control = GetDlgItem(MainWindow(), id);
  Expect(control != NULL, "the main window has no control " + std::to_string(id));
  return control;
}

void Click(int id) {
  HWND button = Control(id);
  PostMessageA(button, BM_CLICK, 0, 0);
}

void ClickAndWait(int id) { Ask(Control(id), BM_CLICK, 0, 0, "BM_CLICK"); }

LRESULT AskControl(int id, UINT message, WPARAM wParam, LPARAM lParam) {
  return Ask(Control(id), message, wParam, lParam, "a message to a control");
}

LRESULT AskMainWindow(UINT message, WPARAM wParam, LPARAM lParam) {
  return Ask(MainWindow(), message, wParam, lParam, "a message to the main window");
}

std::string ControlText(int id) { return Big5Text(Control(id)); }

std::vector<std::string> ListEntries(int id) {
  HWND list = Control(id);
  // The program may rebuild the list between two questions; then ask again.
  for (int attempt = 0; attempt < 20; ++attempt) {
    std::vector<std::string> entries;
    LRESULT count = Ask(list, LB_GETCOUNT, 0, 0, "LB_GETCOUNT");
    for (LRESULT i = 0; i < count; ++i) {
      LRESULT length = Ask(list, LB_GETTEXTLEN, i, 0, "LB_GETTEXTLEN");
      if (length < 0) break;
      std::wstring text(length + 1, L'\0');
      LRESULT got = Ask(list, LB_GETTEXT, i, (LPARAM)&text[0], "LB_GETTEXT");
      if (got < 0) break;
      text.resize(got);
      entries.push_back(ToBig5(text));
    }
    if ((LRESULT)entries.size() == count) return entries;
    Sleep(20);
  }
  Fail("the list of control " + std::to_string(id) + " kept changing while it was read");
}

void ExpectListEntries(int id, const std::vector<std::string> &entries) {
  std::string expected, seen;
  for (const std::string &e : entries) expected += "[" + Escaped(e) + "]";
  WaitUntil("list " + std::to_string(id) + " to hold " + expected, [&](std::string *last) {
    std::vector<std::string> now = ListEntries(id);
    seen.clear();
    for (const std::string &e : now) seen += "[" + Escaped(e) + "]";
    *last = seen.empty() ? "(empty)" : seen;
    return now == entries;
  });
}

void WaitLogEndsWith(const std::string &text, DWORD ms) {
  // Blank lines after the last text do not count, on either side.
  auto trimmed = [](std::string s) { return s.erase(s.find_last_not_of(" \r\n") + 1); };
  std::string tail = trimmed(text);
  WaitUntil("the log to end with \"" + Escaped(tail) + "\"",
            [&](std::string *seen) {
              std::string log = trimmed(ControlText(IDC_LOG));
              *seen = Escaped(LastLines(log, 3));
              return log.size() >= tail.size() &&
                     log.compare(log.size() - tail.size(), tail.size(), tail) == 0;
            },
            ms);
}

void WaitControlsEnabled() {
  for (int id : {IDC_DEVICE_LIST, IDC_FLASH, IDC_BROWSE, IDOK})
    WaitUntil("control " + std::to_string(id) + " enabled again",
              [&](std::string *) { return IsWindowEnabled(GetDlgItem(MainWindow(), id)) != 0; });
}

void WaitJobEnd(const std::string &tail, DWORD ms) {
  WaitLogEndsWith(tail, ms);
  WaitControlsEnabled();
}

std::string Dialog::Text() const {
  HWND text = GetDlgItem(window, 0xFFFF);
  Expect(text != NULL, "the dialog has no static text 0xFFFF");
  return Big5Text(text);
}

void Dialog::Press(int id) const {
  HWND button = GetDlgItem(window, id);
  if (button != NULL) {
    PostMessageA(button, BM_CLICK, 0, 0);
  } else {
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
  }
}

void Dialog::ExpectGone(DWORD ms) const {
  WaitUntil("the dialog to close", [&](std::string *) { return !IsWindow(window); }, ms);
}

Dialog WaitDialog(const std::string &title, DWORD ms) {
  Dialog found{NULL};
  WaitUntil("a dialog titled \"" + Escaped(title) + "\"",
            [&](std::string *seen) {
              for (HWND w : TopLevelWindows("#32770")) {
                if (!OwnedByScenario(w) || !IsWindowVisible(w)) continue;
                std::string now = Big5Title(w);
                if (now == title) {
                  found.window = w;
                  return true;
                }
                *seen += "[" + Escaped(now) + "]";
              }
              return false;
            },
            ms);
  return found;
}

void FileDialog::Choose(const std::string &path) const {
  HWND name = GetDlgItem(window, 0x47C);
  Expect(name != NULL, "the file dialog has no file name box 0x47C");
  std::wstring wide(path.begin(), path.end());
  Ask(name, WM_SETTEXT, 0, (LPARAM)wide.c_str(), "WM_SETTEXT on the file name");
  Press(IDOK);
  ExpectGone();
}

void FileDialog::Cancel() const {
  Press(IDCANCEL);
  ExpectGone();
}

FileDialog OpenFileDialog(const std::string &title) {
  FileDialog d;
  d.window = WaitDialog(title).window;
  return d;
}

void ChooseImage(const FileDialog &dialog, const std::string &path) {
  dialog.Choose(path);
  WaitUntil("the chosen path in the image list", [&](std::string *seen) {
    std::vector<std::string> entries = ListEntries(IDC_IMAGE_PATH);
    *seen = entries.empty() ? "(empty)" : entries[0];
    return entries.size() == 1 && entries[0] == path;
  });
}

void ChooseImage(const std::string &path) {
  Click(IDC_BROWSE);
  ChooseImage(OpenFileDialog("Open Flash Image"), path);
}

// ---- the run ----------------------------------------------------------------

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: flashtool_e2e FLASHTOOL_EXE SCRATCH_DIR [NAME_PART]\n");
    return 2;
  }
  ProgramPath = WindowsPath(argv[1]);
  ScratchRoot = WindowsPath(argv[2]);
  const char *only = argc > 3 ? argv[3] : "";
  char self[MAX_PATH];
  GetModuleFileNameA(NULL, self, sizeof self);
  ToolDir = self;
  ToolDir.erase(ToolDir.find_last_of('\\') + 1);

  // Without a window manager on the test display, Wine waits two seconds
  // for one at every window it hides unless its windows are unmanaged.
  HKEY key;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\X11 Driver", 0, NULL, 0, KEY_SET_VALUE,
                      NULL, &key, NULL) == ERROR_SUCCESS) {
    RegSetValueExA(key, "Managed", 0, REG_SZ, (const BYTE *)"N", 2);
    RegCloseKey(key);
  }

  int passed = 0, failed = 0, waiting = 0, number = 0;
  for (const Registered &s : Registry()) {
    ++number;
    if (strstr(s.name.c_str(), only) == NULL) continue;
    char prefix[8];
    snprintf(prefix, sizeof prefix, "%02d-", number);
    ScenarioDir = ScratchRoot + "\\" + prefix + Slug(s.name);
    MakeDirectories(ScenarioDir);
    Starts = 0;
    ScenarioProgram = ProgramPath;
    SetEnvironmentVariableA("FLASHTOOL_VASPI_BUS", NULL);
    SetEnvironmentVariableA("FLASHTOOL_INJECT_FAULTS", NULL);
    DWORD start = GetTickCount();
    std::string verdict = "PASS", detail;
    try {
      SetDllOverride("wnaspi32", NULL);
      try {
        s.body();
      } catch (...) {
        EndPrograms(false);
        throw;
      }
      EndPrograms(true);
    } catch (const FailureSignal &f) {
      verdict = "FAIL";
      detail = ": " + f.message;
    } catch (const WaitingSignal &w) {
      verdict = "WAIT";
      detail = ": " + w.reason;
    } catch (const std::exception &e) {
      verdict = "FAIL";
      detail = std::string(": exception ") + e.what();
    }
    (verdict == "PASS" ? passed : verdict == "WAIT" ? waiting : failed)++;
    printf("%s %s (%.1f s)%s\n", verdict.c_str(), s.name.c_str(),
           (GetTickCount() - start) / 1000.0, detail.c_str());
    fflush(stdout);
  }
  try {
    SetDllOverride("wnaspi32", NULL);
  } catch (const FailureSignal &) {
  }
  for (Program &p : Programs) p.keep = false;
  try {
    EndPrograms(false);
  } catch (const FailureSignal &) {
  }
  if (waiting > 0) printf("%d waiting for later work\n", waiting);
  printf("%d passed, %d failed\n", passed, failed);
  fflush(stdout);
  return failed == 0 ? 0 : 1;
}
