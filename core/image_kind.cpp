#include "core/image_kind.h"

#include <cstring>

namespace {

struct Signature {
  size_t offset;
  const char *bytes;
  size_t length;
  const char *kind;
};

// The first bytes that programs and archives begin with.
const Signature Signatures[] = {
    {0, "\x7f" "ELF", 4, "a Linux program (ELF)"},
    {0, "MZ", 2, "a Windows or DOS program"},
    {0, "PK\x03\x04", 4, "a zip archive"},
    {0, "PK\x05\x06", 4, "an empty zip archive"},
    {0, "\x1f\x8b", 2, "a gzip archive"},
    {0, "BZh", 3, "a bzip2 archive"},
    {0, "\xfd" "7zXZ\x00", 6, "an xz archive"},
    {0, "7z\xbc\xaf\x27\x1c", 6, "a 7-Zip archive"},
    {0, "Rar!\x1a\x07", 6, "a RAR archive"},
    {0, "MSCF", 4, "a cabinet archive"},
    {0, "%PDF", 4, "a PDF document"},
    {257, "ustar", 5, "a tar archive"},
};

bool AllBytes(const uint8_t *data, size_t size, uint8_t value) {
  for (size_t i = 0; i < size; ++i)
    if (data[i] != value) return false;
  return true;
}

// Printable ASCII, line ends and tabs, and the bytes of other scripts in
// UTF-8; firmware has control bytes (00h above all) all over it.
bool LooksLikeText(const uint8_t *data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    uint8_t b = data[i];
    if (b == 0x7f || (b < 0x20 && b != '\t' && b != '\n' && b != '\r')) return false;
  }
  return true;
}

}  // namespace

const char *PlainlyNoFirmware(const uint8_t *data, size_t size) {
  if (data == nullptr || size == 0) return nullptr;
  for (const Signature &s : Signatures)
    if (size >= s.offset + s.length && memcmp(data + s.offset, s.bytes, s.length) == 0) return s.kind;
  if (AllBytes(data, size, 0x00)) return "nothing but 00h bytes";
  if (AllBytes(data, size, 0xFF)) return "nothing but FFh bytes (an erased chip)";
  if (LooksLikeText(data, size)) return "text";
  return nullptr;
}
