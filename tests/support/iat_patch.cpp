#include "support/iat_patch.h"

#include <cstring>

namespace {

template <typename Thunk, typename Ordinal>
void **FindSlot(BYTE *base, const IMAGE_IMPORT_DESCRIPTOR *import, const char *function,
                Ordinal ordinalFlag) {
  // Without the hint table (some linkers drop it) the bound table still holds names.
  DWORD namesRva = import->OriginalFirstThunk ? import->OriginalFirstThunk : import->FirstThunk;
  const Thunk *names = (const Thunk *)(base + namesRva);
  Thunk *slots = (Thunk *)(base + import->FirstThunk);
  for (; names->u1.AddressOfData != 0; ++names, ++slots) {
    if (names->u1.Ordinal & ordinalFlag) continue;
    const IMAGE_IMPORT_BY_NAME *byName = (const IMAGE_IMPORT_BY_NAME *)(base + names->u1.AddressOfData);
    if (strcmp((const char *)byName->Name, function) == 0) return (void **)&slots->u1.Function;
  }
  return NULL;
}

}  // namespace

void *PatchImport(HMODULE module, const char *dll, const char *function, void *replacement) {
  BYTE *base = (BYTE *)module;
  const IMAGE_DOS_HEADER *dos = (const IMAGE_DOS_HEADER *)base;
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return NULL;
  const IMAGE_NT_HEADERS32 *nt = (const IMAGE_NT_HEADERS32 *)(base + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE) return NULL;

  const IMAGE_DATA_DIRECTORY *directory;
  bool wide = nt->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC;
  if (wide) {
    directory = &((const IMAGE_NT_HEADERS64 *)nt)->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  } else {
    directory = &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  }
  if (directory->VirtualAddress == 0) return NULL;
  // A slot is one pointer of the image's word size; only a module of our own
  // word size can be running in this process.
  if (wide != (sizeof(void *) == 8)) return NULL;

  for (const IMAGE_IMPORT_DESCRIPTOR *import =
           (const IMAGE_IMPORT_DESCRIPTOR *)(base + directory->VirtualAddress);
       import->Name != 0; ++import) {
    if (lstrcmpiA((const char *)(base + import->Name), dll) != 0) continue;
    void **slot = wide ? FindSlot<IMAGE_THUNK_DATA64>(base, import, function, IMAGE_ORDINAL_FLAG64)
                       : FindSlot<IMAGE_THUNK_DATA32>(base, import, function, IMAGE_ORDINAL_FLAG32);
    if (slot == NULL) continue;
    // The table may sit in a read-only section once the loader has bound it.
    DWORD oldProtect;
    if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &oldProtect)) return NULL;
    void *original = *slot;
    *slot = replacement;
    VirtualProtect(slot, sizeof *slot, oldProtect, &oldProtect);
    return original;
  }
  return NULL;
}
