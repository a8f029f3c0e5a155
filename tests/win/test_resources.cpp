// The resources as the program meets them: string texts through the ANSI
// loader on a code page 950 system, and the templates, icon group and
// manifest as stored in the built FlashTool.exe next to this test.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <tuple>

#include "res/resource.h"
#include "support/dialog_template.h"

namespace {

const WORD kEnUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

HMODULE Product() {
    static HMODULE module = [] {
        char path[MAX_PATH];
        DWORD n = GetModuleFileNameA(NULL, path, MAX_PATH);
        std::string exe(path, n);
        exe = exe.substr(0, exe.find_last_of("\\/") + 1) + "FlashTool.exe";
        return LoadLibraryExA(exe.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
    }();
    return module;
}

std::string Resource(LPCSTR type, WORD id) {
    HRSRC found = FindResourceExA(Product(), type, MAKEINTRESOURCEA(id), kEnUs);
    if (!found) return std::string();
    const char* data = static_cast<const char*>(LockResource(LoadResource(Product(), found)));
    return std::string(data, SizeofResource(Product(), found));
}

void ExpectItem(const DialogItem& got, DWORD style, DWORD exstyle, short x, short y, short cx,
                short cy, DWORD id, WORD atom, const std::wstring& text) {
    EXPECT_EQ(got.style, style);
    EXPECT_EQ(got.exstyle, exstyle);
    EXPECT_EQ(std::make_tuple(got.x, got.y, got.cx, got.cy), std::make_tuple(x, y, cx, cy));
    EXPECT_EQ(got.id, id);
    EXPECT_EQ(got.cls, TemplateOrdinal(atom));
    EXPECT_EQ(got.text, text);
    EXPECT_EQ(got.help, 0u);
    EXPECT_EQ(got.extra, 0u);  // no creation data
}

// (type, name, language) of every resource; all are numbered.
using Inventory = std::set<std::tuple<ULONG_PTR, ULONG_PTR, WORD>>;

BOOL CALLBACK OnLanguage(HMODULE, LPCSTR type, LPCSTR name, WORD lang, LONG_PTR seen) {
    reinterpret_cast<Inventory*>(seen)->emplace(reinterpret_cast<ULONG_PTR>(type),
                                                reinterpret_cast<ULONG_PTR>(name), lang);
    return TRUE;
}
BOOL CALLBACK OnName(HMODULE m, LPCSTR type, LPSTR name, LONG_PTR seen) {
    return EnumResourceLanguagesA(m, type, name, OnLanguage, seen);
}
BOOL CALLBACK OnType(HMODULE m, LPSTR type, LONG_PTR seen) {
    return EnumResourceNamesA(m, type, OnName, seen);
}

std::string LoadAnsi(UINT id) {
    char buf[256];
    int n = LoadStringA(Product(), id, buf, sizeof buf);
    return std::string(buf, n > 0 ? n : 0);
}

}  // namespace

TEST(Resources, RunsWithBig5AsAnsiCodePage) {
    EXPECT_EQ(GetACP(), 950u);
    ASSERT_NE(Product(), nullptr) << "FlashTool.exe not found next to the test";
}

TEST(Resources, StringTableHoldsExactlyTheSevenTextsInBig5) {
    const struct { UINT id; const char* big5; } texts[] = {
        {IDS_ASPI_INIT_FAILED,
         "\xA5\xBC\xAF\xE0\xD7\xB8\xA9l\xA4\xC6\xAA\xBA ASPI for Win32(%lx/%lx)."},
        {IDS_ASPI_REQUIRED,
         "\xA6\xB9\xB5{\xA6\xA1\xBB\xDD\xADn\xA4\xE4\xC2Z Win32 \xAA\xBA ASPI (i.e. WNASPI32.DLL) "
         "\xA4~\xAF\xE0\xA5\xBF\xB1`\xB0\xF5\xA6\xE6\xA1" "C"
         "This program requires ASPI for Win32 (i.e. WNASPI32.DLL) to run properly."},
        {IDS_WIN32S, "\xB3s\xC4\xF2\xB4\xFA\xB8\xD5 SCSI \xBA\xCF\xBA\xD0\xA4\xA3\xAF\xE0\xA6" "b"
                     " Win32s \xA4U\xB0\xF5\xA6\xE6\xA1" "C"},
        {IDS_NA, "N/A"},
        {IDS_CAPTION, "Flash Tool"},
        {IDS_AUTOPLAY_DISABLED,
         "Auto play function has been disabled!\nWindows will restart now!!\n"
         "Please execute flash tool again!!\n\n\nDo you want to restart windows now?"},
        {IDS_UNSUPPORTED_WINDOWS,
         "\xA6\xB9 Windows \xAA\xA9\xA5\xBB\xA4\xA3\xB3Q\xA4\xE4\xB4\xA9\xA1" "C"},
    };
    std::set<UINT> present;
    for (const auto& t : texts) {
        EXPECT_EQ(LoadAnsi(t.id), t.big5) << "string " << t.id;
        present.insert(t.id);
    }
    for (UINT id = 0; id < 128; ++id)
        if (!present.count(id)) EXPECT_EQ(LoadAnsi(id), "") << "string " << id;

    EXPECT_EQ(LoadAnsi(IDS_ASPI_REQUIRED).size(), 136u);  // the longest, in Big5
    std::string restart = LoadAnsi(IDS_AUTOPLAY_DISABLED);
    EXPECT_EQ(restart.size(), 136u);
    EXPECT_EQ(std::count(restart.begin(), restart.end(), '\n'), 5);
    EXPECT_EQ(restart.find('\r'), std::string::npos);
}

TEST(Resources, EveryResourceIsUsEnglishAndNothingElseIsThere) {
    Inventory found;
    ASSERT_TRUE(EnumResourceTypesA(Product(), OnType, reinterpret_cast<LONG_PTR>(&found)));
    const Inventory expected = {
        {3, 1, kEnUs}, {3, 2, kEnUs},                  // icon images
        {5, IDD_MAIN, kEnUs}, {5, IDD_SCSI_FAILURE, kEnUs},
        {6, IDS_ASPI_INIT_FAILED / 16 + 1, kEnUs},     // one string block, 48..63
        {14, IDI_MAIN, kEnUs}, {16, 1, kEnUs},         // icon group, version
        {24, 1, kEnUs},                                // manifest
    };
    EXPECT_EQ(found, expected);
}

TEST(Resources, MainWindowTemplateIsAnExtendedTemplateOfThreeControls) {
    std::string bytes = Resource(RT_DIALOG, IDD_MAIN);
    ASSERT_FALSE(bytes.empty());
    DialogTemplate t = ParseDialogTemplate(bytes);
    EXPECT_TRUE(t.extended);
    EXPECT_EQ(t.style, 0x80CA0040u);  // not WS_VISIBLE, no maximise box, no sizing border
    EXPECT_EQ(t.exstyle, 0u);
    EXPECT_EQ(t.help, 0u);
    EXPECT_EQ(std::make_tuple(t.x, t.y, t.cx, t.cy), std::make_tuple(0, 0, 272, 134));
    EXPECT_EQ(t.menu, L"");
    EXPECT_EQ(t.cls, L"VELDRIN");
    EXPECT_EQ(t.title, L"\"Quor\" Auto Detect IDE-Port Device Tool (\u7248\u672C 1.0)");
    EXPECT_EQ(t.title.size(), 48u);
    EXPECT_EQ(std::make_tuple(t.points, t.weight, t.italic, t.charset),
              std::make_tuple(8, 0, 0, 1));  // DEFAULT_CHARSET
    EXPECT_EQ(t.face, L"MS Sans Serif");
    ASSERT_EQ(t.items.size(), 3u);
    ExpectItem(t.items[0], 0x5082000C, WS_EX_STATICEDGE, 15, 10, 161, 13, 0xFFFFFFFF, 0x82,
               L"IDE Port CD-ROM/DVD-ROM/CD-RW Devices:");
    ExpectItem(t.items[1], 0x50A30081, 0, 15, 35, 245, 55, IDC_DEVICE_LIST, 0x83, L"");
    ExpectItem(t.items[2], 0x50010001, 0, 15, 100, 243, 22, IDOK, 0x80, L"\u9000\u51FA");
    EXPECT_EQ(t.end, bytes.size());
}

TEST(Resources, FailureTemplateIsAClassicTemplateOfSixteenControls) {
    std::string bytes = Resource(RT_DIALOG, IDD_SCSI_FAILURE);
    ASSERT_FALSE(bytes.empty());
    DialogTemplate t = ParseDialogTemplate(bytes);
    EXPECT_FALSE(t.extended);
    EXPECT_EQ(t.style, 0x80C800C0u);
    EXPECT_EQ(t.exstyle, 0u);
    EXPECT_EQ(std::make_tuple(t.x, t.y, t.cx, t.cy), std::make_tuple(29, 18, 237, 139));
    EXPECT_EQ(t.menu, L"");
    EXPECT_EQ(t.cls, L"");
    EXPECT_EQ(t.title, L"!!! SCSI \u6307\u4EE4\u5931\u6557 !!!");
    EXPECT_EQ(t.points, 8);
    EXPECT_EQ(t.face, L"MS Sans Serif");
    ASSERT_EQ(t.items.size(), 16u);
    const wchar_t* labels[] = {L"Target SCSI ID:", L"SCSI CDB Sent:", L"Host Adapter Status:",
                               L"Target Status:", L"Sense Key:", L"Additional Sense Code:",
                               L"+Sense Code Qualifier:"};
    for (int row = 0; row < 7; ++row) {
        SCOPED_TRACE(row + 1);
        short y = short(8 + 15 * row);
        ExpectItem(t.items[2 * row], 0x50020002, 0, 6, y, 88, 8, 0xFFFF, 0x82, labels[row]);
        ExpectItem(t.items[2 * row + 1], 0x50020000, 0, 109, y, 120, 8, IDC_FAIL_TARGET + row,
                   0x82, L"");
    }
    ExpectItem(t.items[14], 0x50010000, 0, 101, 121, 34, 14, IDCANCEL, 0x80, L"\u78BA\u5B9A");
    ExpectItem(t.items[15], 0x50001007, 0, 4, 4, 229, 110, 0xFFFF, 0x82, L"");
    EXPECT_EQ(t.end, bytes.size());
}

TEST(Resources, IconGroupHolds32And16PixelImagesOf16Colours) {
#pragma pack(push, 2)
    struct Entry {  // GRPICONDIRENTRY
        BYTE width, height, colours, reserved;
        WORD planes, bits;
        DWORD length;
        WORD id;
    };
#pragma pack(pop)
    std::string group = Resource(RT_GROUP_ICON, IDI_MAIN);
    ASSERT_EQ(group.size(), 6 + 2 * sizeof(Entry));
    EXPECT_EQ(group.substr(0, 6), std::string("\0\0\1\0\2\0", 6));  // an icon group of two
    const struct { BYTE size; WORD id; } images[] = {{32, 1}, {16, 2}};
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(images[i].size);
        Entry e;
        memcpy(&e, group.data() + 6 + i * sizeof e, sizeof e);
        EXPECT_EQ(std::make_tuple(e.width, e.height, e.colours, e.planes, e.bits, e.id),
                  std::make_tuple(images[i].size, images[i].size, 16, 1, 4, images[i].id));
        std::string image = Resource(RT_ICON, e.id);
        ASSERT_EQ(image.size(), e.length);
        BITMAPINFOHEADER header;
        memcpy(&header, image.data(), sizeof header);
        // Twice the height: the colour bits and the transparency mask.
        EXPECT_EQ(std::make_tuple(header.biWidth, header.biHeight, header.biBitCount),
                  std::make_tuple(LONG(e.width), LONG(2 * e.width), WORD(4)));
        HICON icon = CreateIconFromResourceEx(reinterpret_cast<BYTE*>(&image[0]), e.length, TRUE,
                                              0x00030000, e.width, e.width, 0);
        EXPECT_NE(icon, nullptr);
        if (icon) DestroyIcon(icon);
    }
}

TEST(Resources, ManifestAsksForAdministratorAndCommonControls6) {
    std::string manifest = Resource(MAKEINTRESOURCEA(24), 1);
    EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos);
    EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
              std::string::npos);
    EXPECT_NE(manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"), std::string::npos);
}
