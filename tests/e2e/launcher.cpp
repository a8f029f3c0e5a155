#include "e2e/launcher.h"

#include <cstring>
#include <vector>

namespace {

// The part of PROCESS_BASIC_INFORMATION we read, laid out as ntdll fills it.
struct BasicInformation {
  void *exitStatus;
  BYTE *peb;
  void *reserved[2];
  ULONG_PTR processId;
  void *parentProcessId;
};
typedef LONG(WINAPI *QueryInformationProcess)(HANDLE, int, void *, ULONG, ULONG *);

#ifdef _WIN64
const SIZE_T PEB_IMAGE_BASE = 0x10;
// At the entry point: mov rax, stub; jmp rax.
const BYTE JUMP[] = {0x48, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xE0};
const size_t JUMP_TARGET = 2;
#else
const SIZE_T PEB_IMAGE_BASE = 0x08;
// At the entry point: mov eax, stub; jmp eax.
const BYTE JUMP[] = {0xB8, 0, 0, 0, 0, 0xFF, 0xE0};
const size_t JUMP_TARGET = 1;
#endif

const BYTE COUNT[] = {0xB9, sizeof JUMP, 0, 0, 0};  // mov ecx, the patch's length

void Put(std::vector<BYTE> &code, const void *bytes, size_t n) {
  code.insert(code.end(), (const BYTE *)bytes, (const BYTE *)bytes + n);
}
void PutPointer(std::vector<BYTE> &code, ULONG_PTR value) { Put(code, &value, sizeof value); }

// The stub calls LoadLibraryA(path), puts the entry point's original bytes
// back and jumps to the entry point with every argument register as it was.
std::vector<BYTE> Stub(ULONG_PTR path, ULONG_PTR loadLibrary, ULONG_PTR saved, ULONG_PTR entry) {
  std::vector<BYTE> c;
#ifdef _WIN64
  const BYTE save[] = {0x51, 0x52, 0x41, 0x50, 0x41, 0x51, 0x56, 0x57,  // push rcx rdx r8 r9 rsi rdi
                       0x48, 0x83, 0xEC, 0x28};                         // sub rsp, 40 (aligns to 16)
  Put(c, save, sizeof save);
  Put(c, "\x48\xB9", 2), PutPointer(c, path);         // mov rcx, path
  Put(c, "\x48\xB8", 2), PutPointer(c, loadLibrary);  // mov rax, LoadLibraryA
  Put(c, "\xFF\xD0", 2);                              // call rax
  Put(c, "\x48\xBE", 2), PutPointer(c, saved);        // mov rsi, saved bytes
  Put(c, "\x48\xBF", 2), PutPointer(c, entry);        // mov rdi, entry
  Put(c, COUNT, sizeof COUNT);                        // mov ecx, length
  Put(c, "\xF3\xA4", 2);                              // rep movsb
  const BYTE restore[] = {0x48, 0x83, 0xC4, 0x28,     // add rsp, 40
                          0x5F, 0x5E, 0x41, 0x59, 0x41, 0x58, 0x5A, 0x59};  // pop rdi rsi r9 r8 rdx rcx
  Put(c, restore, sizeof restore);
  Put(c, "\x48\xB8", 2), PutPointer(c, entry);        // mov rax, entry
  Put(c, "\xFF\xE0", 2);                              // jmp rax
#else
  Put(c, "\x60", 1);                                  // pushad
  Put(c, "\x68", 1), PutPointer(c, path);             // push path
  Put(c, "\xB8", 1), PutPointer(c, loadLibrary);      // mov eax, LoadLibraryA
  Put(c, "\xFF\xD0", 2);                              // call eax (it pops the argument)
  Put(c, "\xBE", 1), PutPointer(c, saved);            // mov esi, saved bytes
  Put(c, "\xBF", 1), PutPointer(c, entry);            // mov edi, entry
  Put(c, COUNT, sizeof COUNT);                        // mov ecx, length
  Put(c, "\xF3\xA4", 2);                              // rep movsb
  Put(c, "\x61", 1);                                  // popad
  Put(c, "\xB8", 1), PutPointer(c, entry);            // mov eax, entry
  Put(c, "\xFF\xE0", 2);                              // jmp eax
#endif
  return c;
}

BYTE *ImageBase(HANDLE process) {
  QueryInformationProcess query = (QueryInformationProcess)(void *)GetProcAddress(
      GetModuleHandleA("ntdll.dll"), "NtQueryInformationProcess");
  BasicInformation info = {};
  BYTE *base = NULL;
  if (query != NULL && query(process, 0, &info, sizeof info, NULL) == 0 && info.peb != NULL &&
      ReadProcessMemory(process, info.peb + PEB_IMAGE_BASE, &base, sizeof base, NULL)) {
    return base;
  }
  return NULL;
}

}  // namespace

