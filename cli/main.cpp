// flashtool: the flash of Flash Tool from a command line, on Linux over
// SG_IO and on Windows over SCSI pass-through.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <vector>

#include "cli/commands.h"
#include "cli/report.h"
#include "system/system.h"
#include "core/shown.h"

#ifndef FLASHTOOL_VERSION
#define FLASHTOOL_VERSION "unknown"
#endif

static const char ExitCodes[] =
    "Exit codes:\n"
    "  0    flashed, and the drive answered again; list: it listed a drive; info: the\n"
    "       drive answered; check: the size fits; a dry run: every check passed\n"
    "  1    part of the image may be in the drive: a block failed after block 00 was\n"
    "       taken, or block 00 got no answer (do not use it before a flash\n"
    "       succeeds); or it came back with another revision than --expect-revision\n"
    "       names\n"
    "  2    bad arguments (DEVICE not a drive, one drive named twice, a blank\n"
    "       --expect), an image that cannot be flashed or looks like no firmware\n"
    "       (without --any-image), or not the one --sha256 names\n"
    "  3    refused: no CD/DVD drive, another drive than --expect names, drives of\n"
    "       different models, not confirmed\n"
    "  4    the device cannot be opened (missing, no permission, busy, mounted), does\n"
    "       not answer, or its media polling cannot be switched off; list: no drive\n"
    "  5    every block was taken, but the drive is not confirmed: an interrupt was\n"
    "       held, it did not answer in time (it may still be writing its firmware:\n"
    "       leave it powered), or it cannot be told apart from another drive\n"
    "  6    nothing was written: the preparation failed, or the drive refused block\n"
    "       00 with its own status; it holds what it held\n"
    "  several drives: 0 when every one flashed and answered again, else the first\n"
    "       of 1, 5, 6, 128+N, 4, 3, 2 that any drive ended in\n"
    "  128+N  interrupted by signal N before anything was written\n"
    "\n"
    "Examples:\n"
    "  $ flashtool list\n"
    "  DEVICE      SG          ADDRESS    BUS    VENDOR    PRODUCT           REVISION\n"
    "  /dev/sr0    /dev/sg1    1:0:0:0    usb    QUOR      VIRTUAL CD-RW     1.00\n"
    "  $ flashtool check fw.bin\n"
    "  Image:  fw.bin  40961 bytes, 2 blocks, checksum 0B09\n"
    "  SHA-256: 3a7b...e41f\n"
    "  Its size fits the download command. flashtool cannot tell whether it is\n"
    "  firmware for a given drive: flash only what its maker published for that model.\n"
    "  $ flashtool flash /dev/sr0 fw.bin --expect \"QUOR VIRTUAL CD-RW\" --dry-run\n"
    "  Drive:  /dev/sr0  QUOR VIRTUAL CD-RW, firmware 1.00\n"
    "  Image:  fw.bin  40961 bytes, 2 blocks, checksum 0B09\n"
    "  Dry run: every check passed; nothing was written.\n"
    "  $ flashtool flash /dev/sr0 fw.bin --yes --log service.jsonl\n";

// Help as wide as the terminal (80 columns when there is none): a column of
// names, the words beside them wrapped, usage lines with the words the
// command reads ("DEVICE... IMAGE").
class Help : public CLI::Formatter {
 public:
  explicit Help(size_t width) : width_(width) { column_width(26); }
  std::string make_description(const CLI::App *app) const override {
    return Wrapped(app->get_description(), 0, 0, width_);
  }
  std::string make_usage(const CLI::App *app, std::string name) const override {
    std::string usage = "Usage: " + name;
    if (!app->get_options([](const CLI::Option *o) { return o->nonpositional(); }).empty()) usage += " [OPTIONS]";
    for (const CLI::Option *o : app->get_options([](const CLI::Option *o) { return o->get_positional(); }))
      usage += " " + o->get_name(true, false);
    if (!app->get_subcommands({}).empty()) usage += " COMMAND";
    return Wrapped(usage, 0, 4, width_);
  }
  // A footer's long lines wrapped, each keeping its indent.
  std::string make_footer(const CLI::App *app) const override {
    std::string footer = app->get_footer(), out;
    for (size_t at = 0; at < footer.size();) {
      size_t end = std::min(footer.find('\n', at), footer.size());
      std::string line = footer.substr(at, end - at);
      size_t indent = line.find_first_not_of(' ');
      if (line.size() <= width_ || indent == std::string::npos) out += line + "\n";
      else out += Wrapped(line.substr(indent), indent, indent + 2, width_);
      at = end + 1;
    }
    return out;
  }
  std::string make_option(const CLI::Option *opt, bool positional) const override {
    std::string name = make_option_name(opt, positional) + (positional ? "" : make_option_opts(opt));
    return Entry(name, make_option_desc(opt));
  }
  std::string make_subcommand(const CLI::App *sub) const override {
    return Entry(sub->get_display_name(true), sub->get_description());
  }

