// Windows 98/ME: the ASPI route through the tests' own WNASPI32.dll. The
// program runs from a scenario folder of its own so that the layer sits (or
// does not sit) next to it.
#include "e2e/e2e.h"

#include <dbt.h>

namespace {

// Big5 bytes of strings 49 and the start of 48, independent of the program.
const std::string ASPI_REQUIRED =
    "\xA6\xB9\xB5{\xA6\xA1\xBB\xDD\xADn\xA4\xE4\xC2Z Win32 \xAA\xBA ASPI (i.e. WNASPI32.DLL) "
    "\xA4~\xAF\xE0\xA5\xBF\xB1`\xB0\xF5\xA6\xE6\xA1" "CThis program requires ASPI for Win32 (i.e. "
    "WNASPI32.DLL) to run properly.";
const std::string ASPI_INIT_FAILED = "\xA5\xBC\xAF\xE0\xD7\xB8\xA9l\xA4\xC6\xAA\xBA ASPI for Win32(";
const std::string FAILURE_TITLE = "!!! SCSI \xAB\xFC\xA5O\xA5\xA2\xB1\xD1 !!!";

std::string BuildDir() {
  char path[MAX_PATH];
  GetModuleFileNameA(NULL, path, sizeof path);
  std::string dir = path;
  return dir.substr(0, dir.rfind('\\') + 1);
}

VDrive NamedDrive(int adapter, int target, const char *vendor, const char *product, const char *revision) {
  VDrive d = AspiDrive(adapter, target);
  d.vendor = vendor;
  d.product = product;
  d.revision = revision;
  return d;
}

// Starts the program on win98 from the scenario folder, with the virtual
// layer next to it, or with no layer at all.
Program &StartAspi(const std::vector<VDrive> &drives, const std::string &bus, bool layer = true) {
  SetWindowsVersion("win98");
  if (layer) {
    UseVirtualAspi(bus);
    return Start(drives);
  }
  std::string exe = Scratch("FlashTool.exe");
  Expect(CopyFileA((BuildDir() + "FlashTool.exe").c_str(), exe.c_str(), FALSE) != 0, "copy FlashTool.exe");
  SetDllOverride("wnaspi32", "");
  return StartExe(exe, drives);
}

std::vector<JournalLine> Executed(Program &program) {
  std::vector<JournalLine> lines;
  for (const JournalLine &line : program.Journal("ASPI"))
    if (line.Field("cdb").compare(0, 2, "12") != 0) lines.push_back(line);
  return lines;
}

void ChooseAndFlash(const std::string &image) {
  ChooseImage(image);
  Click(IDC_FLASH);
}

// The INQUIRY commands the discovery sent so far: one per listed target and rebuild.
size_t Inquiries(Program &program) {
  size_t count = 0;
  for (const JournalLine &line : program.Journal("ASPI"))
    if (line.Field("cdb").compare(0, 2, "12") == 0) ++count;
  return count;
}

// A devnode arrives or leaves, with the data ASPI translates.
void NotifyDevnode(WPARAM event, DWORD devnode) {
  DEV_BROADCAST_DEVNODE data = {sizeof data, DBT_DEVTYP_DEVNODE, 0, devnode};
  DWORD_PTR answer = 0;
  SendMessageTimeoutA(MainWindow(), WM_DEVICECHANGE, event, (LPARAM)&data, SMTO_NORMAL, 5000, &answer);
}

void WaitRebuild(Program &program, size_t inquiriesBefore, size_t entries, LRESULT selected) {
  WaitUntil("a rebuild of " + std::to_string(entries) + " entries with entry " +
                std::to_string(selected) + " selected",
            [&](std::string *seen) {
              LRESULT now = AskControl(IDC_DEVICE_LIST, LB_GETCURSEL);
              size_t count = ListEntries(IDC_DEVICE_LIST).size();
              *seen = std::to_string(count) + " entries, selection " + std::to_string(now);
              return Inquiries(program) >= inquiriesBefore + entries && count == entries && now == selected;
            });
}

void SetAutoInsert(const std::string &deviceKey, BYTE value) {
  HKEY key;
  std::string path = "Enum\\SCSI\\" + deviceKey + "\\ROOT&SCSIADAPTER&0000";
  Expect(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL) ==
             ERROR_SUCCESS,
         "create " + path);
  RegSetValueExA(key, "AutoInsertNotification", 0, REG_BINARY, &value, 1);
  RegCloseKey(key);
}

