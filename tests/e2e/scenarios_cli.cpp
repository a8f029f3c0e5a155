// flashtool-cli.exe, the console program, under Wine: drives by letter and a
// flash through the same injected virtual drives as the window's.
#include "e2e/e2e.h"

namespace {

const bool registered = [] {
  Scenario("flashtool-cli.exe lists drives by letter and flashes D: with --yes", [] {
    SetWindowsVersion("win7");
    VDrive g = CdDrive('g');
    g.vendor = "ABCD";
    g.product = "DVD-RW 5678";
    g.revision = "B2";
    VDrive d = CdDrive('d');
    d.bus = "usb";
    Program &list = StartConsoleTool("flashtool-cli.exe", {HardDisk('c'), d, g}, "list --header");
    ExpectExit(list, 0);
    ExpectEqual(OutputOf(list),
                "DEVICE  BUS    VENDOR    PRODUCT           REVISION\r\n"
                "D:      usb    QUOR      VIRTUAL CD-RW     1.00\r\n"
                "G:      -      ABCD      DVD-RW 5678       B2\r\n",
                "flashtool list");

    std::string image = WriteImage("cli.bin", 40961);
    // What Windows calls a letter comes before any word about rights.
    Program &disk = StartConsoleTool("flashtool-cli.exe", {HardDisk('c')}, "flash c: \"" + image + "\" --yes");
    ExpectExit(disk, 3);
    Expect(OutputOf(disk).find("C: no CD/DVD drive: Windows calls it a fixed disk") != std::string::npos,
           "a fixed disk said so: " + Escaped(OutputOf(disk)));
    // A refusal in the same words as on Linux, from sg3_utils' tables.
    VDrive refusing = CdDrive('d');
    refusing.failAt = 0;
    refusing.checkCondition = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00};
    Program &refused = StartConsoleTool("flashtool-cli.exe", {refusing}, "flash d: \"" + image + "\" --yes");
    ExpectExit(refused, 6);
    Expect(OutputOf(refused).find("block 00 (1 of the image) failed: SCSI status 02h (Check Condition), sense key 5 "
                                  "(Illegal Request), ASC 24h, ASCQ 00h: Invalid field in cdb") != std::string::npos,
           "Linux's words: " + Escaped(OutputOf(refused)));
    Program &none = StartConsoleTool("flashtool-cli.exe", {CdDrive('d')}, "info q:");
    ExpectExit(none, 4);
    Expect(OutputOf(none).find("Q: no such drive") != std::string::npos,
           "a letter that is not there: " + Escaped(OutputOf(none)));
    Program &flash = StartConsoleTool("flashtool-cli.exe", {CdDrive('d')},
                                      "flash d: \"" + image + "\" --yes --ready-timeout 5");
    ExpectExit(flash, 0, 60000);
    std::string output = OutputOf(flash);
    for (const char *line : {"Drive:  D:  QUOR VIRTUAL CD-RW, firmware 1.00\r\n",
                             "Written 2 of 2 blocks (100%), 40961 of 40961 bytes, ", "Flashed: the drive took all 2 blocks.\r\n",
                             "Drive:  D:  QUOR VIRTUAL CD-RW, firmware 2.00\r\n",
                             "flashed D: firmware 1.00 -> 2.00 in "})
      Expect(output.find(line) != std::string::npos, "no \"" + Escaped(line) + "\" in " + Escaped(output));
    std::vector<JournalLine> blocks = flash.Journal("BLOCK");
    Expect(blocks.size() == 2 && blocks[1].Field("idx") == "FF" &&
               blocks[1].text.find(" ok") != std::string::npos,
           "blocks 00 and FF checked out");
    bool direct = false;
    for (const JournalLine &line : flash.Journal("IOCTL"))
      direct |= line.Field("cdb").compare(0, 2, "55") == 0 && line.text.find(" 4D014 ") != std::string::npos &&
                line.Field("timeout") == "100";
    Expect(direct, "the blocks went by direct pass-through with 100 s to answer");

    // The other ways to write drive D reach it too, each named D: as
    // Windows names it; a refusal after the drive said what it is shows
    // that it was opened.
    for (const char *device : {"D:\\", "\\\\.\\D:"}) {
      Program &named = StartConsoleTool("flashtool-cli.exe", {CdDrive('d')},
                                        std::string("flash ") + device + " \"" + image +
                                            "\" --yes --expect \"OTHER DRIVE\"");
      ExpectExit(named, 3);
      std::string said = OutputOf(named);
      Expect(said.find("Drive:  D:  QUOR VIRTUAL CD-RW") != std::string::npos,
             std::string(device) + " names drive D: " + Escaped(said));
    }
  });

  Scenario("flashtool-cli.exe list says a CD/DVD drive needs administrator rights", [] {
    SetWindowsVersion("win7");
    SetInjectedFaults("deny_open=e");
    Program &list = StartConsoleTool("flashtool-cli.exe", {HardDisk('c')}, "list --json");
    ExpectExit(list, 4);
    std::string output = OutputOf(list);
    Expect(output.find("\"device\": \"E:\"") != std::string::npos &&
               output.find("administrator rights are needed") != std::string::npos,
           "E: and why it cannot be listed, in " + Escaped(output));
  });
  return true;
}();

}  // namespace
