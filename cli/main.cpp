// flashtool: the flash of Flash Tool from a command line, on Linux over
// SG_IO and on Windows over SCSI pass-through.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>

#include "cli/commands.h"
#include "cli/report.h"

#ifndef FLASHTOOL_VERSION
#define FLASHTOOL_VERSION "unknown"
#endif

static const char ExitCodes[] =
    "Exit codes:\n"
    "  0    flashed, and the drive came back; list: it listed a drive; info: the drive\n"
    "       answered; check: the image can be flashed; a dry run: every check passed\n"
    "  1    the flash failed, or the drive did not come back\n"
    "  2    bad arguments (DEVICE not a device, blank --expect), or an image that cannot be flashed\n"
    "  3    refused: no CD/DVD drive, another drive than --expect names, not confirmed\n"
    "  4    the device cannot be opened (missing, no permission, busy, mounted) or does not\n"
    "       answer; list: no drive could be listed\n"
    "  5    flashed, but interrupted before the drive answered again: check it\n"
    "  several drives: 0 when every one flashed and came back, else the first of\n"
    "       1, 5, 128+N, 4, 3, 2 that any drive ended in\n"
    "  128+N  interrupted by signal N before anything was written\n"
    "\n"
    "Examples:\n"
    "  $ flashtool list\n"
    "  /dev/sr0    /dev/sg1    QUOR      VIRTUAL CD-RW     1.00\n"
    "  $ flashtool check fw.bin\n"
    "  Image:  fw.bin  40961 bytes, 2 blocks, checksum 0B09\n"
    "  SHA-256: 3a7b...e41f\n"
    "  It can be flashed.\n"
    "  $ flashtool flash /dev/sr0 fw.bin --expect \"QUOR VIRTUAL CD-RW\" --dry-run\n"
    "  Drive:  /dev/sr0  QUOR VIRTUAL CD-RW, firmware 1.00\n"
    "  Image:  fw.bin  40961 bytes, 2 blocks, checksum 0B09\n"
    "  Dry run: every check passed; nothing was written.\n"
    "  $ flashtool flash /dev/sr0 fw.bin --yes --log service.jsonl\n";

// A blank --expect (an unset shell variable) would otherwise check nothing.
static std::string NotBlank(const std::string &value) {
  return IsBlank(value) ? "wants \"VENDOR PRODUCT\"; a blank value would check nothing" : "";
}

static std::string Seconds(const std::string &value) {
  char *end = nullptr;
  long n = strtol(value.c_str(), &end, 10);
  if (value.empty() || *end != '\0' || n < 1 || n > 3600)
    return "wants a number of seconds from 1 to 3600, not \"" + value + "\"";
  return "";
}

int main(int argc, char **argv) {
  CLI::App app("Writes a firmware image into a CD/DVD drive and lists the drives it can reach.",
               "flashtool");
  app.set_version_flag("--version", "flashtool " FLASHTOOL_VERSION);
  app.footer(ExitCodes);
  app.require_subcommand(1);

  CLI::App *list = app.add_subcommand("list", "List the CD/DVD drives: device, vendor, product, revision");
  bool json = false;
  list->add_flag("--json", json, "Print a JSON array of objects instead");

  CLI::App *info = app.add_subcommand("info", "What DEVICE says it is, its nodes, address and serial; writes nothing");
  std::string infoDevice;
  info->add_option("DEVICE", infoDevice, "The drive: /dev/sr0 or /dev/sg1 on Linux, D: on Windows")->required();
  info->add_flag("--json", json, "Print a JSON object instead");

  CLI::App *check = app.add_subcommand("check", "Size, blocks, checksum and SHA-256 of IMAGE, and whether it can be flashed");
  std::string checkImage;
  check->add_option("IMAGE", checkImage, "The firmware image")->required();
  check->add_flag("--json", json, "Print a JSON object instead");

  CLI::App *flash = app.add_subcommand("flash", "Write IMAGE into the drive DEVICE");
  FlashOptions options;
  std::vector<std::string> positionals;
  flash->add_option("DEVICE... IMAGE", positionals,
                    "The drive (/dev/sr0 or /dev/sg1 on Linux, D: on Windows), or several drives "
                    "flashed at once, then the firmware image its maker published for them")
      ->required()
      ->expected(1, -1);
  flash->add_flag("--all", options.all,
                  "Flash every CD/DVD drive that --expect names (needs --expect)");
  flash->add_flag("--skip-failing", options.skipFailing,
                  "Several drives: flash those that pass their checks, even when others do not");
  flash->add_flag("--yes", options.yes, "Do not ask for confirmation");
  flash->add_flag("--dry-run", options.dryRun,
                  "Every check of a flash up to the first block (image, device, identity, --expect, "
                  "lock, exclusive claim), then stop: nothing is written");
  flash->add_flag("--json", options.json,
                  "At the end, the run's record as one JSON object on standard output (the texts go "
                  "to standard error)");
  flash->add_flag("--verbose", options.verbose,
                  "Every command to the drive on standard error: CDB, direction, length, SCSI, host "
                  "and driver status, residual, sense and time");
  flash->add_option("--log", options.log,
                    "Append the run's record to FILE as one line of JSON (JSON Lines): times, host, "
                    "version, device, identity before and after, image and its SHA-256, every block, "
                    "outcome, reason, exit code")
      ->type_name("FILE");
  flash->add_option("--expect", options.expect,
                    "Refuse unless the drive is this \"VENDOR PRODUCT\": the first word must be "
                    "the whole vendor and the rest the whole product, case included (blanks at "
                    "their ends do not count); a blank value is refused")
      ->type_name("\"VENDOR PRODUCT\"")
      ->check(CLI::Validator(NotBlank, ""));
  std::string ready = "60";
  flash->add_option("--ready-timeout", ready,
                    "Seconds to wait for the drive after the flash, 1 to 3600 (default 60)")
      ->type_name("SECONDS")
      ->check(CLI::Validator(Seconds, ""));

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
  if (info->parsed()) return InfoCommand(infoDevice, json);
  if (check->parsed()) return CheckCommand(checkImage, json);
  options.readySeconds = atoi(ready.c_str());
  // The last word is the image; the ones before it the drives.
  options.image = positionals.back();
  options.devices.assign(positionals.begin(), positionals.end() - 1);
  std::string wrong = options.all && options.expect.empty() ? "--all needs --expect \"VENDOR PRODUCT\""
                    : options.all && !options.devices.empty() ? "--all takes no DEVICE, only IMAGE"
                    : !options.all && options.devices.empty() ? "DEVICE and IMAGE are required"
                    : "";
  if (!wrong.empty()) {
    fprintf(stderr, "%s\nRun with --help for more information.\n", wrong.c_str());
    return EXIT_BAD_INPUT;
  }
  return FlashCommand(options);
}