BYTE AutoInsert(const std::string &deviceKey) {
  HKEY key;
  BYTE value = 0xEE;
  DWORD size = 1;
  std::string path = "Enum\\SCSI\\" + deviceKey + "\\ROOT&SCSIADAPTER&0000";
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return 0xEE;
  RegQueryValueExA(key, "AutoInsertNotification", NULL, NULL, &value, &size);
  RegCloseKey(key);
  return value;
}

const bool registered = [] {
  Scenario("win98 lists every CD target of every adapter over ASPI", [] {
    StartAspi({NamedDrive(0, 1, "AB", "CD-RW 1234", "1.0"), NamedDrive(1, 0, "VENDOR12", "PRODUCT_SIXTEEN!", "REV1")},
              "adapters=2");
    MainWindow();
    ExpectListEntries(IDC_DEVICE_LIST, {"Device: AB      CD-RW 1234         Firmware Version: 1.0",
                                        "Device: VENDOR12PRODUCT_SIXTEEN!   Firmware Version: REV1"});
    Click(IDOK);
    ExpectExit(0);
  });

  Scenario("win98 flashes 40961 bytes through ASPI requests with completion events", [] {
    Program &program = StartAspi({NamedDrive(0, 1, "QUOR", "VIRTUAL CD-RW", "1.00")}, "completion=later");
    MainWindow();
    ChooseAndFlash(WriteImage("aspi.bin", 40961));
    WaitJobEnd("======== SUCCEED ========");
    std::vector<JournalLine> sent = Executed(program);
    Expect(sent.size() == 5, "five commands after discovery, saw " + std::to_string(sent.size()));
    ExpectEqual(sent[0].Field("cdb"), "00 00 00 00 00 00", "first TEST UNIT READY");
    ExpectEqual(sent[1].Field("cdb"), "00 00 00 00 00 00", "second TEST UNIT READY");
    ExpectEqual(sent[2].Field("cdb"), "1B 00 00 00 00 00 00 00 00 00 00 00", "START STOP UNIT");
    ExpectEqual(sent[2].Field("cdblen"), "12", "START STOP UNIT length");
    for (int i = 3; i < 5; ++i) {
      ExpectEqual(sent[i].Field("flags"), "50", "download flags");
      ExpectEqual(sent[i].Field("buflen"), "40960", "download length");
      ExpectEqual(sent[i].Field("senselen"), "24", "download sense length");
    }
    std::vector<JournalLine> blocks = program.Journal("BLOCK");
    Expect(blocks.size() == 2 && blocks[1].Field("idx") == "FF", "blocks 00 and FF reached the drive");
    ExpectEqual(sent[4].Field("cdb"), "55 00 2B 41 50 49 FF A0 00 " + blocks[1].Field("sum").substr(0, 2) + " " +
                                          blocks[1].Field("sum").substr(2) + " 00",
                "last download CDB");
    std::string log = ControlText(IDC_LOG);
    ExpectEqual(log.substr(0, 45), "Start Flashing...\r\nDon't turn off the power!!", "log start");
    Expect(log.find("Firmware check sum: " + blocks[1].Field("sum") + "\r\nPlease wait....\r\n") != std::string::npos,
           "checksum line in the log: " + Escaped(log));
    Click(IDOK);
    ExpectExit(0);
  });

  Scenario("win98 device changes keep the picked target; a gone target leaves nothing to flash", [] {
    VDrive first = NamedDrive(0, 1, "QUOR", "VIRTUAL CD-RW", "1.00");
    VDrive picked = NamedDrive(0, 3, "QUOR", "OTHER CD-RW", "1.00");
    const DWORD devnode = 0x51;
    Program &program = StartAspi({first, picked}, "devnodes=0x51:0:3");
    MainWindow();
    ExpectListEntries(IDC_DEVICE_LIST, {"Device: QUOR    VIRTUAL CD-RW      Firmware Version: 1.00",
                                        "Device: QUOR    OTHER CD-RW        Firmware Version: 1.00"});
    AskControl(IDC_DEVICE_LIST, LB_SETCURSEL, 1);
    size_t inquiries = Inquiries(program);
    NotifyDevnode(DBT_DEVICEARRIVAL, devnode);
    WaitRebuild(program, inquiries, 2, 1);

    std::string image = WriteImage("picked.bin", 40961);
    Click(IDC_BROWSE);
    FileDialog dialog = OpenFileDialog("Open Flash Image");
    inquiries = Inquiries(program);
    NotifyDevnode(DBT_DEVICEARRIVAL, devnode);
    WaitRebuild(program, inquiries, 2, 1);
    ChooseImage(dialog, image);
    Click(IDC_FLASH);
    WaitJobEnd("======== SUCCEED ========");
    std::vector<JournalLine> sent = Executed(program);
    Expect(sent.size() == 5, "five commands, saw " + std::to_string(sent.size()));
    for (const JournalLine &line : sent) ExpectEqual(line.name, "0:3", "the target written");

    // Target 3 goes: nothing is selected and Flash sends nothing to anyone.
    SetDrives(program, {first});
    inquiries = Inquiries(program);
    NotifyDevnode(DBT_DEVICEREMOVECOMPLETE, devnode);
    WaitRebuild(program, inquiries, 1, LB_ERR);
    size_t commands = program.Journal("ASPI").size();
    ClickAndWait(IDC_FLASH);
    Sleep(500);  // a job, had one started, would have prepared its drive by now
    Expect(program.Journal("ASPI").size() == commands, "Flash with nothing selected sent a command");
    Click(IDOK);
    ExpectExit(0);
  });

  Scenario("win98 without events: a request the layer refuses at once ends the job", [] {
    VDrive d = NamedDrive(0, 0, "QUOR", "VIRTUAL CD-RW", "1.00");
    d.failAt = 0;
    d.aspiReject = 0xE0;  // answered at once, its status never written
    SetInjectedFaults("no_events=1");
    Program &program = StartAspi({d}, "");
    MainWindow();
    ChooseAndFlash(WriteImage("refused.bin", 50000));
    WaitJobEnd("======== FAIL ========");
    JournalLine refused = WaitJournal(program, "ASPI", "rejected=e0");
    ExpectEqual(refused.Field("event"), "0", "the request went without an event");
    Click(IDOK);
    ExpectExit(0);
  });

  Scenario("win98 block that ends with another status gives FAIL", [] {
    VDrive d = NamedDrive(0, 0, "QUOR", "VIRTUAL CD-RW", "1.00");
    d.failAt = 1;
    d.aspiStatus = 4;
    Program &program = StartAspi({d}, "");
    MainWindow();
    ChooseAndFlash(WriteImage("aspifail.bin", 90000));
    WaitJobEnd("======== FAIL ========");
    Expect(program.Journal("BLOCK").size() == 1, "nothing after the failed block");
    Click(IDOK);
    ExpectExit(0);
  });

  Scenario("win98 failing INQUIRY at start-up shows the failure dialog before the window", [] {
    VDrive d = NamedDrive(0, 2, "QUOR", "VIRTUAL CD-RW", "1.00");
    d.failOpcode = 0x12;
    d.failAt = 0;
    d.failCount = 0;
    d.checkCondition = {0x70, 0, 0x06, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x28, 0x00};
    Program &program = StartAspi({d}, "");
    Dialog failure = WaitDialog(FAILURE_TITLE);
    HWND main = FindWindowA(MAIN_WINDOW_CLASS, NULL);
    Expect(main != NULL && !IsWindowVisible(main), "the main window waits hidden behind the dialog");
    ExpectEqual(Big5Text(GetDlgItem(failure.window, 101)), "12 00 00 00 26 00 ", "CDB sent");
    ExpectEqual(Big5Text(GetDlgItem(failure.window, 100)), "2", "target");
    ExpectEqual(Big5Text(GetDlgItem(failure.window, 104)), "6", "sense key");
    ExpectEqual(Big5Text(GetDlgItem(failure.window, 105)), "40", "additional sense code");
    failure.Press(IDCANCEL);
    failure.ExpectGone();
    MainWindow();
    Expect(ListEntries(IDC_DEVICE_LIST).empty(), "the failing drive is not listed");
    Expect(program.Journal("ASPI").size() == 1, "unit attention is not tried twice");
    Click(IDOK);
    ExpectExit(0);
  });

  Scenario("win98 Flash clears auto-insert, offers a restart, and flashes on the next start", [] {
    const std::string device = "Device:_QUOR____VIRTUAL&CD-RW";
    SetAutoInsert(device, 0x01);
    VDrive d = NamedDrive(0, 0, "QUOR", "VIRTUAL CD-RW", "1.00");
    Program &first = StartAspi({d}, "");
    MainWindow();
    ChooseAndFlash(WriteImage("guarded.bin", 1000));
    Dialog prompt = WaitDialog("Flash Tool");
    Expect(prompt.Text().find("Do you want to restart windows now?") != std::string::npos,
           "the restart prompt: " + Escaped(prompt.Text()));
    prompt.Press(IDCANCEL);
    ExpectExit(first, 0);
    Expect(AutoInsert(device) == 0x00, "auto-insert notification is off");
    Expect(first.Journal("EXITWINDOWS").empty(), "Cancel does not restart Windows");
    Expect(Executed(first).empty(), "nothing was flashed");

    Program &second = StartAspi({d}, "");
    MainWindow();
    ChooseAndFlash(Scratch("guarded.bin"));
    WaitJobEnd("======== SUCCEED ========");
    Expect(second.Journal("BLOCK").size() == 1, "the second start flashed");
    Click(IDOK);
    ExpectExit(0);
  });

  Scenario("without WNASPI32 start-up says so and exits 0 without a window", [] {
    StartAspi({}, "", false);
    Dialog box = WaitDialog("Flash Tool");
    std::string text = box.Text();
    Expect(text == ASPI_REQUIRED || text.compare(0, ASPI_INIT_FAILED.size(), ASPI_INIT_FAILED) == 0,
           "string 49 or 48, saw " + Escaped(text));
    Expect(TopLevelWindows(MAIN_WINDOW_CLASS).empty(), "no main window");
    box.Press(IDOK);
    ExpectExit(0);
  });

  Scenario("a WNASPI32 that cannot load shows string 48 with its error and 1", [] {
    StartAspi({}, "", false);
    Dialog first = WaitDialog("Flash Tool");
    first.Press(IDOK);
    ExpectExit(0);
    HANDLE junk = CreateFileA(Scratch("WNASPI32.dll").c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD written;
    WriteFile(junk, "not a library", 13, &written, NULL);
    CloseHandle(junk);
    SetDllOverride("wnaspi32", "native");
    StartExe(Scratch("FlashTool.exe"), {});
    Dialog box = WaitDialog("Flash Tool");
    std::string text = box.Text();
    Expect(text.compare(0, ASPI_INIT_FAILED.size(), ASPI_INIT_FAILED) == 0 && text.find("/1).") != std::string::npos,
           "string 48 with the load error and 1, saw " + Escaped(text));
    box.Press(IDOK);
    ExpectExit(0);
  });
  return true;
}();

}  // namespace
