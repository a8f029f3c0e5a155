// What to try after the failures technicians meet, in a few lines each:
// every hint of the program is here.
#ifndef FLASHTOOL_CLI_HINTS_H
#define FLASHTOOL_CLI_HINTS_H

#include "core/scsi.h"
#include "system/system.h"

enum Trouble {
  TROUBLE_NONE,
  TROUBLE_DOWNLOAD_REFUSED,  // the drive does not take the download command at all
  TROUBLE_PERMISSION,
  TROUBLE_BUSY,              // another program, another flash, a mounted disc
  TROUBLE_NO_ANSWER,         // the drive or its adapter stopped answering
  TROUBLE_WRONG_MODEL,       // --expect names another drive
  TROUBLE_SHORT_TRANSFER,    // a block did not arrive whole
  TROUBLE_AFTER_LAST_BLOCK,  // the last block went out: the drive may be writing its firmware
  TROUBLE_POLLING            // the kernel's media polling cannot be switched off
};

// The trouble behind a failed command, TROUBLE_NONE when no hint fits.
Trouble TroubleOf(const CommandResult &result);
// The same of a download block that failed after `blocksTaken` blocks
// were accepted: only a refused block 00 says the drive does not take the
// command, and once the last block went out no hint may say to switch the
// drive off.
Trouble BlockTrouble(const CommandResult &result, int blocksTaken, bool lastBlock);
// The trouble behind a drive that could not be opened: rights, or another
// program; a mounted disc's sentence says what to do itself.
Trouble OpenTrouble(OpenFailure failure);
// The hint's lines, each ending in a newline; empty for TROUBLE_NONE.
const char *HintText(Trouble trouble);

#endif
