#include "discovery/aspi_walk.h"

#include <cstring>

enum { DEFAULT_MAX_TARGETS = 8, WIDE_MAX_TARGETS = 16 };

// Answers the adapter's maximum number of targets, 0 when it does not answer.
static int InquireAdapter(const AspiLayer &layer, BYTE adapter) {
  SRB_HAInquiry inquiry;
  ZeroMemory(&inquiry, sizeof inquiry);
  inquiry.SRB_Cmd = SC_HA_INQUIRY;
  inquiry.SRB_HaId = adapter;
  layer.sendCommand(&inquiry);
  if (inquiry.SRB_Status != SS_COMP) return 0;
  int maxTargets = inquiry.HA_Unique[3];
  if (maxTargets != DEFAULT_MAX_TARGETS && maxTargets != WIDE_MAX_TARGETS) return DEFAULT_MAX_TARGETS;
  return maxTargets;
}

static bool IsCdRomTarget(const AspiLayer &layer, BYTE adapter, BYTE target) {
  SRB_GDEVBlock query;
  ZeroMemory(&query, sizeof query);
  query.SRB_Cmd = SC_GET_DEV_TYPE;
  query.SRB_HaId = adapter;
  query.SRB_Target = target;
  query.SRB_Lun = 0;
  layer.sendCommand(&query);
  return query.SRB_Status == SS_COMP && query.SRB_DeviceType == CD_ROM_DEVICE_TYPE;
}

// A target is a drive when ASPI says CD-ROM and its own INQUIRY agrees.
static int ConfirmTarget(const AspiLayer &layer, BYTE adapter, BYTE target,
                         AspiWalkObserver &observer) {
  AspiDevice device;
  ZeroMemory(&device, sizeof device);
  if (!IsCdRomTarget(layer, adapter, target)) return 0;
  device.hostAdapterId = adapter;
  device.targetId = target;
  ScsiCommand inquiry = InquiryCommand(device.inquiry, ASPI_INQUIRY_LENGTH);
  if (!ExecuteWithDiagnostics(layer, adapter, target, SRB_DIR_IN, inquiry.length, inquiry.data,
                              inquiry.cdbLength, inquiry.cdb, observer) ||
      !IsListedAspiDeviceType(device.inquiry[0]))
    return 0;
  FormatAspiEntryText(device.inquiry, device.text);
  observer.Found(device);
  return 1;
}

int WalkAspiBus(const AspiLayer &layer, AspiWalkObserver &observer) {
  DWORD support = layer.getSupportInfo();
  if (HIBYTE(LOWORD(support)) != SS_COMP) return 0;
  BYTE adapters = LOBYTE(support);
  int found = 0;
  for (BYTE adapter = 0; adapter < adapters; ++adapter) {
    int maxTargets = InquireAdapter(layer, adapter);
    for (int target = 0; target < maxTargets; ++target)
      found += ConfirmTarget(layer, adapter, (BYTE)target, observer);
  }
  return found;
}
