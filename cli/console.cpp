#include "cli/console.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "cli/commands.h"
#include "system/system.h"
#include "cli/report.h"
#include "cli/screen.h"
#include "core/blocks.h"
#include "core/image_kind.h"
#include "core/shown.h"

namespace {

std::mutex Speaking;  // one line at a time, whole, from any thread
int OutputError;
std::string LastSaid;
FILE *Facts = stdout;
thread_local RunRecord *Recording;
thread_local bool Quiet;

// What this program says may carry text from outside it (names, mount
// points, identities): each line passes Shown, and only its own line ends
// stay. Windows' messages come in the console's code page.
std::string ShownLines(const std::string &text) {
#ifdef _WIN32
  const bool utf8 = false;
#else
  const bool utf8 = true;
#endif
  std::string shown;
  for (size_t at = 0; at <= text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    shown += Shown(text.substr(at, end - at), utf8);
    if (end < text.size()) shown += '\n';
    at = end + 1;
  }
  return shown;
}

}  // namespace

void Say(const char *format, ...) {
  va_list args, again;
  va_start(args, format);
  va_copy(again, args);
  int length = vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string line(length > 0 ? (size_t)length : 0, '\0');
  if (length > 0) vsnprintf(&line[0], line.size() + 1, format, again);
  va_end(again);
  if (Quiet) return;
  line = ShownLines(line);
  // Standard output may be the terminal standard error redraws a line on.
  if (Facts == stderr || OutputIsTerminal()) Screen::Errors().EndLive();
  std::lock_guard<std::mutex> hold(Speaking);
  if (Facts == stdout) LastSaid = line;
  if ((fputs(line.c_str(), Facts) < 0 || fflush(Facts) != 0) && OutputError == 0 && Facts == stdout)
    OutputError = errno;
}

void Complain(const std::string &text) {
  if (Recording != nullptr && Recording->reason.empty()) Recording->reason = text;
  if (Quiet) return;
  std::lock_guard<std::mutex> hold(Speaking);
  Screen::Errors().Lines("flashtool: " + ShownLines(text));
}

void Warn(const std::string &text) {
  if (Quiet) return;
  std::lock_guard<std::mutex> hold(Speaking);
  Screen::Errors().Lines("flashtool: " + ShownLines(text));
}

void Hint(Trouble trouble) {
  if (Recording != nullptr && Recording->trouble == TROUBLE_NONE) Recording->trouble = trouble;
  if (Quiet) return;
  std::lock_guard<std::mutex> hold(Speaking);
  // Each hint once in a run, however many drives it fits.
  static unsigned given;
  if (trouble == TROUBLE_NONE || (given & (1u << trouble)) != 0) return;
  given |= 1u << trouble;
  Screen::Errors().Lines(HintText(trouble), 6);
}

void FactsToStandardError(bool toError) { Facts = toError ? stderr : stdout; }

void SpeakFor(RunRecord *record, bool quiet) {
  Recording = record;
  Quiet = quiet;
}

int Finished(int code) {
  if (OutputError != 0) {
    Complain(std::string("standard output was lost (") + strerror(OutputError) + ")" +
             (LastSaid.empty() ? "" : "; it last said: " + LastSaid.substr(0, LastSaid.find('\n'))));
  }
  return code;
}

std::string ImageProblem(const LoadedImage &image) {
  switch (image.outcome) {
    case IMAGE_LOADED: return "";
    case IMAGE_NOT_OPENED: return "cannot open it: " + SystemErrorText(image.systemError);
    case IMAGE_NOT_A_FILE: return "not a regular file: an image is a file such as fw.bin";
    case IMAGE_SIZE_UNKNOWN: return "cannot tell its size: " + SystemErrorText(image.systemError);
    case IMAGE_EMPTY: return "it is empty";
    case IMAGE_TOO_LARGE:
      return "it holds " + std::to_string(image.plan.imageSize) +
             " bytes; the download command carries at most " + std::to_string(MAX_IMAGE_SIZE);
    case IMAGE_NO_MEMORY: return "not enough memory to hold it";
    case IMAGE_READ_FAILED:
      return "cannot read all of it" +
             (image.systemError != 0 ? ": " + SystemErrorText(image.systemError) : "");
    case IMAGE_CHANGED: return "it changed while it was read; try again once nothing writes to it";
  }
  return "unknown problem";
}

void ReadImageFacts(RunRecord &record, const LoadedImage &image) {
  if (image.outcome != IMAGE_LOADED) return;
  record.imageRead = true;
  record.imageSize = image.plan.imageSize;
  record.blocks = image.plan.lastIndex + 1;
  record.checksum = ImageChecksum(image.blocks, image.plan);
  record.sha256 = Sha256Hex(image.blocks, (size_t)image.plan.imageSize);
}

std::string DigestProblem(const RunRecord &record, const std::string &wanted) {
  if (!record.imageRead || wanted.empty() || SameDigest(record.sha256, wanted)) return "";
  return "its SHA-256 is " + record.sha256 + ", not " + wanted +
         " as --sha256 says: not the image its maker published";
}

std::string NoFirmwareWords(const LoadedImage &image) {
  if (image.outcome != IMAGE_LOADED) return "";
  const char *kind = PlainlyNoFirmware(image.blocks, (size_t)image.plan.imageSize);
  return kind != nullptr ? std::string("looks like ") + kind + ", not like firmware" : "";
}

void SayImage(const RunRecord &record) {
  Say("Image:  %s  %llu bytes, %d block%s, checksum %04X\n", record.imagePath.c_str(),
      (unsigned long long)record.imageSize, record.blocks, record.blocks == 1 ? "" : "s", record.checksum);
}

int OpenFailureExit(OpenFailure failure) {
  Hint(OpenTrouble(failure));
  return OpenFailureCode(failure);
}
