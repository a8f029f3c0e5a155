// The ASPI for Win32 route (Windows 98 and ME): binding WNASPI32 and
// executing SCSI commands through it.
#ifndef FLASHTOOL_SCSI_ASPI_H
#define FLASHTOOL_SCSI_ASPI_H

#include <windows.h>

#include <cstdint>
#include <initializer_list>

#include "scsi/aspi_srb.h"

struct AspiDeviceNode;

struct AspiBindingTable {
  HMODULE module;
  GetASPI32SupportInfoProc getSupportInfo;
  SendASPI32CommandProc sendCommand;
  GetASPI32BufferProc getBuffer;
  FreeASPI32BufferProc freeBuffer;
  TranslateASPI32AddressProc translateAddress;  // optional
};

extern AspiBindingTable AspiBinding;
extern SRB_ExecSCSICmdFlash FlashRequestBlock;

enum { CDB_VALUES_END = -1 };

int BindAspi();
void ShowAspiStartupError(DWORD errorCode, DWORD aspiStatus);
void UnbindAspi();

// The flash job's one shared request: prepare, optionally attach data, execute.
// The values stop at CDB_VALUES_END or after `cdbLength` of them.
void PrepareFlashRequest(int cdbLength, std::initializer_list<int> values);
void SetFlashRequestBuffer(void *data, DWORD length, BYTE flags);
BYTE ExecuteFlashRequest(const AspiDeviceNode *node);
BYTE AspiWriteBlock(uint8_t index, uint16_t checksum, void *data, uint32_t length,
                    const AspiDeviceNode *node);

// Executes a command once more unless the drive reported UNIT ATTENTION, and
// shows the command failure dialog when it fails for good. 1 on success.
int ExecuteWithDiagnostics(const AspiDeviceNode *node, BYTE flags, DWORD bufferLength,
                           void *buffer, int cdbLength, const BYTE *cdb);

#endif
