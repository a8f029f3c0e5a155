// The end-to-end driver's script language: start the real program with
// virtual drives, drive it from outside through window messages only, and
// check what it showed and what the drives received. Every wait is bounded;
// a failed expectation ends the scenario with what was expected and seen.
#ifndef FLASHTOOL_TESTS_E2E_E2E_H
#define FLASHTOOL_TESTS_E2E_E2E_H

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "res/resource.h"
#include "vdrive/vdrive.h"

// ---- scenarios --------------------------------------------------------------

// Registers a scenario; call it from a file-scope initialiser of a
// scenarios_*.cpp file. Scenarios run in registration order, one at a time.
void Scenario(const char *name, std::function<void()> body);
// Marks the running scenario as waiting for a later piece of the product: it
// is reported as WAIT with the reason, counted apart, and does not fail the run.
[[noreturn]] void Waiting(const std::string &reason);

[[noreturn]] void Fail(const std::string &message);
void Expect(bool condition, const std::string &message);
void ExpectEqual(const std::string &seen, const std::string &expected, const std::string &what);

// Polls `ready` every 20 ms until it answers true or `ms` pass; then fails
// with `what` and the last thing `ready` saw (it may set `seen`). This and
// every other bounded wait is FLASHTOOL_E2E_SLOWER times as long when set.
void WaitUntil(const std::string &what, const std::function<bool(std::string *seen)> &ready,
               DWORD ms = 10000);

// Printable form of a byte text: ASCII as is, other bytes as \xNN.
std::string Escaped(const std::string &bytes);

// ---- files and settings -----------------------------------------------------

std::string Scratch(const std::string &name);  // a path in this scenario's scratch folder
// Writes an image of `size` bytes (a repeating pattern from `seed`) and
// returns its path.
std::string WriteImage(const std::string &name, size_t size, unsigned seed = 1);
std::string FileText(const std::string &path);
// The version Wine reports to programs started afterwards ("win95", "win98",
// "nt40", "win7", ...): HKCU\Software\Wine\Version of the shared prefix.
void SetWindowsVersion(const char *version);
// How Wine loads `dll` in programs started afterwards ("native", "builtin",
// "" for disabled, NULL for Wine's default); reset before every scenario.
// Wine reads WINEDLLOVERRIDES only from the environment it was started in,
// so a child's choice goes to HKCU\Software\Wine\DllOverrides instead.
void SetDllOverride(const char *dll, const char *order);

// ---- virtual drives and programs --------------------------------------------

// From here on in this scenario, programs start from a copy of FlashTool.exe
// in the scenario's folder, next to the virtual WNASPI32.dll, which Wine then
// prefers to its builtin one. `bus` is the layer's bus description
// (FLASHTOOL_VASPI_BUS), e.g. "adapters=2;max_targets=8,8".
void UseVirtualAspi(const std::string &bus = "");
bool VirtualAspiBuilt();

using VDrive = vdrive::DriveConfig;
VDrive CdDrive(char letter);   // a CD-RW drive with the default identity
VDrive HardDisk(char letter);  // device type 0
VDrive AspiDrive(int adapter, int target);  // a CD-RW drive on the ASPI bus

struct JournalLine {
  std::string kind, name;  // "IOCTL", "d"
  std::string text;        // the whole line
  std::string Field(const std::string &key) const;  // "" when absent; cdb runs to the end
};

struct Program {
  std::string exe, config, journal;
  std::string output;  // a console program's standard output and error, when caught
  PROCESS_INFORMATION process = {};
  bool keep = false;  // left running into the next scenario, which takes it over
  std::vector<JournalLine> Journal() const;
  std::vector<JournalLine> Journal(const std::string &kind) const;  // lines of one kind
  bool Running() const;
};

// Starts FlashTool.exe with these drives and returns it; it becomes the
// program that ExpectExit() and the journal helpers without a program mean.
Program &Start(const std::vector<VDrive> &drives = {});
Program &StartExe(const std::string &exe, const std::vector<VDrive> &drives,
                  const std::string &arguments = "");
// Starts the scenario's FlashTool.exe as it is, nothing injected: it reaches
// whatever drives Windows has. No journal.
Program &StartPlain(const std::string &arguments = "");
// A helper program that sits next to the driver (e.g. inject_probe.exe).
Program &StartTool(const std::string &name, const std::vector<VDrive> &drives,
                   const std::string &arguments);
// Faults of the program's own Windows calls for programs started afterwards
// in this scenario (FLASHTOOL_INJECT_FAULTS of vdrive_inject.dll), e.g.
// "read_lock=image.bin@81920;no_events=1".
void SetInjectedFaults(const std::string &faults);
// A console program next to the driver (flashtool-cli.exe), its output caught;
// OutputOf reads it once the program has ended.
Program &StartConsoleTool(const std::string &name, const std::vector<VDrive> &drives,
                          const std::string &arguments);
std::string OutputOf(const Program &program);
// Rewrites the running program's drive configuration (drives come or go).
void SetDrives(Program &program, const std::vector<VDrive> &drives);
Program &Last();
void ExpectExit(DWORD code);
void ExpectExit(Program &program, DWORD code, DWORD ms = 15000);
void Kill(Program &program);
// Waits for a journal line of `kind` whose text contains `part`; returns it.
JournalLine WaitJournal(Program &program, const std::string &kind, const std::string &part = "");

// ---- windows ----------------------------------------------------------------

std::string Big5Text(HWND window);   // the window's text (WM_GETTEXT) as code page 950 bytes
std::string Big5Title(HWND window);  // a top-level window's title (GetWindowTextW), likewise
std::vector<HWND> TopLevelWindows(const char *className, DWORD processId = 0);

HWND MainWindow();  // waits for the visible VELDRIN window
void Click(int id);  // posted: returns before the program has handled it
// Clicks and returns once the program has handled the click and whatever it
// started on its window thread.
void ClickAndWait(int id);
// A message to a control of the main window, answered within 5 s.
LRESULT AskControl(int id, UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
LRESULT AskMainWindow(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
std::string ControlText(int id);
std::vector<std::string> ListEntries(int id);
void ExpectListEntries(int id, const std::vector<std::string> &entries);
// Waits until the log ends with `tail`; blank lines at the end of either do not count.
void WaitLogEndsWith(const std::string &tail, DWORD ms = 30000);
// Waits until the busy token is back: the four controls it greys are enabled.
void WaitControlsEnabled();
// A job has ended when its log ends with `tail` and the token is back.
void WaitJobEnd(const std::string &tail, DWORD ms = 30000);

struct Dialog {
  HWND window;
  std::string Text() const;  // a message box's text (static 0xFFFF)
  void Press(int id) const;
  void ExpectGone(DWORD ms = 5000) const;
};
// A #32770 window of the program whose title is `title` (code page 950).
Dialog WaitDialog(const std::string &title, DWORD ms = 10000);

struct FileDialog : Dialog {
  void Choose(const std::string &path) const;
  void Cancel() const;
};
FileDialog OpenFileDialog(const std::string &title);
// Picks `path` in the program's open-file dialog (opened by Browse, or
// already open) and waits until it is the image list's one entry.
void ChooseImage(const std::string &path);
void ChooseImage(const FileDialog &dialog, const std::string &path);

#endif
