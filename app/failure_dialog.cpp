#include "app/failure_dialog.h"

#include <cstring>

#include "app/app_state.h"
#include "app/resource_text.h"
#include "core/failure_fields.h"
#include "res/resource.h"

static void FillFailureFields(HWND dialog, const SRB_ExecSCSICmd &request) {
  // Copied: the one-slot cache may hold another text by the time it is shown.
  char notAvailable[TEXT_BUFFER_SIZE];
  lstrcpynA(notAvailable, GetResourceText(IDS_NA), sizeof notAvailable);

  FailureView view = {request.SRB_Target, request.SRB_CDBLen, request.CDBByte,
                      request.SRB_HaStat, request.SRB_TargStat, request.SenseArea};
  static char fields[FAILURE_FIELD_COUNT][FAILURE_FIELD_SIZE];
  FormatFailureFields(view, notAvailable, fields);
  for (int i = 0; i < FAILURE_FIELD_COUNT; ++i) SetDlgItemTextA(dialog, IDC_FAIL_TARGET + i, fields[i]);
}

static INT_PTR CALLBACK FailureDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      FillFailureFields(dialog, *(const SRB_ExecSCSICmd *)lParam);
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) != IDOK && LOWORD(wParam) != IDCANCEL) return FALSE;
      EndDialog(dialog, 0);
      return TRUE;
    default:
      return FALSE;
  }
}

void CommandFailureDialog(const SRB_ExecSCSICmd *request) {
  DialogBoxParamA(AppInstance, MAKEINTRESOURCEA(IDD_SCSI_FAILURE), MainWindow, FailureDialogProc,
                  (LPARAM)request);
}
