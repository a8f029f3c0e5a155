// Binding WNASPI32, with LoadLibraryA, GetProcAddress and MessageBoxA of this
// test program replaced in its import table.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "app/app_state.h"
#include "res/resource.h"
#include "app/aspi_binding.h"
#include "support/iat_patch.h"

namespace {

DWORD LoadError;             // 0: the library loads
std::string MissingEntry;    // the entry point the library lacks
DWORD SupportInfo;
std::string BoxText, BoxCaption;
UINT BoxStyle;
int Boxes;

const HMODULE FakeLibrary = (HMODULE)(INT_PTR)0x7E000000;

HMODULE WINAPI FakeLoadLibrary(LPCSTR name) {
  if (lstrcmpiA(name, "WNASPI32") != 0 || LoadError != 0) {
    SetLastError(LoadError);
    return NULL;
  }
  return FakeLibrary;
}

DWORD __cdecl FakeSupportInfo() { return SupportInfo; }
DWORD __cdecl FakeSend(void *) { return SS_COMP; }
BOOL __cdecl FakeBuffer(void *) { return FALSE; }
BOOL __cdecl FakeTranslate(DWORD *, DWORD *) { return FALSE; }

FARPROC WINAPI FakeGetProcAddress(HMODULE module, LPCSTR name) {
  if (module != FakeLibrary || MissingEntry == name) return NULL;
  std::string entry = name;
  if (entry == "GetASPI32SupportInfo") return (FARPROC)FakeSupportInfo;
  if (entry == "SendASPI32Command") return (FARPROC)FakeSend;
  if (entry == "TranslateASPI32Address") return (FARPROC)FakeTranslate;
  return (FARPROC)FakeBuffer;
}

int WINAPI FakeMessageBox(HWND, LPCSTR text, LPCSTR caption, UINT style) {
  ++Boxes;
  BoxText = text;
  BoxCaption = caption;
  BoxStyle = style;
  return IDOK;
}

struct Patch {
  const char *dll, *function;
  void *replacement, *original;
};

class AspiBindingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AppInstance = GetModuleHandleA(NULL);
    LoadStringA(AppInstance, IDS_CAPTION, MessageCaption, sizeof MessageCaption);
    LoadError = 0;
    MissingEntry.clear();
    SupportInfo = 0x0102;
    Boxes = 0;
    BoxText.clear();
    AspiBinding = AspiLayer();
    for (Patch &patch : patches)
      patch.original = PatchImport(GetModuleHandleA(NULL), patch.dll, patch.function, patch.replacement);
  }
  void TearDown() override {
    for (Patch &patch : patches) PatchImport(GetModuleHandleA(NULL), patch.dll, patch.function, patch.original);
    AspiBinding = AspiLayer();
  }
  std::string String(int id) {
    char text[256];
    LoadStringA(AppInstance, id, text, sizeof text);
    return text;
  }
  std::string InitFailedWith(const char *values) {
    std::string format = String(IDS_ASPI_INIT_FAILED);
    return format.substr(0, format.find("%lx")) + values + ").";
  }
  Patch patches[3] = {{"kernel32.dll", "LoadLibraryA", (void *)FakeLoadLibrary, NULL},
                      {"kernel32.dll", "GetProcAddress", (void *)FakeGetProcAddress, NULL},
                      {"user32.dll", "MessageBoxA", (void *)FakeMessageBox, NULL}};
};

TEST_F(AspiBindingTest, MissingLibraryNamesWhatIsNeededOrTheLoadError) {
  LoadError = ERROR_DLL_NOT_FOUND;
  EXPECT_EQ(0, BindAspi());
  EXPECT_EQ(String(IDS_ASPI_REQUIRED), BoxText);
  EXPECT_EQ("Flash Tool", BoxCaption);
  EXPECT_EQ((UINT)MB_ICONERROR, BoxStyle);

  LoadError = ERROR_MOD_NOT_FOUND;  // 126
  EXPECT_EQ(0, BindAspi());
  EXPECT_EQ(InitFailedWith("7e/1"), BoxText);
  EXPECT_EQ(2, Boxes);
}

TEST_F(AspiBindingTest, MissingEntryPointCountsAsAMissingLayer) {
  MissingEntry = "SendASPI32Command";
  EXPECT_EQ(0, BindAspi());
  EXPECT_EQ(String(IDS_ASPI_REQUIRED), BoxText);
}

TEST_F(AspiBindingTest, LayerThatIsNotReadyShowsItsStatus) {
  SupportInfo = 0x0000E800;
  EXPECT_EQ(0, BindAspi());
  EXPECT_EQ(InitFailedWith("0/e8"), BoxText);
}

TEST_F(AspiBindingTest, ReadyLayerBindsWithOrWithoutTranslation) {
  EXPECT_EQ(1, BindAspi());
  EXPECT_EQ(0, Boxes);
  EXPECT_NE(nullptr, AspiBinding.translateAddress);
  AspiBinding = AspiLayer();
  MissingEntry = "TranslateASPI32Address";
  EXPECT_EQ(1, BindAspi());
  EXPECT_EQ(nullptr, AspiBinding.translateAddress);
  EXPECT_EQ(0, Boxes);
}

}  // namespace