bool StartInjected(const std::string &exe, const std::string &arguments, const std::string &dll, PROCESS_INFORMATION *started,
                   std::string *error, HANDLE output) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  if (output != NULL) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = output;
  }
  std::string commandLine = "\"" + exe + "\"" + (arguments.empty() ? "" : " " + arguments);
  if (!CreateProcessA(exe.c_str(), &commandLine[0], NULL, NULL, output != NULL, CREATE_SUSPENDED, NULL,
                      NULL, &startup, started)) {
    *error = "CreateProcess " + exe + " failed, error " + std::to_string(GetLastError());
    return false;
  }
  HANDLE process = started->hProcess;
  auto fail = [&](const std::string &step) {
    *error = step + " failed, error " + std::to_string(GetLastError());
    TerminateProcess(process, 1);
    CloseHandle(started->hThread);
    CloseHandle(process);
    return false;
  };

  BYTE *base = ImageBase(process);
  BYTE headers[4096];
  if (base == NULL || !ReadProcessMemory(process, base, headers, sizeof headers, NULL))
    return fail("finding the image base");
  const IMAGE_DOS_HEADER *dos = (const IMAGE_DOS_HEADER *)headers;
  if (dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew <= 0 ||
      dos->e_lfanew + sizeof(IMAGE_NT_HEADERS) > sizeof headers)
    return fail("reading the image headers");
  const IMAGE_NT_HEADERS *nt = (const IMAGE_NT_HEADERS *)(headers + dos->e_lfanew);
  BYTE *entry = base + nt->OptionalHeader.AddressOfEntryPoint;

  // kernel32 sits at the same address in every process of one word size.
  ULONG_PTR loadLibrary =
      (ULONG_PTR)(void *)GetProcAddress(GetModuleHandleA("kernel32.dll"), "LoadLibraryA");
  BYTE saved[sizeof JUMP];
  if (!ReadProcessMemory(process, entry, saved, sizeof saved, NULL))
    return fail("reading the entry point");

  // Remote block: the DLL path, the entry point's own bytes, then the stub.
  SIZE_T pathSize = (dll.size() + 16) & ~(SIZE_T)15;
  BYTE *block = (BYTE *)VirtualAllocEx(process, NULL, 4096, MEM_COMMIT | MEM_RESERVE,
                                       PAGE_EXECUTE_READWRITE);
  if (block == NULL) return fail("VirtualAllocEx");
  BYTE *savedAt = block + pathSize, *stubAt = savedAt + 16;
  std::vector<BYTE> stub =
      Stub((ULONG_PTR)block, loadLibrary, (ULONG_PTR)savedAt, (ULONG_PTR)entry);
  BYTE jump[sizeof JUMP];
  memcpy(jump, JUMP, sizeof jump);
  ULONG_PTR target = (ULONG_PTR)stubAt;
  memcpy(jump + JUMP_TARGET, &target, sizeof target);

  DWORD oldProtect;
  if (!WriteProcessMemory(process, block, dll.c_str(), dll.size() + 1, NULL) ||
      !WriteProcessMemory(process, savedAt, saved, sizeof saved, NULL) ||
      !WriteProcessMemory(process, stubAt, stub.data(), stub.size(), NULL))
    return fail("writing the stub");
  // The stub writes the original bytes back, so the page stays writable.
  if (!VirtualProtectEx(process, entry, sizeof jump, PAGE_EXECUTE_READWRITE, &oldProtect) ||
      !WriteProcessMemory(process, entry, jump, sizeof jump, NULL))
    return fail("patching the entry point");
  FlushInstructionCache(process, entry, sizeof jump);
  if (ResumeThread(started->hThread) == (DWORD)-1) return fail("ResumeThread");
  return true;
}