 private:
  // "  NAME   words..." with the words wrapped under their column, or under
  // the name when it is wider than the column.
  std::string Entry(const std::string &name, const std::string &words) const {
    size_t column = get_column_width();
    std::string head = "  " + name;
    if (head.size() + 2 > column) return head + "\n" + Wrapped(words, column, column, width_);
    std::string text = Wrapped(words, column, column, width_);
    return head + text.substr(head.size());
  }
  size_t width_;
};

// A blank --expect (an unset shell variable) would otherwise check nothing.
static std::string NotBlank(const std::string &value) {
  return IsBlank(value) ? "wants \"VENDOR PRODUCT\"; a blank value would check nothing" : "";
}

static std::string SecondsFrom(const std::string &value, long least) {
  char *end = nullptr;
  long n = strtol(value.c_str(), &end, 10);
  if (value.empty() || *end != '\0' || n < least || n > 3600)
    return "wants a number of seconds from " + std::to_string(least) + " to 3600, not \"" + value + "\"";
  return "";
}
static std::string Seconds(const std::string &value) { return SecondsFrom(value, 1); }
// A drive may erase its flash after the last block: no command for 5 s at least.
static std::string SettleSeconds(const std::string &value) { return SecondsFrom(value, LEAST_SETTLE_S); }

