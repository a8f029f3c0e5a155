// Pass-through requests and the drive-letter scan, with DeviceIoControl,
// CreateFileA and CloseHandle of this test program replaced in its import
// table by recorders.
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/device_list.h"
#include "discovery/letter_scan.h"
#include "main_window_fixture.h"
#include "transport/passthrough.h"
#include "support/iat_patch.h"

namespace {

struct Call {
  DWORD code, inSize, outSize;
  std::vector<BYTE> request;  // as handed in
};

std::vector<Call> Calls;
std::vector<HANDLE> Closed;
std::vector<std::string> Opened;
DWORD FailWith;          // last error of a failing call; 0: succeed
UCHAR AnswerStatus;      // SCSI status a successful call leaves
std::string CdLetters;   // letters whose volume is a CD/DVD drive
std::string DiskLetters; // letters with a hard disk

HANDLE FakeHandle(char letter) { return (HANDLE)(INT_PTR)(0x1000 + letter); }

BOOL WINAPI RecordIoControl(HANDLE drive, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                            DWORD outSize, LPDWORD returned, LPOVERLAPPED) {
  Calls.push_back({code, inSize, outSize, std::vector<BYTE>((BYTE *)in, (BYTE *)in + inSize)});
  if (FailWith != 0) {
    SetLastError(FailWith);
    return FALSE;
  }
  SCSI_PASS_THROUGH *header = (SCSI_PASS_THROUGH *)out;
  header->ScsiStatus = AnswerStatus;
  if (code == IOCTL_SCSI_PASS_THROUGH && header->Cdb[0] == 0x12) {
    char letter = (char)((INT_PTR)drive - 0x1000);
    BYTE *data = (BYTE *)out + header->DataBufferOffset;
    // G: answers with its qualifier bits set (25h): the scan looks at the
    // device type alone, since Windows already made the letter a CD/DVD volume.
    data[0] = CdLetters.find(letter) == std::string::npos ? 0x00 : letter == 'g' ? 0x25 : 0x05;
    memcpy(data + 8, "VENDOR  PRODUCT NAME    1.23", 28);
    data[35] = (BYTE)letter;
  }
  *returned = outSize;
  return TRUE;
}

HANDLE WINAPI RecordCreateFile(LPCSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  Opened.push_back(path);
  char letter = path[4];
  if (strlen(path) == 6 && (CdLetters + DiskLetters).find(letter) != std::string::npos)
    return FakeHandle(letter);
  SetLastError(ERROR_FILE_NOT_FOUND);
  return INVALID_HANDLE_VALUE;
}

typedef BOOL(WINAPI *CloseHandleProc)(HANDLE);
CloseHandleProc RealCloseHandle;

bool IsFake(HANDLE handle) { return (INT_PTR)handle >= 0x1000 + 'a' && (INT_PTR)handle <= 0x1000 + 'z'; }

// Other code of this process closes real handles meanwhile.
BOOL WINAPI RecordCloseHandle(HANDLE handle) {
  if (!IsFake(handle)) return RealCloseHandle(handle);
  Closed.push_back(handle);
  return TRUE;
}

class PassThroughTest : public MainWindowTest {
 protected:
  void SetUp() override {
    MainWindowTest::SetUp();
    Calls.clear();
    Closed.clear();
    Opened.clear();
    FailWith = 0;
    AnswerStatus = 0;
    CdLetters = "dg";
    DiskLetters = "c";
    TheDriveTable.count = 0;
    ioControl = PatchImport(GetModuleHandleA(NULL), "kernel32.dll", "DeviceIoControl", (void *)RecordIoControl);
    createFile = PatchImport(GetModuleHandleA(NULL), "kernel32.dll", "CreateFileA", (void *)RecordCreateFile);
    closeHandle = PatchImport(GetModuleHandleA(NULL), "kernel32.dll", "CloseHandle", (void *)RecordCloseHandle);
    RealCloseHandle = (CloseHandleProc)closeHandle;
  }
  void TearDown() override {
    PatchImport(GetModuleHandleA(NULL), "kernel32.dll", "DeviceIoControl", ioControl);
    PatchImport(GetModuleHandleA(NULL), "kernel32.dll", "CreateFileA", createFile);
    PatchImport(GetModuleHandleA(NULL), "kernel32.dll", "CloseHandle", closeHandle);
    TheDriveTable.count = 0;
    MainWindowTest::TearDown();
  }
  void *ioControl, *createFile, *closeHandle;
};

std::vector<BYTE> Bytes(const std::vector<BYTE> &from, size_t offset, size_t count) {
  return std::vector<BYTE>(from.begin() + offset, from.begin() + offset + count);
}

TEST_F(PassThroughTest, BufferedInquiryHandsInTheHeaderAndTakesBackHeaderAndData) {
  static PassThroughBuffer request;
  ZeroMemory(&request, sizeof request);
  request.header.Cdb[0] = 0x12;
  request.header.Cdb[4] = 100;
  EXPECT_EQ(0u, PassThroughBuffered(FakeHandle('d'), &request, SCSI_IOCTL_DATA_IN, 100));
  ASSERT_EQ(1u, Calls.size());
  EXPECT_EQ((DWORD)IOCTL_SCSI_PASS_THROUGH, Calls[0].code);
  EXPECT_EQ(sizeof(SCSI_PASS_THROUGH), Calls[0].inSize);
  EXPECT_EQ(100 + offsetof(PassThroughBuffer, data), Calls[0].outSize);
  const SCSI_PASS_THROUGH &sent = *(const SCSI_PASS_THROUGH *)Calls[0].request.data();
  EXPECT_EQ(sizeof(SCSI_PASS_THROUGH), sent.Length);
  EXPECT_EQ(1, sent.TargetId);
  EXPECT_EQ(12, sent.CdbLength);
  EXPECT_EQ(24, sent.SenseInfoLength);
  EXPECT_EQ(1, sent.DataIn);
  EXPECT_EQ(100u, sent.DataTransferLength);
  EXPECT_EQ(2u, sent.TimeOutValue);
  EXPECT_EQ(offsetof(PassThroughBuffer, data), sent.DataBufferOffset);
  EXPECT_EQ(offsetof(PassThroughBuffer, sense), sent.SenseInfoOffset);
  EXPECT_EQ((std::vector<BYTE>{0x12, 0, 0, 0, 0x64, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
            std::vector<BYTE>(sent.Cdb, sent.Cdb + 16));
#ifndef _WIN64
  EXPECT_EQ(44u, Calls[0].inSize);
  EXPECT_EQ(180u, Calls[0].outSize);
#endif
}

TEST_F(PassThroughTest, DownloadBlockGoesDirectWithTheExactCommand) {
  static BYTE block[40960];
  PassThroughLink link(FakeHandle('d'));
  EXPECT_TRUE(link.Run(DownloadCommand(0xFF, 0x0126, block)).Succeeded());
  ASSERT_EQ(1u, Calls.size());
  EXPECT_EQ((DWORD)IOCTL_SCSI_PASS_THROUGH_DIRECT, Calls[0].code);
  EXPECT_EQ(sizeof(PassThroughDirectBlock), Calls[0].inSize);
  EXPECT_EQ(sizeof(PassThroughDirectBlock), Calls[0].outSize);
  const SCSI_PASS_THROUGH_DIRECT &sent = *(const SCSI_PASS_THROUGH_DIRECT *)Calls[0].request.data();
  EXPECT_EQ(0, sent.DataIn);
  EXPECT_EQ(40960u, sent.DataTransferLength);
  EXPECT_EQ(100u, sent.TimeOutValue);
  EXPECT_EQ(12, sent.CdbLength);
  EXPECT_EQ(block, sent.DataBuffer);
  EXPECT_EQ((std::vector<BYTE>{0x55, 0x00, 0x2B, 0x41, 0x50, 0x49, 0xFF, 0xA0, 0x00, 0x01, 0x26, 0x00, 0, 0, 0, 0}),
            std::vector<BYTE>(sent.Cdb, sent.Cdb + 16));
  EXPECT_EQ((std::vector<BYTE>(32, 0)), Bytes(Calls[0].request, offsetof(PassThroughDirectBlock, sense), 32));
#ifndef _WIN64
  EXPECT_EQ(80u, Calls[0].inSize);
#endif

  Calls.clear();
  link.Run(DownloadCommand(0x00, 0x00FF, block));
  EXPECT_EQ((std::vector<BYTE>{0x00, 0xA0, 0x00, 0x00, 0xFF}),
            Bytes(Calls[0].request, offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) + 6, 5));
}

TEST_F(PassThroughTest, ErrorCodeComesBackAndScsiStatusStaysWithTheCaller) {
  static PassThroughBuffer request;
  ZeroMemory(&request, sizeof request);
  FailWith = 5;
  EXPECT_EQ(5u, PassThroughBuffered(FakeHandle('d'), &request, SCSI_IOCTL_DATA_IN, 100));
  PassThroughDirectBlock direct = {};
  EXPECT_EQ(5u, PassThroughDirect(FakeHandle('d'), &direct, SCSI_IOCTL_DATA_OUT, NULL, 0));
  FailWith = 0;
  AnswerStatus = 2;
  EXPECT_EQ(0u, PassThroughBuffered(FakeHandle('d'), &request, SCSI_IOCTL_DATA_IN, 100));
  EXPECT_EQ(2, request.header.ScsiStatus);

  // What the flash sequence judges: the error, else the drive's status.
  static BYTE block[40960];
  PassThroughLink link(FakeHandle('d'));
  CommandResult refused = link.Run(DownloadCommand(0x00, 0, block));
  EXPECT_EQ(CommandResult::DONE, refused.kind);
  EXPECT_EQ(2, refused.scsiStatus);
  FailWith = 5;
  CommandResult failed = link.Run(DownloadCommand(0x00, 0, block));
  EXPECT_EQ(CommandResult::SYSTEM_ERROR, failed.kind);
  EXPECT_EQ(5u, failed.systemError);
}

TEST_F(PassThroughTest, CloseDriveHandlesClosesExactlyTheCountInOrder) {
  DriveTable table = {};
  CloseDriveHandles(table);
  EXPECT_TRUE(Closed.empty());
  table.count = 3;
  for (int i = 0; i < 4; ++i) table.records[i].handle = FakeHandle((char)('d' + i));
  CloseDriveHandles(table);
  EXPECT_EQ((std::vector<HANDLE>{FakeHandle('d'), FakeHandle('e'), FakeHandle('f')}), Closed);
  EXPECT_EQ(3, table.count);
}

TEST_F(PassThroughTest, ScanKeepsCdDrivesInLetterOrderWithTheirLabels) {
  EXPECT_EQ(2, FillDriveEntries());
  EXPECT_EQ(24u, Opened.size());
  EXPECT_EQ("\\\\.\\c:", Opened.front());
  EXPECT_EQ("\\\\.\\z:", Opened.back());
  EXPECT_EQ(std::vector<HANDLE>{FakeHandle('c')}, Closed) << "the hard disk is closed again";
  EXPECT_EQ('d', TheDriveTable.records[0].letter);
  EXPECT_EQ('g', TheDriveTable.records[1].letter);
  HWND list = GetDlgItem(window, IDC_DEVICE_LIST);
  char text[128];
  SendMessageA(list, LB_GETTEXT, 1, (LPARAM)text);
  EXPECT_STREQ(" \xb8\xcb\xb8\x6d\xa1\x47 VENDOR  PRODUCT NAME              \xb0\x62\xc5\xe9\xaa\xa9\xa5\xbb\xa1\x47 1.2g",
               text);
  EXPECT_EQ(1, SendMessageA(list, LB_GETITEMDATA, 1, 0));

  // A second scan closes the first scan's handles before it opens anything.
  Closed.clear();
  Opened.clear();
  EXPECT_EQ(2, FillDriveEntries());
  EXPECT_EQ(FakeHandle('d'), Closed[0]);
  EXPECT_EQ(FakeHandle('g'), Closed[1]);
}

}  // namespace
