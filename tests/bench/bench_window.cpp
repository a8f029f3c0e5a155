// The benchmark of the Windows program: FlashTool.exe flashing a full
// 256-block image into a virtual drive that answers at once, against
// bare_flash.exe doing the least a flasher can do through the same drive,
// in one Wine session, rounds taken in turn. Each round is timed by the
// drive itself, from the arrival of the first block to that of the last.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "e2e/e2e.h"

namespace {

const int ROUNDS = 5;
const size_t IMAGE_SIZE = 256 * 40960;

// The drive's own time for the download, in milliseconds. Both programs are
// waited for the same way, by the drive's journal, so that the driver asks
// nothing of either while it flashes.
double DriveTime(Program &program) {
  // Seldom: every look at the journal takes the processor from the flash.
  for (int i = 0; i < 480 && program.Journal("FLASHED").empty(); ++i) Sleep(250);
  JournalLine flashed = WaitJournal(program, "FLASHED");
  Expect(flashed.Field("blocks") == "256", "a whole download: " + flashed.text);
  return atof(flashed.Field("us").c_str()) / 1000.0;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void Report(const char *what, const std::vector<double> &rounds) {
  printf("%-14s", what);
  for (double ms : rounds) printf(" %8.1f", ms);
  printf("   median %8.1f ms\n", Median(rounds));
}

const bool registered = [] {
  Scenario("benchmark: FlashTool.exe against a bare loop, 256 blocks", [] {
    SetWindowsVersion("win7");
    // The drive writes no line per command and reads its settings once.
    SetEnvironmentVariableA("FLASHTOOL_VDRIVE_QUIET", "1");
    std::string image = WriteImage("bench.bin", IMAGE_SIZE);
    std::vector<double> program, bare;
    for (int round = 0; round < ROUNDS; ++round) {
      Program &flasher = Start({CdDrive('d')});
      MainWindow();
      ChooseImage(image);
      Click(IDC_FLASH);
      program.push_back(DriveTime(flasher));
      WaitJobEnd("======== SUCCEED ========", 120000);
      Click(IDOK);
      ExpectExit(flasher, 0);

      Program &loop = StartTool("bare_flash.exe", {CdDrive('d')}, "\"" + image + "\" d");
      bare.push_back(DriveTime(loop));
      ExpectExit(loop, 0, 120000);
    }
    SetEnvironmentVariableA("FLASHTOOL_VDRIVE_QUIET", NULL);
    Report("FlashTool.exe", program);
    Report("bare loop", bare);
    printf("ratio %.2f\n", Median(program) / Median(bare));
  });
  return true;
}();

}  // namespace
