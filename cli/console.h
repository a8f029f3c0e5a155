// How the command line speaks. Standard output carries the facts (drives,
// identities, outcomes); the prompt, progress and complaints go to
// standard error, so that a closed or redirected output hides nothing the
// user must see. A reader that went away does not end the program: what
// could not be written is told once, at the end. Each thread speaks for
// one run's record; a worker of a flash of several drives speaks only into
// its record, and the table at the end tells what it said.
#ifndef FLASHTOOL_CLI_CONSOLE_H
#define FLASHTOOL_CLI_CONSOLE_H

#include <string>

#include "cli/hints.h"
#include "run/record.h"
#include "system/system.h"
#include "transport/image_file.h"

// A fact on standard output (standard error while it carries JSON).
void Say(const char *format, ...) __attribute__((format(printf, 1, 2)));
// "flashtool: TEXT" on standard error; the first one is the reason of the
// record this thread speaks for.
void Complain(const std::string &text);
void Hint(Trouble trouble);
// "flashtool: TEXT" on standard error, not taken as the record's reason:
// what a run goes on despite.
void Warn(const std::string &text);
// Facts go to standard error from now on (true), or back to standard output.
void FactsToStandardError(bool toError);
// What this thread says goes into `record` (may be null); `quiet`: only there.
void SpeakFor(RunRecord *record, bool quiet);
// The exit code, after telling that standard output was lost, if it was.
int Finished(int code);

// The exit code of a drive that could not be opened, after the hint that fits.
int OpenFailureExit(OpenFailure failure);

// Why an image cannot be flashed, in a sentence; empty when it can.
std::string ImageProblem(const LoadedImage &image);
// The facts of an image that loaded into the record: size, blocks,
// checksum and SHA-256. Nothing for one that did not.
void ReadImageFacts(RunRecord &record, const LoadedImage &image);
// Why an image that loaded is not the one --sha256 names (`wanted`); empty
// when it is, or when no digest is given.
std::string DigestProblem(const RunRecord &record, const std::string &wanted);
// "looks like a zip archive, not like firmware" of an image that plainly
// is none; empty otherwise.
std::string NoFirmwareWords(const LoadedImage &image);
// "Image:  PATH  SIZE bytes, N blocks, checksum XXXX" of the record's image.
void SayImage(const RunRecord &record);

#endif
