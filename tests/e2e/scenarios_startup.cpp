// Start-up: which Windows versions are served, where the main window
// appears, the single instance, and Exit.
#include "e2e/e2e.h"

namespace {

// Big5 bytes, independent of the program's own resources.
// "此 Windows 版本不被支援。"
const std::string UNSUPPORTED =
    "\xA6\xB9 Windows \xAA\xA9\xA5\xBB\xA4\xA3\xB3" "Q\xA4\xE4\xB4\xA9\xA1" "C";
// "\"Quor\" Auto Detect IDE-Port Device Tool (版本 1.0)"
const std::string TITLE = "\"Quor\" Auto Detect IDE-Port Device Tool (\xAA\xA9\xA5\xBB 1.0)";

// Waits for the main window, or for the box of a start-up that gave up.
HWND MainWindowOrBox(std::string *boxText) {
  HWND found = NULL;
  WaitUntil("the main window or a start-up message box", [&](std::string *) {
    for (HWND box : TopLevelWindows("#32770", Last().process.dwProcessId))
      if (IsWindowVisible(box)) {
        *boxText = Dialog{box}.Text();
        return true;
      }
    found = FindWindowA(MAIN_WINDOW_CLASS, NULL);
    return found != NULL && IsWindowVisible(found);
  });
  return boxText->empty() ? found : NULL;
}

void ExpectPlacedOnScreen(HWND main) {
  RECT r;
  GetWindowRect(main, &r);
  int w = r.right - r.left, h = r.bottom - r.top;
  int screenW = GetSystemMetrics(SM_CXSCREEN), screenH = GetSystemMetrics(SM_CYSCREEN);
  int x = (screenW - w) / 2, y = (screenH - h) / 3;
  Expect(r.left == x && r.top == y,
         "a " + std::to_string(w) + "x" + std::to_string(h) + " window on a " +
             std::to_string(screenW) + "x" + std::to_string(screenH) + " screen belongs at (" +
             std::to_string(x) + ", " + std::to_string(y) + "), saw (" + std::to_string(r.left) +
             ", " + std::to_string(r.top) + ")");
}

void ExpectMainWindowStart(const char *version, const VDrive &drive) {
  SetWindowsVersion(version);
  Start({drive});
  std::string box;
  HWND main = MainWindowOrBox(&box);
  if (main == NULL && box.find("ASPI") != std::string::npos && !VirtualAspiBuilt())
    Waiting("start-up stopped at its ASPI box: " + Escaped(box));
  Expect(main != NULL, "instead of the main window a box said \"" + Escaped(box) + "\"");
  ExpectEqual(Big5Title(main), TITLE, "main window title");
  ExpectPlacedOnScreen(main);
  Click(IDOK);
  ExpectExit(0);
}

const bool registered = [] {
  for (const char *version : {"win95", "nt40"}) {
    Scenario((std::string("start-up on ") + version + " refuses with a box and exits 0").c_str(),
             [version] {
               SetWindowsVersion(version);
               Program &program = Start({CdDrive('d')});
               Dialog box = WaitDialog("Flash Tool");
               ExpectEqual(box.Text(), UNSUPPORTED, "refusal text");
               Expect(TopLevelWindows(MAIN_WINDOW_CLASS).empty(), "a refused start made a main window");
               box.Press(IDOK);
               ExpectExit(0);
               Expect(program.Journal("OPEN").empty(), "a refused start opened a drive");
             });
  }

  Scenario("start-up on win7 shows the titled main window centred, one third down", [] {
    ExpectMainWindowStart("win7", CdDrive('d'));
  });

  Scenario("start-up on win98 shows the titled main window centred, one third down", [] {
    UseVirtualAspi();
    ExpectMainWindowStart("win98", AspiDrive(0, 1));
  });

  Scenario("a second start brings the first window back and exits 0", [] {
    SetWindowsVersion("win7");
    Program &first = Start({CdDrive('d')});
    HWND main = MainWindow();
    ShowWindowAsync(main, SW_MINIMIZE);
    WaitUntil("the first window to be minimised", [&](std::string *) { return IsIconic(main) != 0; });

    Program &second = Start({CdDrive('d')});
    ExpectExit(second, 0);
    std::vector<HWND> windows = TopLevelWindows(MAIN_WINDOW_CLASS);
    Expect(windows.size() == 1 && windows[0] == main,
           "expected the first window alone, saw " + std::to_string(windows.size()) + " windows");
    WaitUntil("the first window restored and in front", [&](std::string *seen) {
      *seen = std::string(IsIconic(main) ? "minimised" : "restored") +
              (GetForegroundWindow() == main ? ", in front" : ", not in front");
      return !IsIconic(main) && GetForegroundWindow() == main;
    });
    Expect(second.Journal("OPEN").empty(), "the second start opened a drive");
    Click(IDOK);
    ExpectExit(first, 0);
  });

  Scenario("Exit closes the main window and ends with 0", [] {
    SetWindowsVersion("win7");
    Start({CdDrive('d')});
    HWND main = MainWindow();
    Click(IDOK);
    ExpectExit(0);
    Expect(!IsWindow(main), "the main window outlived its process");
  });
  return true;
}();

}  // namespace
