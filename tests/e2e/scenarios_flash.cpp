// Flashing on Windows 2000 and later: the drive list by letter, the image
// chosen in the real open-file dialog, the flash job's log and what the
// drive received, its failures, and the list following device changes.
#include "e2e/e2e.h"

#include <commctrl.h>
#include <dbt.h>

#include <fstream>
#include <iterator>

namespace {

// " 裝置： " and "          軔體版本： " in Big5, around the INQUIRY fields.
const std::string LABEL_PREFIX = " \xB8\xCB\xB8\x6D\xA1\x47 ";
const std::string LABEL_MIDDLE = "          \xB0\x62\xC5\xE9\xAA\xA9\xA5\xBB\xA1\x47 ";

std::string Label(const std::string &vendor8, const std::string &product16, const std::string &revision) {
  return LABEL_PREFIX + vendor8 + product16 + LABEL_MIDDLE + revision;
}

unsigned ImageChecksum(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  unsigned sum = 0;
  for (std::istreambuf_iterator<char> it(file), end; it != end; ++it) sum += (unsigned char)*it;
  return sum & 0xFFFF;
}

std::string Hex4(unsigned value) {
  char text[8];
  snprintf(text, sizeof text, "%04X", value);
  return text;
}

std::vector<JournalLine> Downloads(Program &program) {
  std::vector<JournalLine> downloads;
  for (const JournalLine &line : program.Journal("IOCTL"))
    if (line.Field("cdb").compare(0, 2, "55") == 0) downloads.push_back(line);
  return downloads;
}

// Where in the journal the first line of `kind` whose text holds `part`
// stands, from `from` on; -1 when there is none.
int JournalIndex(Program &program, const std::string &kind, const std::string &part, int from = 0) {
  std::vector<JournalLine> lines = program.Journal();
  for (int i = from; i < (int)lines.size(); ++i)
    if (lines[i].kind == kind && lines[i].text.find(part) != std::string::npos) return i;
  return -1;
}

// A notification that some device arrived or left, without data.
void NotifyDeviceChange() { PostMessageA(MainWindow(), WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0); }

// Waits until the drives were opened afresh (a rebuild ran) and the list
// shows `entries` entries with `selected` selected.
void WaitRebuild(Program &program, size_t opensBefore, size_t entries, LRESULT selected) {
  WaitUntil("a rebuild of " + std::to_string(entries) + " entries with entry " +
                std::to_string(selected) + " selected",
            [&](std::string *seen) {
              LRESULT now = AskControl(IDC_DEVICE_LIST, LB_GETCURSEL);
              size_t count = ListEntries(IDC_DEVICE_LIST).size();
              *seen = std::to_string(count) + " entries, selection " + std::to_string(now);
              return program.Journal("OPEN").size() > opensBefore && count == entries &&
                     now == selected;
            });
}

LRESULT QueryEndSession() { return AskMainWindow(WM_QUERYENDSESSION, 0, 0); }

// Starts with drive d and flashes `image`; answers when the log ends with `tail`.
Program &FlashOnD(const VDrive &drive, const std::string &image, const std::string &tail) {
  SetWindowsVersion("win7");
  Program &program = Start({drive});
  MainWindow();
  ChooseImage(image);
  Click(IDC_FLASH);
  WaitJobEnd(tail);
  return program;
}

const bool registered = [] {
  Scenario("win7 lists the CD/DVD drives by letter with their Big5 labels", [] {
    SetWindowsVersion("win7");
    VDrive g = CdDrive('g');
    g.vendor = "ABCD";
    g.product = "DVD-ROM 5678";
    g.revision = "B2";
    Program &program = Start({HardDisk('c'), CdDrive('d'), g});
    MainWindow();
    ExpectListEntries(IDC_DEVICE_LIST,
                      {Label("QUOR    ", "VIRTUAL CD-RW   ", "1.00"),
                       Label("ABCD    ", "DVD-ROM 5678    ", "B2  ")});
    Expect(AskControl(IDC_DEVICE_LIST, LB_GETCURSEL) == 0, "entry 0 is selected");
    Expect(AskControl(IDC_DEVICE_LIST, LB_GETITEMDATA, 1) == 1, "entry 1 carries its table row");
    Expect(!program.Journal("CLOSE").empty() && program.Journal("CLOSE")[0].name == "c",
           "the hard disk's handle is closed again");
    Click(IDOK);
    ExpectExit(0);
  });

  Scenario("a 40961-byte image chosen in the dialog flashes in two blocks", [] {
    SetWindowsVersion("win7");
    std::string image = WriteImage("firmware.bin", 40961);
    Program &program = Start({CdDrive('d')});
    MainWindow();
    Click(IDC_BROWSE);
    FileDialog dialog = OpenFileDialog("Open Flash Image");
    HWND types = GetDlgItem(dialog.window, 0x470);
    wchar_t type[64] = L"";
    SendMessageW(types, CB_GETLBTEXT, SendMessageW(types, CB_GETCURSEL, 0, 0), (LPARAM)type);
    Expect(std::wstring(type) == L"Images(*.bin)", "the dialog opens on \"Images(*.bin)\"");
    ChooseImage(dialog, image);

    Click(IDC_FLASH);
    WaitJobEnd("======== SUCCEED ========");
    std::string sum = Hex4(ImageChecksum(image));
    ExpectEqual(ControlText(IDC_LOG),
                "Start Flashing...\r\nDon't turn off the power!!\r\nFirmware check sum: " + sum +
                    "\r\nPlease wait....\r\n \r\n======== SUCCEED ========\r\n \r\n",
                "log");
    std::vector<JournalLine> blocks = program.Journal("BLOCK");
    Expect(blocks.size() == 2, "two blocks reached the drive, saw " + std::to_string(blocks.size()));
    Expect(blocks[0].Field("idx") == "00" && blocks[1].Field("idx") == "FF", "blocks 00 then FF");
    ExpectEqual(blocks[1].Field("sum"), sum, "checksum of the last block");
    Expect(blocks[0].text.find(" ok") != std::string::npos && blocks[1].text.find(" ok") != std::string::npos,
           "both blocks checked out: " + blocks[1].text);
    std::vector<JournalLine> downloads = Downloads(program);
    ExpectEqual(downloads[1].Field("cdb"), "55 00 2B 41 50 49 FF A0 00 " + sum.substr(0, 2) + " " +
                                               sum.substr(2) + " 00 00 00 00 00", "last download CDB");
    ExpectEqual(downloads[1].Field("xfer"), "40960", "transfer length");
    ExpectEqual(downloads[1].Field("timeout"), "100", "time-out");
    ExpectEqual(downloads[1].Field("dir"), "0", "direction");
    bool inquired = false;
    for (const JournalLine &line : program.Journal("IOCTL"))
      if (line.Field("cdb").compare(0, 2, "12") == 0 && line.text.find(" 4D004 ") != std::string::npos) inquired = true;
    Expect(inquired, "the drive was asked for INQUIRY");
    LRESULT top = AskControl(IDC_COLOR_SINK, PBM_GETRANGE, FALSE);
    Expect(top > 0 && AskControl(IDC_COLOR_SINK, PBM_GETPOS) == top, "the progress bar ends full");
    WaitControlsEnabled();

    // The flashed drive reports its new revision at the next rebuild.
    PostMessageA(MainWindow(), WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    WaitUntil("the list to show the new revision", [&](std::string *seen) {
      std::vector<std::string> entries = ListEntries(IDC_DEVICE_LIST);
      *seen = entries.empty() ? "(empty)" : Escaped(entries[0]);
      return entries.size() == 1 && entries[0] == Label("QUOR    ", "VIRTUAL CD-RW   ", "2.00");
    });
    Click(IDOK);
    ExpectExit(0);
  });

  Scenario("a block that fails with error 31 ends in FAIL 31", [] {
    VDrive d = CdDrive('d');
    d.failAt = 0;
    d.failError = 31;
    FlashOnD(d, WriteImage("fail31.bin", 50000), "======== FAIL 31========");
    Click(IDOK);
    ExpectExit(0);
  });

  Scenario("a drive that refuses a block ends in FAIL", [] {
    VDrive d = CdDrive('d');
    d.failAt = 1;
    d.checkCondition = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x26, 0x00};
    Program &program = FlashOnD(d, WriteImage("refused.bin", 90000), "======== FAIL ========");
    Expect(Downloads(program).size() == 2, "nothing goes out after the refused block");
    Click(IDOK);
    ExpectExit(0);
  });

  Scenario("an empty or oversized image is refused before anything is sent", [] {
    Program &program = FlashOnD(CdDrive('d'), WriteImage("empty.bin", 0), "Image file is empty!");
    ChooseImage(WriteImage("large.bin", 10485761));
    Click(IDC_FLASH);
    WaitJobEnd("Image file is too large!");
    // 4 GiB + 100 bytes, sparse: judged on its low 32 bits it would pass as
    // a 100-byte image.
    std::string huge = Scratch("huge.bin");
    HANDLE file = CreateFileA(huge.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    LARGE_INTEGER size;
    size.QuadPart = (4LL << 30) + 100;
    Expect(file != INVALID_HANDLE_VALUE && SetFilePointerEx(file, size, NULL, FILE_BEGIN) &&
               SetEndOfFile(file),
           "cannot make a sparse file of 4 GiB + 100 bytes");
    CloseHandle(file);
    size_t commands = program.Journal("IOCTL").size();
    ChooseImage(huge);
    Click(IDC_FLASH);
    WaitUntil("the second refusal", [&](std::string *) {
      return ControlText(IDC_LOG).find("too large!\r\nImage file is too large!") != std::string::npos;
    });
    WaitControlsEnabled();
    DeleteFileA(huge.c_str());
    ExpectEqual(ControlText(IDC_LOG),
                "Image file is empty!\r\nImage file is too large!\r\nImage file is too large!\r\n", "log");
    Expect(Downloads(program).empty(), "no download command reached the drive");
    Expect(program.Journal("IOCTL").size() == commands, "the drive received a command for the sparse file");
    Click(IDOK);
    ExpectExit(0);
  });

  Scenario("device changes keep the picked drive; a gone drive leaves nothing to flash", [] {
    SetWindowsVersion("win7");
    VDrive g = CdDrive('g');
    g.product = "DVD-RW 5678";
    Program &program = Start({CdDrive('d'), g});
    MainWindow();
    AskControl(IDC_DEVICE_LIST, LB_SETCURSEL, 1);
    size_t opens = program.Journal("OPEN").size();
    // A volume arrival, with its data: a notification from another process
    // must carry them.
    DEV_BROADCAST_VOLUME volume = {sizeof volume, DBT_DEVTYP_VOLUME, 0, 1u << ('e' - 'a'), 0};
    DWORD_PTR answer = 0;
    SendMessageTimeoutA(MainWindow(), WM_DEVICECHANGE, DBT_DEVICEARRIVAL, (LPARAM)&volume, SMTO_NORMAL,
                        5000, &answer);
    Expect(answer == TRUE, "WM_DEVICECHANGE is answered TRUE");
    WaitRebuild(program, opens, 2, 1);

    // The list is rebuilt while the open-file dialog is up, too.
    std::string image = WriteImage("picked.bin", 40961);
    Click(IDC_BROWSE);
    FileDialog dialog = OpenFileDialog("Open Flash Image");
    opens = program.Journal("OPEN").size();
    NotifyDeviceChange();
    WaitRebuild(program, opens, 2, 1);
    ChooseImage(dialog, image);
    Click(IDC_FLASH);
    WaitJobEnd("======== SUCCEED ========");
    std::vector<JournalLine> downloads = Downloads(program);
    Expect(downloads.size() == 2, "two downloads, saw " + std::to_string(downloads.size()));
    for (const JournalLine &line : downloads) ExpectEqual(line.name, "g", "the drive written");

    // G: goes: nothing is selected and Flash sends nothing to anyone.
    SetDrives(program, {CdDrive('d')});
    opens = program.Journal("OPEN").size();
    NotifyDeviceChange();
    WaitRebuild(program, opens, 1, LB_ERR);
    size_t commands = program.Journal("IOCTL").size();
    std::string log = ControlText(IDC_LOG);
    ClickAndWait(IDC_FLASH);
    Sleep(500);  // a job, had one started, would have sent its INQUIRY by now
    Expect(program.Journal("IOCTL").size() == commands, "Flash with nothing selected sent a command");
    ExpectEqual(ControlText(IDC_LOG), log, "log after Flash with nothing selected");
    Click(IDOK);
    ExpectExit(0);
  });

  Scenario("an image that cannot be read to its end sends nothing to the drive", [] {
    SetWindowsVersion("win7");
    std::string image = WriteImage("locked.bin", 3 * 40960 + 5);
    // Another process holds the third block locked: the first two read.
    SetInjectedFaults("read_lock=locked.bin@81920");
    Program &program = Start({CdDrive('d')});
    MainWindow();
    ChooseImage(image);
    size_t commands = program.Journal("IOCTL").size();
    Click(IDC_FLASH);
    WaitJobEnd("======== FAIL ========");
    ExpectEqual(ControlText(IDC_LOG), "Read File Error!\r\n \r\n======== FAIL ========\r\n \r\n", "log");
    WaitJournal(program, "READ", "at=81920");
    Expect(program.Journal("IOCTL").size() == commands, "the drive received a command from that job");
    Click(IDOK);
    ExpectExit(0);
  });

  Scenario("a flash holds off log-off and sleep until its outcome", [] {
    SetWindowsVersion("win7");
    VDrive d = CdDrive('d');
    d.delayMs = 150;
    Program &program = Start({d});
    MainWindow();
    ChooseImage(WriteImage("slow.bin", 6 * 40960));
    Expect(QueryEndSession() == TRUE, "log-off is allowed before the flash");
    Click(IDC_FLASH);
    WaitJournal(program, "BLOCK", "idx=01");
    Expect(QueryEndSession() == FALSE, "log-off must be refused during the flash");
    WaitJobEnd("======== SUCCEED ========");
    Expect(QueryEndSession() == TRUE, "log-off is allowed again after the outcome");

    // Awake from before the first command of the job until after its last.
    int raised = JournalIndex(program, "EXECSTATE", "flags=80000001");
    int inquiry = JournalIndex(program, "IOCTL", "cdb=12", raised < 0 ? 0 : raised);
    int flashed = JournalIndex(program, "FLASHED", "");
    int lowered = JournalIndex(program, "EXECSTATE", "flags=80000000", raised < 0 ? 0 : raised);
    Expect(raised >= 0 && inquiry > raised, "the execution state is raised before the job's INQUIRY");
    Expect(flashed > 0 && lowered > flashed, "the execution state is lowered after the last block");
    // The reason belongs to the window, so its own thread gives and drops it.
    std::string window = std::to_string(GetWindowThreadProcessId(MainWindow(), NULL));
    WaitJournal(program, "SHUTDOWNBLOCK",
                "create thread=" + window +
                    " reason=Drive firmware update in progress. Do not turn off the computer.");
    WaitJournal(program, "SHUTDOWNBLOCK", "destroy thread=" + window);
    Click(IDOK);
    ExpectExit(0);
  });
  return true;
}();

}  // namespace
