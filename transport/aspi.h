// The ASPI for Win32 route (Windows 98 and ME): binding WNASPI32, executing
// SCSI commands through it, and the drive link over it.
#ifndef FLASHTOOL_TRANSPORT_ASPI_H
#define FLASHTOOL_TRANSPORT_ASPI_H

#include <windows.h>

#include <cstdint>
#include <initializer_list>

#include "core/scsi.h"
#include "transport/aspi_srb.h"

// The loaded layer and its entry points; each is null when the library
// lacks it.
struct AspiLayer {
  HMODULE module;
  GetASPI32SupportInfoProc getSupportInfo;
  SendASPI32CommandProc sendCommand;
  GetASPI32BufferProc getBuffer;
  FreeASPI32BufferProc freeBuffer;
  TranslateASPI32AddressProc translateAddress;  // optional
};

enum { CDB_VALUES_END = -1 };

// Loads WNASPI32 and looks up its entry points: 1 when ASPI is ready.
// Otherwise 0, with the load error in `errorCode` (1157 when an entry
// point it needs is missing) and the support status in `aspiStatus`. The
// library stays loaded after a failure; ReleaseAspiLayer frees it.
int LoadAspiLayer(AspiLayer &layer, DWORD *errorCode, DWORD *aspiStatus);
void ReleaseAspiLayer(AspiLayer &layer);

// The flash job's request: prepare, optionally attach data, execute.
// The values stop at CDB_VALUES_END or after `cdbLength` of them.
void PrepareFlashRequest(SRB_ExecSCSICmdFlash &request, int cdbLength,
                         std::initializer_list<int> values);
void SetFlashRequestBuffer(SRB_ExecSCSICmdFlash &request, void *data, DWORD length, BYTE flags);
BYTE ExecuteFlashRequest(const AspiLayer &layer, SRB_ExecSCSICmdFlash &request,
                         BYTE hostAdapterId, BYTE targetId);

// Shows a command that failed for good; the window's failure dialog.
class AspiFailureReporter {
 public:
  virtual ~AspiFailureReporter() = default;
  virtual void CommandFailed(const SRB_ExecSCSICmd &request) = 0;
};

// Executes a command once more unless the drive reported UNIT ATTENTION, and
// reports it when it fails for good. 1 on success.
int ExecuteWithDiagnostics(const AspiLayer &layer, BYTE hostAdapterId, BYTE targetId, BYTE flags,
                           DWORD bufferLength, void *buffer, int cdbLength, const BYTE *cdb,
                           AspiFailureReporter &reporter);

// The drive link to one target. Every command goes through one request of
// the link's own, without a retry; preparing for a flash sends TEST UNIT
// READY twice and asks the drive to stop, whatever they answer.
class AspiLink : public DriveLink {
 public:
  AspiLink(const AspiLayer &layer, BYTE hostAdapterId, BYTE targetId)
      : layer_(layer), hostAdapterId_(hostAdapterId), targetId_(targetId) {}
  CommandResult PrepareForFlash() override;

 protected:
  CommandResult Perform(const ScsiCommand &command) override;


 private:
  BYTE Execute() { return ExecuteFlashRequest(layer_, request_, hostAdapterId_, targetId_); }
  const AspiLayer &layer_;
  BYTE hostAdapterId_, targetId_;
  SRB_ExecSCSICmdFlash request_;
};

#endif
