#include "cli/words.h"

#include <scsi/sg_io_linux.h>
#include <scsi/sg_lib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

std::string StatusWords(uint8_t status) {
  char text[128] = "";
  sg_get_scsi_status_str(status, sizeof text, text);
  return text;
}

std::string SenseWords(const CommandResult &result) {
  struct sg_scsi_sense_hdr codes;
  if (!sg_scsi_normalize_sense(result.sense, result.senseLength, &codes)) return "no sense data";
  char key[80] = "", meaning[160] = "", text[320];
  sg_get_sense_key_str(codes.sense_key, sizeof key, key);
  sg_get_asc_ascq_str(codes.asc, codes.ascq, sizeof meaning, meaning);
  const char *words = meaning;
  if (strncmp(words, "Additional sense: ", 18) == 0) words += 18;
  snprintf(text, sizeof text, "sense key %X (%s), ASC %02Xh, ASCQ %02Xh: %s", codes.sense_key, key,
           codes.asc, codes.ascq, words);
  return text;
}

// The library prints these names only to its warnings stream.
static std::string Printed(void (*print)(int), int value) {
  char *text = nullptr;
  size_t size = 0;
  FILE *stream = open_memstream(&text, &size);
  if (stream == nullptr) return "";
  sg_set_warnings_strm(stream);
  print(value);
  sg_set_warnings_strm(stderr);
  fclose(stream);
  std::string printed = text != nullptr ? text : "";
  free(text);
  size_t open = printed.find('['), close = printed.find(']');
  return open != std::string::npos && close > open ? printed.substr(open + 1, close - open - 1) : "";
}

std::string AdapterWords(const CommandResult &result) {
  std::string words;
  char text[96];
  if (result.hostStatus != 0) {
    snprintf(text, sizeof text, "host status %02Xh", result.hostStatus);
    words = text;
    std::string name = Printed(sg_print_host_status, (int)result.hostStatus);
    if (!name.empty()) words += " (" + name + ")";
  }
  int driver = (int)(result.driverStatus & SG_LIB_DRIVER_MASK);
  if (driver != 0 && driver != SG_LIB_DRIVER_SENSE) {
    snprintf(text, sizeof text, "driver status %02Xh", result.driverStatus);
    words += (words.empty() ? "" : ", ") + std::string(text);
    std::string name = Printed(sg_print_driver_status, (int)result.driverStatus);
    if (!name.empty()) words += " (" + name + ")";
  }
  return words.empty() ? "the host adapter ended the command" : words;
}
