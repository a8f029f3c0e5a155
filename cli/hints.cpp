#include "cli/hints.h"

enum { ILLEGAL_REQUEST = 0x5, INVALID_OPERATION_CODE = 0x20 };

Trouble TroubleOf(const CommandResult &result) {
  switch (result.kind) {
    case CommandResult::SYSTEM_ERROR:
    case CommandResult::ADAPTER_ERROR: return TROUBLE_NO_ANSWER;
    case CommandResult::SHORT_TRANSFER: return TROUBLE_SHORT_TRANSFER;
    case CommandResult::DONE: break;
  }
  SenseCodes sense = result.Sense();
  if (sense.valid && sense.key == ILLEGAL_REQUEST && sense.asc == INVALID_OPERATION_CODE)
    return TROUBLE_DOWNLOAD_REFUSED;
  return TROUBLE_NONE;
}

Trouble BlockTrouble(const CommandResult &result, int blocksTaken, bool lastBlock) {
  Trouble trouble = TroubleOf(result);
  if (trouble == TROUBLE_DOWNLOAD_REFUSED && blocksTaken > 0) return TROUBLE_NONE;
  if (lastBlock && trouble != TROUBLE_NONE && trouble != TROUBLE_DOWNLOAD_REFUSED)
    return TROUBLE_AFTER_LAST_BLOCK;
  return trouble;
}

Trouble OpenTrouble(OpenFailure failure) {
  return failure == OPEN_DENIED ? TROUBLE_PERMISSION : failure == OPEN_BUSY ? TROUBLE_BUSY : TROUBLE_NONE;
}

const char *HintText(Trouble trouble) {
  switch (trouble) {
    case TROUBLE_NONE: return "";
    case TROUBLE_DOWNLOAD_REFUSED:
      return "hint: the drive does not take the download command. A USB bridge often filters\n"
             "      vendor commands: connect the drive by SATA/IDE and try again. Connected so,\n"
             "      the drive's loader does not know this command: this is no image for it.\n";
    case TROUBLE_PERMISSION:
#ifdef _WIN32
      return "hint: start the console with \"Run as administrator\" and try again.\n";
#else
      return "hint: run it as root (sudo flashtool ...), or join the drive's group\n"
             "      (sudo usermod -aG cdrom $USER) and log in again.\n";
#endif
    case TROUBLE_BUSY:
      return "hint: wait for the other flash to end, or close the program that has the drive\n"
             "      (a player, a burner, a file manager showing the disc); unmount a mounted disc.\n";
    case TROUBLE_NO_ANSWER:
      return "hint: the drive stopped answering. Check its power and its cable (for a USB drive\n"
             "      the cable and the bridge). Then switch it off and on, find it again with\n"
             "      `flashtool list`, and flash again before using it.\n";
    case TROUBLE_WRONG_MODEL:
      return "hint: flash only the image its maker published for this exact model; --expect\n"
             "      takes the vendor and product exactly as `flashtool list` shows them.\n";
    case TROUBLE_SHORT_TRANSFER:
      return "hint: part of a block was lost on its way, though the drive said it took it: the\n"
             "      cable, a USB bridge or the adapter drops data. Connect the drive another way\n"
             "      (SATA/IDE, another cable or port) and flash again before using it.\n";
    case TROUBLE_AFTER_LAST_BLOCK:
      return "hint: the last block went out, and the drive may be writing its firmware now.\n"
             "      Do not switch it off or unplug it: leave it powered and connected for some\n"
             "      minutes, then ask it with `flashtool info`.\n";
    case TROUBLE_POLLING:
#ifdef _WIN32
      return "";
#else
      return "hint: run it as root (sudo flashtool ...), which may switch the polling off, or\n"
             "      give --allow-polling to flash with the kernel's commands between the blocks.\n";
#endif
  }
  return "";
}
