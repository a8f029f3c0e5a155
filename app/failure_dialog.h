// The modal dialog that shows one ASPI command that failed for good.
#ifndef FLASHTOOL_APP_FAILURE_DIALOG_H
#define FLASHTOOL_APP_FAILURE_DIALOG_H

#include "transport/aspi.h"

void CommandFailureDialog(const SRB_ExecSCSICmd *request);

// Shows each command that failed for good in the dialog, owned by the window.
class FailureDialogReporter : public AspiFailureReporter {
 public:
  void CommandFailed(const SRB_ExecSCSICmd &request) override { CommandFailureDialog(&request); }
};

#endif