// How many single-character edits make one word the other.
static size_t Distance(const std::string &a, const std::string &b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// " (did you mean 'list'?)" for a word one or two edits from a known one.
static std::string Suggestion(const std::string &word, const std::vector<std::string> &known) {
  std::string best;
  size_t nearest = 3;
  for (const std::string &k : known) {
    size_t d = Distance(word, k);
    if (d < nearest) nearest = d, best = k;
  }
  return best.empty() ? "" : " (did you mean '" + best + "'?)";
}

// A usage error as other tools say it: the program's name, the word, what
// to read; exit 2.
static int UsageError(const std::string &text, const std::string &help) {
  fprintf(stderr, "flashtool: %s\nRun '%s --help' for more information.\n", Shown(text).c_str(), help.c_str());
  return EXIT_BAD_INPUT;
}

static std::string Sha256(const std::string &value) {
  bool hex = value.size() == 64 && value.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
  return hex ? "" : "wants the 64 hex digits of a SHA-256, as its maker publishes it";
}

int main(int argc, char **argv) {
  CLI::App app("Writes a firmware image into a CD/DVD drive and lists the drives it can reach.",
               "flashtool");
  app.set_version_flag("-V,--version", "flashtool " FLASHTOOL_VERSION);
  app.formatter(std::make_shared<Help>(OutputColumns()));
  app.footer(ExitCodes);
  app.require_subcommand(1);

  CLI::App *list = app.add_subcommand(
      "list", "List the CD/DVD drives: device, sg node, SCSI address, bus, vendor, product, revision");
  bool json = false, header = false;
  list->add_flag("--json", json, "Print a JSON array of objects instead");
  list->add_flag("--header", header, "Name the columns in a first line, also when the output is no terminal");
  list->footer("Exit codes: 0 a drive was listed, 4 none could be, 2 bad arguments (all: flashtool --help).");

  CLI::App *info = app.add_subcommand("info", "What DEVICE says it is, its nodes, address and serial; writes nothing");
  std::string infoDevice;
  info->add_option("DEVICE", infoDevice, "The drive: /dev/sr0 or /dev/sg1 on Linux, D: on Windows")->required();
  info->add_flag("--json", json, "Print a JSON object instead");
  info->footer("Exit codes: 0 the drive answered, 2 not a drive, 4 cannot be opened, busy or no answer "
               "(all: flashtool --help).");

  CLI::App *check = app.add_subcommand("check", "Size, blocks, checksum and SHA-256 of IMAGE, whether its size fits, and what it plainly is when it is no firmware");
  std::string checkImage, checkSha256;
  check->add_option("IMAGE", checkImage, "The firmware image")->required();
  check->add_option("--sha256", checkSha256, "Exit 2 unless IMAGE has this SHA-256, as its maker published it")
      ->type_name("HEX")
      ->check(CLI::Validator(Sha256, ""));
  check->add_flag("--json", json, "Print a JSON object instead");
  check->footer("Exit codes: 0 the size fits, 2 an image that cannot be flashed or is not the one --sha256 "
                "names (all: flashtool --help).");

  CLI::App *flash = app.add_subcommand("flash", "Write IMAGE into the drive DEVICE");
  flash->footer("Exit codes: 0 flashed, 1 part of the image in the drive, 2 bad input, 3 refused, 4 cannot "
                "open, 5 every block taken but not confirmed, 6 nothing written, 128+N interrupted before "
                "the first block (all: flashtool --help).");
  FlashOptions options;
  std::vector<std::string> positionals;
  flash->add_option("DEVICE... IMAGE", positionals,
                    "The drive (/dev/sr0 or /dev/sg1 on Linux, D: on Windows), or several drives "
                    "flashed at once, then the firmware image its maker published for them")
      ->required()
      ->expected(1, -1);
  flash->add_flag("--all", options.all,
                  "Flash every CD/DVD drive that --expect names (needs --expect)");
  flash->add_flag("--skip-failing", options.run.skipFailing,
                  "Several drives: flash those that pass their checks, even when others do not");
  flash->add_flag("-y,--yes", options.yes, "Do not ask for confirmation");
  flash->add_flag("--dry-run", options.run.dryRun,
                  "Every check of a flash up to the first block (image, device, identity, --expect, "
                  "lock, exclusive claim), then stop: nothing is written");
  flash->add_flag("--json", options.json,
                  "At the end, the run's record as one JSON object on standard output (the texts go "
                  "to standard error)");
  flash->add_flag("-v,--verbose", options.verbose,
                  "Every command to the drive on standard error: CDB, direction, length, SCSI, host "
                  "and driver status, residual, sense and time");
  flash->add_option("--log", options.log,
                    "Append the run's record to FILE as one line of JSON (JSON Lines): times, host, "
                    "version, device, identity before and after, image and its SHA-256, every block, "
                    "outcome, reason, exit code")
      ->type_name("FILE");
  flash->add_option("--expect", options.run.expect,
                    "Refuse unless the drive is this \"VENDOR PRODUCT\": the first word must be "
                    "the whole vendor and the rest the whole product, case included (blanks at "
                    "their ends do not count); a blank value is refused")
      ->type_name("\"VENDOR PRODUCT\"")
      ->check(CLI::Validator(NotBlank, ""));
  flash->add_option("--expect-revision", options.run.expectRevision,
                    "Exit 1 unless the drive comes back with this firmware revision")
      ->type_name("REV");
  flash->add_option("--sha256", options.sha256,
                    "Refuse IMAGE (exit 2, nothing sent) unless it has this SHA-256, as its maker published it")
      ->type_name("HEX")
      ->check(CLI::Validator(Sha256, ""));
  flash->add_flag("--any-image", options.anyImage,
                  "Flash IMAGE even when it looks like no firmware (a text file, an archive, an "
                  "executable, all one byte)");
  flash->add_flag("--allow-polling", options.run.allowPolling,
                  "Flash even when the kernel's media polling of the drive cannot be switched off "
                  "(not root): its commands may then come between the blocks");
  std::string settle = "5", ready = "120";
  flash->add_option("--settle", settle,
                    "Seconds after the last block in which nothing is sent to the drive, while it may "
                    "write its firmware, 5 to 3600 (default 5)")
      ->type_name("SECONDS")
      ->check(CLI::Validator(SettleSeconds, ""));
  flash->add_option("--ready-timeout", ready,
                    "Then seconds to wait for the drive to answer, 1 to 3600 (default 120)")
      ->type_name("SECONDS")
      ->check(CLI::Validator(Seconds, ""));

  // The first word that is no option names the command: a mistyped one is
  // named back, and "help" is what a user of git or apt expects.
  static const char Commands[] = "commands: list, info, check, flash";
  const std::vector<std::string> commandNames = {"list", "info", "check", "flash"};
  auto command = [&](const char *word) -> CLI::App * {
    for (CLI::App *known : {list, info, check, flash})
      if (known->get_name() == word) return known;
    return nullptr;
  };
  auto unknownCommand = [&](const char *word) {
    return UsageError(std::string("unknown command '") + word + "' (" + Commands + ")" +
                          Suggestion(word, commandNames),
                      "flashtool");
  };
  int first = 1;
  while (first < argc && argv[first][0] == '-') ++first;
  if (first < argc && strcmp(argv[first], "help") == 0) {
    if (first + 2 < argc) return UsageError("help takes one command", "flashtool");
    if (first + 1 >= argc) {
      printf("%s", app.help().c_str());
      return EXIT_OK;
    }
    CLI::App *about = command(argv[first + 1]);
    if (about == nullptr) return unknownCommand(argv[first + 1]);
    printf("%s", about->help("flashtool").c_str());
    return EXIT_OK;
  }
  if (first < argc && command(argv[first]) == nullptr) return unknownCommand(argv[first]);
  bool asksAbout = false;
  for (int i = 1; i < argc; ++i)
    asksAbout |= strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0 ||
                 strcmp(argv[i], "-V") == 0 || strcmp(argv[i], "--version") == 0;
  if (first >= argc && !asksAbout) return UsageError(std::string("a command is required (") + Commands + ")", "flashtool");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion &e) {
    return app.exit(e);
  } catch (const CLI::ParseError &e) {
    // Which command's words were read: its help is the one to read.
    CLI::App *in = first < argc ? command(argv[first]) : nullptr;
    std::string help = in != nullptr ? std::string("flashtool ") + argv[first] : "flashtool";
    std::string what = e.what();
    const std::string extra = "The following argument was not expected: ";
    const std::string extras = "The following arguments were not expected: ";
    std::string word = what.compare(0, extra.size(), extra) == 0 ? what.substr(extra.size())
                     : what.compare(0, extras.size(), extras) == 0 ? what.substr(extras.size()) : "";
    if (!word.empty() && word[0] == '-') {
      std::vector<std::string> known;
      for (const CLI::Option *o : (in != nullptr ? in : &app)->get_options())
        for (const std::string &name : o->get_lnames()) known.push_back("--" + name);
      word = word.substr(0, word.find(' '));
      return UsageError("unknown option '" + word + "'" + Suggestion(word, known), help);
    }
    return UsageError(what, help);
  }
  if (list->parsed()) return ListCommand(json, header);
  if (info->parsed()) return InfoCommand(infoDevice, json);
  if (check->parsed()) return CheckCommand(checkImage, checkSha256, json);
  options.run.readySeconds = atoi(ready.c_str());
  options.run.settleSeconds = atoi(settle.c_str());
  // The last word is the image; the ones before it the drives.
  options.image = positionals.back();
  options.run.devices.assign(positionals.begin(), positionals.end() - 1);
  std::string wrong = options.all && options.run.expect.empty() ? "--all needs --expect \"VENDOR PRODUCT\""
                    : options.all && !options.run.devices.empty() ? "--all takes no DEVICE, only IMAGE"
                    : !options.all && options.run.devices.empty() ? "DEVICE and IMAGE are required"
                    : "";
  if (!wrong.empty()) return UsageError(wrong, "flashtool flash");
  return FlashCommand(options);
}
