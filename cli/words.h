// Words for what a drive or its host adapter answered, from sg3_utils'
// library (both sense formats, every additional sense code it knows): on
// Linux by linking it, with the kernel's names of host and driver status;
// in the Windows console program from tables written from it at build
// time, with the adapter's status as a number.
#ifndef FLASHTOOL_CLI_WORDS_H
#define FLASHTOOL_CLI_WORDS_H

#include <string>

#include "core/scsi.h"

// "Check Condition"
std::string StatusWords(uint8_t status);
// "sense key 5 (Illegal Request), ASC 24h, ASCQ 00h: Invalid field in cdb"
std::string SenseWords(const CommandResult &result);
// "host status 01h (DID_NO_CONNECT), driver status 06h (DRIVER_TIMEOUT)"
std::string AdapterWords(const CommandResult &result);

#endif
