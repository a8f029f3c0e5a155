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

void ChooseImage(const std::string &path) {
  Click(IDC_BROWSE);
  FileDialog dialog = OpenFileDialog("Open Flash Image");
  dialog.Choose(path);
  WaitUntil("the chosen path in the image list", [&](std::string *seen) {
    std::vector<std::string> entries = ListEntries(IDC_IMAGE_PATH);
    *seen = entries.empty() ? "(empty)" : entries[0];
    return entries.size() == 1 && entries[0] == path;
  });
}

LRESULT AskMain(int id, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
  return SendMessageA(GetDlgItem(MainWindow(), id), message, wParam, lParam);
}

void ExpectControlsEnabled() {
  for (int id : {IDC_DEVICE_LIST, IDC_FLASH, IDC_BROWSE, IDOK})
    WaitUntil("control " + std::to_string(id) + " enabled again",
              [&](std::string *) { return IsWindowEnabled(GetDlgItem(MainWindow(), id)) != 0; });
}

std::vector<JournalLine> Downloads(Program &program) {
  std::vector<JournalLine> downloads;
  for (const JournalLine &line : program.Journal("IOCTL"))
    if (line.Field("cdb").compare(0, 2, "55") == 0) downloads.push_back(line);
  return downloads;
}

// Starts with drive d and flashes `image`; answers when the log ends with `tail`.
Program &FlashOnD(const VDrive &drive, const std::string &image, const std::string &tail) {
  SetWindowsVersion("win7");
  Program &program = Start({drive});
  MainWindow();
  ChooseImage(image);
  Click(IDC_FLASH);
  WaitLogEndsWith(tail);
  ExpectControlsEnabled();
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
    Expect(AskMain(IDC_DEVICE_LIST, LB_GETCURSEL) == 0, "entry 0 is selected");
    Expect(AskMain(IDC_DEVICE_LIST, LB_GETITEMDATA, 1) == 1, "entry 1 carries its table row");
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
    dialog.Choose(image);
    WaitUntil("the chosen path", [&](std::string *) { return ListEntries(IDC_IMAGE_PATH) == std::vector<std::string>{image}; });

    Click(IDC_FLASH);
    WaitLogEndsWith("======== SUCCEED ========");
    ExpectControlsEnabled();
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
    LRESULT top = AskMain(IDC_COLOR_SINK, PBM_GETRANGE, FALSE);
    Expect(top > 0 && AskMain(IDC_COLOR_SINK, PBM_GETPOS) == top, "the progress bar ends full");
    ExpectControlsEnabled();

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
    WaitLogEndsWith("Image file is too large!");
    ExpectControlsEnabled();
    ExpectEqual(ControlText(IDC_LOG), "Image file is empty!\r\nImage file is too large!\r\n", "log");
    Expect(Downloads(program).empty(), "no download command reached the drive");
    Click(IDOK);
    ExpectExit(0);
  });

  Scenario("a device change rebuilds the list at the next tick and selects entry 0", [] {
    SetWindowsVersion("win7");
    Program &program = Start({CdDrive('d'), CdDrive('e')});
    MainWindow();
    AskMain(IDC_DEVICE_LIST, LB_SETCURSEL, 1);
    size_t opens = program.Journal("OPEN").size();
    // A volume arrival, with its data: a notification from another process
    // must carry them.
    DEV_BROADCAST_VOLUME volume = {sizeof volume, DBT_DEVTYP_VOLUME, 0, 1u << ('e' - 'a'), 0};
    DWORD_PTR answer = 0;
    SendMessageTimeoutA(MainWindow(), WM_DEVICECHANGE, DBT_DEVICEARRIVAL, (LPARAM)&volume, SMTO_NORMAL,
                        5000, &answer);
    Expect(answer == TRUE, "WM_DEVICECHANGE is answered TRUE");
    WaitUntil("a rebuild that selects entry 0", [&](std::string *seen) {
      *seen = "selection " + std::to_string(AskMain(IDC_DEVICE_LIST, LB_GETCURSEL));
      return program.Journal("OPEN").size() > opens && AskMain(IDC_DEVICE_LIST, LB_GETCURSEL) == 0;
    });
    Click(IDOK);
    ExpectExit(0);
  });
  return true;
}();

}  // namespace
