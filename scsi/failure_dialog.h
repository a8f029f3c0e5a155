// The modal dialog that shows one ASPI command that failed for good.
#ifndef FLASHTOOL_SCSI_FAILURE_DIALOG_H
#define FLASHTOOL_SCSI_FAILURE_DIALOG_H

#include "scsi/aspi_srb.h"

void CommandFailureDialog(const SRB_ExecSCSICmd *request);

#endif
