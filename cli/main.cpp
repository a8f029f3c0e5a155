// flashtool: the flash of Flash Tool from a command line, on Linux over
// SG_IO and on Windows over SCSI pass-through.
#include <CLI/CLI.hpp>

#include <cstdio>

#include "cli/commands.h"

#ifndef FLASHTOOL_VERSION
#define FLASHTOOL_VERSION "unknown"
#endif

static const char ExitCodes[] =
    "Exit codes:\n"
    "  0    flashed, and the drive came back\n"
    "  1    the flash failed, or the drive did not come back\n"
    "  2    bad arguments, or an image that cannot be flashed\n"
    "  3    refused: no CD/DVD drive, another drive than --expect names, not confirmed\n"
    "  4    the device cannot be opened (missing, no permission, busy) or does not answer\n"
    "  128+N  interrupted by signal N before anything was written\n";

int main(int argc, char **argv) {
  CLI::App app("Writes a firmware image into a CD/DVD drive and lists the drives it can reach.",
               "flashtool");
  app.set_version_flag("--version", "flashtool " FLASHTOOL_VERSION);
  app.footer(ExitCodes);
  app.require_subcommand(1);

  CLI::App *list = app.add_subcommand("list", "List the CD/DVD drives: device, vendor, product, revision");
  bool json = false;
  list->add_flag("--json", json, "Print a JSON array of objects instead");

  CLI::App *flash = app.add_subcommand("flash", "Write IMAGE into the drive DEVICE");
  FlashOptions options;
  flash->add_option("DEVICE", options.device, "The drive: /dev/sr0 or /dev/sg1 on Linux, D: on Windows")
      ->required();
  flash->add_option("IMAGE", options.image, "The firmware image its maker published for that drive")
      ->required();
  flash->add_flag("--yes", options.yes, "Do not ask for confirmation");
  flash->add_option("--expect", options.expect,
                    "Refuse unless the drive is this \"VENDOR PRODUCT\"");
  flash->add_option("--ready-timeout", options.readySeconds,
                    "Seconds to wait for the drive after the flash (default 60)")
      ->check(CLI::Range(1, 3600));

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion &e) {
    return app.exit(e);
  } catch (const CLI::ParseError &e) {
    app.exit(e);  // prints what was wrong and how to ask for help
    return EXIT_BAD_INPUT;
  }
  if (list->parsed()) return ListCommand(json);
  return FlashCommand(options);
}
