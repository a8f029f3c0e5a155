// The injected layer itself, proven with inject_probe.exe: if these fail,
// no scenario against the program can be trusted.
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <cstddef>

#include "e2e/e2e.h"

namespace {

// Sizes the probe hands over: a buffered INQUIRY for 100 bytes behind a
// header, a 4-byte filler and 32 sense bytes; the direct header likewise.
const size_t SENSE_OFFSET = sizeof(SCSI_PASS_THROUGH) + 4;
const size_t DATA_OFFSET = SENSE_OFFSET + 32;
struct DirectRequest {
  SCSI_PASS_THROUGH_DIRECT header;
  ULONG filler;
  UCHAR sense[32];
};

std::string ProbeReport(const char *revision, const char *block1) {
  return std::string("open d err=0\n") +
         "inquiry err=0 status=0 got=36 type=05 ident=PROBE   CD-RW ONE       1.00\n" +
         "block 00 err=0 status=0 sense=00/00\n" + block1 +
         "inquiry err=0 status=0 got=36 type=05 ident=PROBE   CD-RW ONE       " + revision + "\n" +
         "open e err=2\nexitwindows 1\n";
}

VDrive ProbeDrive() {
  VDrive d = CdDrive('d');
  d.vendor = "PROBE";
  d.product = "CD-RW ONE";
  d.newRevision = "9.99";
  return d;
}

const bool registered = [] {
  Scenario("injection: the probe reaches the virtual drive through both request forms", [] {
    std::string report = Scratch("probe.txt");
    Program &probe = StartTool("inject_probe.exe", {ProbeDrive(), HardDisk('c')}, "\"" + report + "\"");
    ExpectExit(probe, 0);
    ExpectEqual(FileText(report), ProbeReport("9.99", "block FF err=0 status=0 sense=00/00\n"),
                "what the probe got back");

    std::vector<JournalLine> ioctls = probe.Journal("IOCTL");
    Expect(ioctls.size() == 4, "expected 4 IOCTL lines, saw " + std::to_string(ioctls.size()));
    const JournalLine &inquiry = ioctls[0];
    ExpectEqual(inquiry.Field("in"), std::to_string(sizeof(SCSI_PASS_THROUGH)), "INQUIRY input size");
    ExpectEqual(inquiry.Field("out"), std::to_string(DATA_OFFSET + 100), "INQUIRY output size");
    ExpectEqual(inquiry.Field("dataoff"), std::to_string(DATA_OFFSET), "INQUIRY data offset");
    ExpectEqual(inquiry.Field("senseoff"), std::to_string(SENSE_OFFSET), "INQUIRY sense offset");
    ExpectEqual(inquiry.Field("cdb"), "12 00 00 00 64 00 00 00 00 00 00 00 00 00 00 00", "INQUIRY CDB");
    const JournalLine &last = ioctls[2];
    ExpectEqual(last.kind + " " + last.Field("in") + " " + last.Field("xfer") + " " +
                    last.Field("timeout") + " " + last.Field("dir") + " " + last.Field("buffer"),
                "IOCTL " + std::to_string(sizeof(DirectRequest)) + " 40960 100 0 set",
                "last block: input size, length, time-out, direction, buffer");
    Expect(last.text.find(" 4D014 ") != std::string::npos, "last block not direct: " + last.text);

    std::vector<JournalLine> blocks = probe.Journal("BLOCK");
    Expect(blocks.size() == 2 && blocks[0].text.find("idx=00") != std::string::npos &&
               blocks[1].text.find("idx=FF") != std::string::npos &&
               blocks[1].text.substr(blocks[1].text.size() - 2) == "ok",
           "blocks 00 and FF checked out");
    WaitJournal(probe, "FLASHED", "revision=9.99");
    WaitJournal(probe, "OPEN", "e access=C0000000 share=1 disp=3 flags=0 err=2");
    WaitJournal(probe, "CLOSE", "d");
    WaitJournal(probe, "EXITWINDOWS", "flags=2");
  });

  Scenario("injection: a Win32 error on block 1 reaches the caller; the drive keeps its revision", [] {
    VDrive d = ProbeDrive();
    d.failAt = 1;
    d.failError = 31;
    std::string report = Scratch("probe.txt");
    Program &probe = StartTool("inject_probe.exe", {d}, "\"" + report + "\"");
    ExpectExit(probe, 0);
    ExpectEqual(FileText(report), ProbeReport("1.00", "block FF err=31 status=0 sense=00/00\n"),
                "what the probe got back");
    Expect(probe.Journal("FLASHED").empty(), "a failed download must not flash");
  });
  return true;
}();

}  // namespace
