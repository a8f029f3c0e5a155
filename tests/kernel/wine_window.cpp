// FlashTool.exe in the real-kernel tier's guest (tests/kernel/wine-guest.sh):
// started as it is, so that it reaches the guest's drives through Wine's own
// pass-through, and driven from outside as the end-to-end tier drives it.
// One start of the program serves every scenario, in order: a window takes
// most of a minute to come up under the guest's emulated processor.
//   D: KTIER FAST CD  QEMU's drive, which takes a whole flash
//   E: our drive behind the kernel's target, which refuses every download
//      after the flash of the console program before
// Run with FLASHTOOL_E2E_SLOWER: every wait below is stretched by it.
// FLASHTOOL_KTIER_IMAGE and FLASHTOOL_KTIER_REFUSED_IMAGE name the images
// for D: and E:; in FLASHTOOL_KTIER_SYNC the driver makes "listed" once the
// list is up and waits there for "shot", the screenshot taken.
#include <cstdlib>

#include "e2e/e2e.h"

namespace {

// " 裝置： " and "          軔體版本： " in Big5, around the INQUIRY fields.
const std::string LABEL_PREFIX = " \xB8\xCB\xB8\x6D\xA1\x47 ";
const std::string LABEL_MIDDLE = "          \xB0\x62\xC5\xE9\xAA\xA9\xA5\xBB\xA1\x47 ";

std::string Label(const std::string &vendor8, const std::string &product16, const std::string &revision) {
  return LABEL_PREFIX + vendor8 + product16 + LABEL_MIDDLE + revision;
}

std::string Setting(const char *name) {
  const char *value = getenv(name);
  Expect(value != NULL && *value != '\0', std::string(name) + " is not set");
  return value;
}

bool Exists(const std::string &path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

const bool registered = [] {
  Scenario("lists D: KTIER FAST CD and E: QUOR VIRTUAL CD-RW, the guest's drives", [] {
    Program &program = StartPlain();
    program.keep = true;
    WaitUntil("the visible main window", [](std::string *) {
      HWND main = FindWindowA(MAIN_WINDOW_CLASS, NULL);
      return main != NULL && IsWindowVisible(main);
    }, 25000);
    ExpectListEntries(IDC_DEVICE_LIST, {Label("KTIER   ", "FAST CD         ", "1.00"),
                                        Label("QUOR    ", "VIRTUAL CD-RW   ", "1.00")});
    std::string sync = Setting("FLASHTOOL_KTIER_SYNC");
    CloseHandle(CreateFileA((sync + "\\listed").c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
    WaitUntil("the screenshot", [&](std::string *) { return Exists(sync + "\\shot"); }, 10000);
  });

  Scenario("flashes D: through its pass-through route to SUCCEED", [] {
    Last().keep = true;
    Expect(AskControl(IDC_DEVICE_LIST, LB_GETCURSEL) == 0, "D: is selected");
    ChooseImage(Setting("FLASHTOOL_KTIER_IMAGE"));
    Click(IDC_FLASH);
    WaitJobEnd("======== SUCCEED ========", 40000);
  });

  Scenario("a block refused by E: ends in FAIL", [] {
    Program &program = Last();
    AskControl(IDC_DEVICE_LIST, LB_SETCURSEL, 1);
    ChooseImage(Setting("FLASHTOOL_KTIER_REFUSED_IMAGE"));
    Click(IDC_FLASH);
    WaitJobEnd("======== FAIL ========");
    Click(IDOK);
    ExpectExit(program, 0);
  });
  return true;
}();

}  // namespace
