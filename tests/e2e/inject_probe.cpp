// inject_probe.exe REPORT: a stand-in for the program under test that makes
// the calls the program makes (open a volume, INQUIRY through the buffered
// request, a two-block download through the direct request, close, restart)
// and writes what came back to REPORT, so a scenario can compare both sides
// of the injected layer.
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <cstddef>
#include <cstdio>
#include <vector>

namespace {

FILE *Report;

struct Buffered {
  SCSI_PASS_THROUGH header;
  ULONG filler;
  UCHAR sense[32];
  UCHAR data[2048];
};

struct Direct {
  SCSI_PASS_THROUGH_DIRECT header;
  ULONG filler;
  UCHAR sense[32];
};

void Inquiry(HANDLE drive) {
  Buffered b = {};
  b.header.Length = sizeof b.header;
  b.header.TargetId = 1;
  b.header.CdbLength = 12;
  b.header.SenseInfoLength = 24;
  b.header.DataIn = SCSI_IOCTL_DATA_IN;
  b.header.DataTransferLength = 100;
  b.header.TimeOutValue = 2;
  b.header.DataBufferOffset = offsetof(Buffered, data);
  b.header.SenseInfoOffset = offsetof(Buffered, sense);
  b.header.Cdb[0] = 0x12;
  b.header.Cdb[4] = 100;
  DWORD returned = 0;
  BOOL ok = DeviceIoControl(drive, IOCTL_SCSI_PASS_THROUGH, &b, sizeof b.header, &b,
                            offsetof(Buffered, data) + 100, &returned, NULL);
  fprintf(Report, "inquiry err=%lu status=%u got=%lu type=%02X ident=%.28s\n",
          ok ? 0 : GetLastError(), b.header.ScsiStatus, b.header.DataTransferLength, b.data[0],
          (const char *)b.data + 8);
}

void Download(HANDLE drive, int blocks) {
  std::vector<UCHAR> data(40960);
  USHORT sum = 0;
  for (int i = 0; i < blocks; ++i) {
    for (size_t j = 0; j < data.size(); ++j) sum += data[j] = (UCHAR)(i + j);
    Direct d = {};
    d.header.Length = sizeof d.header;
    d.header.TargetId = 1;
    d.header.CdbLength = 12;
    d.header.SenseInfoLength = 24;
    d.header.DataIn = SCSI_IOCTL_DATA_OUT;
    d.header.DataTransferLength = 40960;
    d.header.TimeOutValue = 100;
    d.header.DataBuffer = data.data();
    d.header.SenseInfoOffset = offsetof(Direct, sense);
    const UCHAR cdb[12] = {0x55, 0x00, 0x2B, 0x41, 0x50, 0x49,
                           (UCHAR)(i + 1 == blocks ? 0xFF : i), 0xA0, 0x00,
                           (UCHAR)(sum >> 8), (UCHAR)sum, 0x00};
    memcpy(d.header.Cdb, cdb, sizeof cdb);
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(drive, IOCTL_SCSI_PASS_THROUGH_DIRECT, &d, sizeof d, &d, sizeof d,
                              &returned, NULL);
    fprintf(Report, "block %02X err=%lu status=%u sense=%02X/%02X\n", cdb[6],
            ok ? 0 : GetLastError(), d.header.ScsiStatus, d.sense[2], d.sense[12]);
  }
}

HANDLE Open(char letter) {
  char path[8];
  snprintf(path, sizeof path, "\\\\.\\%c:", letter);
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                         0, NULL);
  fprintf(Report, "open %c err=%lu\n", letter, h == INVALID_HANDLE_VALUE ? GetLastError() : 0);
  return h;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2 || (Report = fopen(argv[1], "wb")) == NULL) return 2;
  HANDLE d = Open('d');
  if (d != INVALID_HANDLE_VALUE) {
    Inquiry(d);
    Download(d, 2);
    Inquiry(d);
    CloseHandle(d);
  }
  Open('e');
  fprintf(Report, "exitwindows %d\n", ExitWindowsEx(EWX_REBOOT, 0) ? 1 : 0);
  fclose(Report);
  return 0;
}
