// Reads a dialog template resource, extended (DLGTEMPLATEEX) or classic
// (DLGTEMPLATE), into plain fields, so that tests can compare the bytes the
// dialog manager will see with what the program's windows expect.
#ifndef FLASHTOOL_TESTS_DIALOG_TEMPLATE_H
#define FLASHTOOL_TESTS_DIALOG_TEMPLATE_H

#include <windows.h>

#include <string>
#include <vector>

struct DialogItem {
    DWORD help, exstyle, style;
    short x, y, cx, cy;
    DWORD id;                 // a classic template stores 16 bits
    std::wstring cls, text;   // an ordinal reads as TemplateOrdinal(n)
    WORD extra;               // bytes of creation data
};

struct DialogTemplate {
    bool extended;
    DWORD help, exstyle, style;
    short x, y, cx, cy;
    std::wstring menu, cls, title;
    WORD points, weight;      // font fields: present with DS_SETFONT; weight,
    BYTE italic, charset;     // italic and charset only when extended
    std::wstring face;
    std::vector<DialogItem> items;
    size_t end;               // offset just after the last item
};

// An ordinal (0xFFFF, n) in a name-or-ordinal field, kept as those two units.
std::wstring TemplateOrdinal(WORD n);

DialogTemplate ParseDialogTemplate(const std::string& bytes);

#endif
