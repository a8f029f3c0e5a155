#include "support/dialog_template.h"

#include <cstring>

namespace {

// Reads past the end as zeros, so a truncated template shows up as wrong
// fields in the comparison instead of a crash.
struct Reader {
    const std::string& d;
    size_t p;
    template <typename T> T Get() {
        T v{};
        if (p + sizeof v <= d.size()) memcpy(&v, d.data() + p, sizeof v);
        p += sizeof v;
        return v;
    }
    std::wstring Text() {
        std::wstring s;
        for (wchar_t c; p < d.size() && (c = Get<wchar_t>()) != 0;) s += c;
        return s;
    }
    std::wstring NameOrOrdinal() {
        if (p + 2 <= d.size() && d.compare(p, 2, "\xFF\xFF") == 0) {
            p += 2;
            return TemplateOrdinal(Get<WORD>());
        }
        return Text();
    }
    void Align() { p = (p + 3) & ~size_t(3); }
};

}  // namespace

std::wstring TemplateOrdinal(WORD n) { return std::wstring{wchar_t(0xFFFF), wchar_t(n)}; }

DialogTemplate ParseDialogTemplate(const std::string& bytes) {
    Reader r{bytes, 0};
    DialogTemplate t{};
    t.extended = r.Get<DWORD>() == 0xFFFF0001;  // version 1, signature 0xFFFF
    if (t.extended) {
        t.help = r.Get<DWORD>(), t.exstyle = r.Get<DWORD>(), t.style = r.Get<DWORD>();
    } else {
        r.p = 0;
        t.style = r.Get<DWORD>(), t.exstyle = r.Get<DWORD>();
    }
    WORD count = r.Get<WORD>();
    t.x = r.Get<short>(), t.y = r.Get<short>(), t.cx = r.Get<short>(), t.cy = r.Get<short>();
    t.menu = r.NameOrOrdinal(), t.cls = r.NameOrOrdinal(), t.title = r.Text();
    if (t.style & DS_SETFONT) {
        t.points = r.Get<WORD>();
        if (t.extended) {
            t.weight = r.Get<WORD>(), t.italic = r.Get<BYTE>(), t.charset = r.Get<BYTE>();
        }
        t.face = r.Text();
    }
    for (WORD i = 0; i < count && r.p < bytes.size(); ++i) {
        r.Align();
        DialogItem c{};
        if (t.extended) {
            c.help = r.Get<DWORD>(), c.exstyle = r.Get<DWORD>(), c.style = r.Get<DWORD>();
        } else {
            c.style = r.Get<DWORD>(), c.exstyle = r.Get<DWORD>();
        }
        c.x = r.Get<short>(), c.y = r.Get<short>(), c.cx = r.Get<short>(), c.cy = r.Get<short>();
        c.id = t.extended ? r.Get<DWORD>() : r.Get<WORD>();
        c.cls = r.NameOrOrdinal(), c.text = r.NameOrOrdinal(), c.extra = r.Get<WORD>();
        r.p += c.extra;
        t.items.push_back(c);
    }
    t.end = r.p;
    return t;
}
