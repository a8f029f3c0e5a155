#include "discovery/aspi_scan.h"

#include <cstring>

#include "app/app_state.h"
#include "discovery/aspi_entry.h"
#include "res/resource.h"
#include "scsi/aspi.h"

AspiDeviceNode *AspiNodeList;

enum { DEFAULT_MAX_TARGETS = 8, WIDE_MAX_TARGETS = 16 };

static const BYTE InquiryCdb[6] = {0x12, 0x00, 0x00, 0x00, ASPI_INQUIRY_LENGTH, 0x00};

// Answers the adapter's maximum number of targets, 0 when it does not answer.
static int InquireAdapter(BYTE adapter) {
  SRB_HAInquiry inquiry;
  ZeroMemory(&inquiry, sizeof inquiry);
  inquiry.SRB_Cmd = SC_HA_INQUIRY;
  inquiry.SRB_HaId = adapter;
  AspiBinding.sendCommand(&inquiry);
  if (inquiry.SRB_Status != SS_COMP) return 0;
  int maxTargets = inquiry.HA_Unique[3];
  if (maxTargets != DEFAULT_MAX_TARGETS && maxTargets != WIDE_MAX_TARGETS) return DEFAULT_MAX_TARGETS;
  return maxTargets;
}

static bool IsCdRomTarget(BYTE adapter, BYTE target) {
  SRB_GDEVBlock query;
  ZeroMemory(&query, sizeof query);
  query.SRB_Cmd = SC_GET_DEV_TYPE;
  query.SRB_HaId = adapter;
  query.SRB_Target = target;
  query.SRB_Lun = 0;
  AspiBinding.sendCommand(&query);
  return query.SRB_Status == SS_COMP && query.SRB_DeviceType == CD_ROM_DEVICE_TYPE;
}

static void FreeNode(AspiDeviceNode *node) { HeapFree(GetProcessHeap(), 0, node); }

// Lists one target when its INQUIRY confirms a drive; answers 1 when listed.
static int ListTarget(HWND list, int position, BYTE adapter, BYTE target, BYTE *inquiryData) {
  if (!IsCdRomTarget(adapter, target)) return 0;
  AspiDeviceNode *node =
      (AspiDeviceNode *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(AspiDeviceNode));
  if (node == NULL) return 0;
  node->hostAdapterId = adapter;
  node->targetId = target;
  if (!ExecuteWithDiagnostics(node, SRB_DIR_IN, ASPI_INQUIRY_LENGTH, inquiryData,
                              sizeof InquiryCdb, InquiryCdb) ||
      !IsListedAspiDeviceType(inquiryData[0])) {
    FreeNode(node);
    return 0;
  }
  memcpy(node->name, inquiryData + INQUIRY_NAME_OFFSET, INQUIRY_NAME_LENGTH);
  node->next = AspiNodeList;
  AspiNodeList = node;

  char text[ASPI_ENTRY_TEXT_SIZE];
  FormatAspiEntryText(inquiryData, text);
  SendMessageA(list, LB_INSERTSTRING, position, (LPARAM)text);
  SendMessageA(list, LB_SETITEMDATA, position, (LPARAM)node);
  return 1;
}

int FillAspiEntries() {
  DWORD support = AspiBinding.getSupportInfo();
  if (HIBYTE(LOWORD(support)) != SS_COMP) return 0;
  BYTE adapters = LOBYTE(support);
  HWND list = GetDlgItem(MainWindow, IDC_DEVICE_LIST);
  int added = 0;
  for (BYTE adapter = 0; adapter < adapters; ++adapter) {
    int maxTargets = InquireAdapter(adapter);
    for (int target = 0; target < maxTargets; ++target) {
      BYTE inquiryData[ASPI_INQUIRY_LENGTH] = {0};
      added += ListTarget(list, added, adapter, (BYTE)target, inquiryData);
    }
  }
  return added;
}

void FreeAspiNodes() {
  while (AspiNodeList != NULL) {
    AspiDeviceNode *next = AspiNodeList->next;
    FreeNode(AspiNodeList);
    AspiNodeList = next;
  }
}
