// ASPI for Win32 request blocks and values, written from their documented
// byte offsets. Shared with the virtual ASPI layer of the tests.
#ifndef FLASHTOOL_TRANSPORT_ASPI_SRB_H
#define FLASHTOOL_TRANSPORT_ASPI_SRB_H

#include <windows.h>

#include <cstddef>

enum {
  SC_HA_INQUIRY = 0,
  SC_GET_DEV_TYPE = 1,
  SC_EXEC_SCSI_CMD = 2,

  SS_PENDING = 0,
  SS_COMP = 1,

  SRB_DIR_IN = 0x08,
  SRB_DIR_OUT = 0x10,
  SRB_EVENT_NOTIFY = 0x40,

  ASPI_CDB_SIZE = 16,
  ASPI_SENSE_SIZE = 16,       // the published sense area
  FLASH_SENSE_SIZE = 24,      // what the flash request asks of the drive
  DIAGNOSTIC_SENSE_LENGTH = 14,
  UNIT_ATTENTION = 6,
  CD_ROM_DEVICE_TYPE = 5
};

#pragma pack(push, 1)

// The execute request; the flash request carries a longer sense area.
template <int SenseSize>
struct SRB_ExecSCSICmdOf {
  BYTE SRB_Cmd;
  BYTE SRB_Status;
  BYTE SRB_HaId;
  BYTE SRB_Flags;
  DWORD SRB_Hdr_Rsvd;
  BYTE SRB_Target;
  BYTE SRB_Lun;
  WORD SRB_Rsvd1;
  DWORD SRB_BufLen;
  BYTE *SRB_BufPointer;
  BYTE SRB_SenseLen;
  BYTE SRB_CDBLen;
  BYTE SRB_HaStat;
  BYTE SRB_TargStat;
  HANDLE SRB_PostProc;  // the completion event with SRB_EVENT_NOTIFY
  BYTE SRB_Rsvd2[20];
  BYTE CDBByte[ASPI_CDB_SIZE];
  BYTE SenseArea[SenseSize];
};

typedef SRB_ExecSCSICmdOf<ASPI_SENSE_SIZE> SRB_ExecSCSICmd;
typedef SRB_ExecSCSICmdOf<FLASH_SENSE_SIZE> SRB_ExecSCSICmdFlash;

struct SRB_HAInquiry {
  BYTE SRB_Cmd;
  BYTE SRB_Status;
  BYTE SRB_HaId;
  BYTE SRB_Flags;
  DWORD SRB_Hdr_Rsvd;
  BYTE HA_Count;
  BYTE HA_SCSI_ID;
  BYTE HA_ManagerId[16];
  BYTE HA_Identifier[16];
  BYTE HA_Unique[16];  // byte 3: the adapter's maximum number of targets
  WORD HA_Rsvd1;
};

struct SRB_GDEVBlock {
  BYTE SRB_Cmd;
  BYTE SRB_Status;
  BYTE SRB_HaId;
  BYTE SRB_Flags;
  DWORD SRB_Hdr_Rsvd;
  BYTE SRB_Target;
  BYTE SRB_Lun;
  BYTE SRB_DeviceType;
  BYTE SRB_Rsvd1;
};

#pragma pack(pop)

#ifndef _WIN64
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Flags) == 3, "flags");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Target) == 8, "target");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufLen) == 12, "buffer length");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufPointer) == 16, "buffer");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_SenseLen) == 20, "sense length");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_TargStat) == 23, "target status");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_PostProc) == 24, "completion event");
static_assert(offsetof(SRB_ExecSCSICmd, CDBByte) == 48, "CDB");
static_assert(offsetof(SRB_ExecSCSICmd, SenseArea) == 64, "sense area");
static_assert(sizeof(SRB_ExecSCSICmd) == 80, "published execute request");
static_assert(sizeof(SRB_ExecSCSICmdFlash) == 88, "flash request");
#endif
static_assert(offsetof(SRB_HAInquiry, HA_Count) == 8, "adapter count");
static_assert(offsetof(SRB_HAInquiry, HA_Identifier) == 26, "adapter identifier");
static_assert(offsetof(SRB_HAInquiry, HA_Unique) == 42, "adapter unique");
static_assert(sizeof(SRB_HAInquiry) == 60, "adapter inquiry");
static_assert(offsetof(SRB_GDEVBlock, SRB_DeviceType) == 10, "device type");
static_assert(sizeof(SRB_GDEVBlock) == 12, "device type query");

// The entry points, all cdecl as ASPI for Win32 publishes them.
typedef DWORD(__cdecl *GetASPI32SupportInfoProc)(void);
typedef DWORD(__cdecl *SendASPI32CommandProc)(void *request);
typedef BOOL(__cdecl *GetASPI32BufferProc)(void *buffer);
typedef BOOL(__cdecl *FreeASPI32BufferProc)(void *buffer);
typedef BOOL(__cdecl *TranslateASPI32AddressProc)(DWORD *path, DWORD *devnode);

#endif
