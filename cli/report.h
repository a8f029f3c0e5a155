// The command line's texts: drive lines, JSON, failure reasons, progress.
// Portable.
#ifndef FLASHTOOL_CLI_REPORT_H
#define FLASHTOOL_CLI_REPORT_H

#include <string>
#include <vector>

#include "system/system.h"
#include "core/scsi.h"

// "QUOR VIRTUAL CD-RW, firmware 1.00"
std::string IdentityText(const DriveIdentity &identity);
// "/dev/sr0    /dev/sg0    0:0:0:0    scsi   QUOR      VIRTUAL CD-RW     1.00":
// device, sg node and address (Linux), bus, vendor, product, revision.
std::string ListLine(const ListedDrive &drive);
std::string ListHeader();
// [{"device": ..., "sg": ..., "address": ..., "bus": ..., "vendor": ...,
// "product": ..., "revision": ...}, ...], null where a value is unknown,
// and "error" for a drive that could not be asked.
std::string DrivesJson(const std::vector<ListedDrive> &drives);

bool IsBlank(const std::string &text);
// A device's name before what is said of it: "/dev/sr0: ", and "D: " for
// a drive letter, which has its colon already.
std::string Named(const std::string &device);
// Whether two digests in hex are the same, whatever the case of their letters.
bool SameDigest(const std::string &a, const std::string &b);

// `text` in lines of at most `width` characters (a word longer than that
// keeps its line), the first after `first` blanks, the others after `indent`.
std::string Wrapped(const std::string &text, size_t first, size_t indent, size_t width);


// Why a command failed, e.g. "SCSI status 02h (Check Condition), sense key
// 5 (Illegal Request), ASC 24h, ASCQ 00h: Invalid field in cdb";
// `systemText` words a system error.
std::string FailureReason(const CommandResult &result, const std::string &systemText);

// "0:41", "12:05": minutes and seconds.
std::string MinutesSeconds(double seconds);

// Progress of a flash in one form, "Written 2 of 8 blocks (25%), 81920 of
// 300000 bytes, 0:01, about 0:03 left": the bytes are the image's own.
std::string ProgressText(int sent, int blocks, uint64_t imageBytes, double seconds);

#endif
