// What to try after the failures technicians meet, in a few lines each:
// every hint of the program is here.
#ifndef FLASHTOOL_CLI_HINTS_H
#define FLASHTOOL_CLI_HINTS_H

#include "core/scsi.h"

enum Trouble {
  TROUBLE_NONE,
  TROUBLE_DOWNLOAD_REFUSED,  // the drive does not take the download command at all
  TROUBLE_PERMISSION,
  TROUBLE_BUSY,              // another program, another flash, a mounted disc
  TROUBLE_NO_ANSWER,         // the drive or its adapter stopped answering
  TROUBLE_WRONG_MODEL        // --expect names another drive
};

// The trouble behind a failed command, TROUBLE_NONE when no hint fits.
Trouble TroubleOf(const CommandResult &result);
// The hint's lines, each ending in a newline; empty for TROUBLE_NONE.
const char *HintText(Trouble trouble);

#endif
