// Build tool, run on the build machine: writes the words of sg3_utils'
// library (libsgutils2) for SCSI status, sense keys and additional sense
// codes as C++ tables, so that the Windows programs, which cannot link the
// library, say what the Linux one says. Only the additional sense codes
// whose words differ from the library's own fallback for unknown codes are
// written; the fallback is rebuilt in code on the other side.
//   sense_words OUTPUT
#include <scsi/sg_lib.h>

#include <cstdio>
#include <cstring>
#include <string>

// What the library says of a code it does not know: a vendor's ASC, a
// vendor's ASCQ, neither. Written out too, for words_windows.cpp.
static const char *const UnknownFormats[3] = {"vendor specific ASC=%02x, ASCQ=%02x (hex)",
                                              "ASC=%02x, vendor specific qualification ASCQ=%02x (hex)",
                                              "ASC=%02x, ASCQ=%02x (hex)"};

static std::string Fallback(int asc, int ascq) {
  char text[96];
  snprintf(text, sizeof text, UnknownFormats[asc >= 0x80 ? 0 : ascq >= 0x80 ? 1 : 2], asc, ascq);
  return text;
}

// A C string literal of the text.
static std::string Literal(const char *text) {
  std::string out = "\"";
  for (const char *c = text; *c; ++c) {
    if (*c == '"' || *c == '\\') out += '\\';
    out += *c;
  }
  return out + "\"";
}

int main(int argc, char **argv) {
  if (argc != 2 || freopen(argv[1], "w", stdout) == nullptr) {
    fprintf(stderr, "usage: sense_words OUTPUT\n");
    return 2;
  }
  char text[256];
  printf("// Generated at build time from libsgutils2 by cmake/sense_words.cpp; do not edit.\n");
  printf("static const char *const StatusText[256] = {\n");
  for (int status = 0; status < 256; ++status) {
    sg_get_scsi_status_str(status, sizeof text, text);
    printf("  %s,\n", Literal(text).c_str());
  }
  printf("};\nstatic const char *const SenseKeyText[16] = {\n");
  for (int key = 0; key < 16; ++key) {
    sg_get_sense_key_str(key, sizeof text, text);
    printf("  %s,\n", Literal(text).c_str());
  }
  printf("};\nstatic const char *const UnknownFormats[3] = {\n");
  for (const char *format : UnknownFormats) printf("  %s,\n", Literal(format).c_str());
  printf("};\nstruct AscText { unsigned char asc, ascq; const char *text; };\n");
  printf("static const AscText AscTexts[] = {\n");
  for (int asc = 0; asc < 256; ++asc)
    for (int ascq = 0; ascq < 256; ++ascq) {
      sg_get_asc_ascq_str(asc, ascq, sizeof text, text);
      if (Fallback(asc, ascq) != text) printf("  {0x%02x, 0x%02x, %s},\n", asc, ascq, Literal(text).c_str());
    }
  printf("};\n");
  return fclose(stdout) == 0 ? 0 : 1;
}
