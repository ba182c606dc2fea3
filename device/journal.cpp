// journal.cpp - the device's journal: how its entries are opened, closed and
// written out, windows by class and structures field by field, so that a test
// can compare a whole call sequence as text.
#include "device/journal.h"

#include "device/device.h"

#include <cinttypes>
#include <cstdio>

namespace device {

std::string JournalEntry::ToString() const {
    std::string s = what + "(" + args + ")";
    if (!shown.empty())
        s += " -> " + shown;
    return s;
}

// Arg: splits `args` at the ", " between values, not inside a structure or
// quoted text.
std::string JournalEntry::Arg(size_t n) const {
    int depth = 0;
    char quote = 0;
    size_t start = 0, at = 0;
    for (size_t i = 0; i <= args.size(); ++i) {
        char c = i < args.size() ? args[i] : ',';
        if (quote) {
            if (c == '\\')
                ++i;
            else if (c == quote)
                quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '{') {
            ++depth;
        } else if (c == '}') {
            --depth;
        } else if (c == ',' && depth == 0) {
            if (at++ == n)
                return args.substr(start, i - start);
            start = i + 2; // past ", "
        }
    }
    return {};
}

size_t Device::Open(const char* what, HWND h, std::string args) {
    JournalEntry e;
    e.what = what;
    e.hwnd = h;
    e.args = std::move(args);
    journal.push_back(std::move(e));
    return journal.size() - 1;
}

void Device::JournalClose(size_t at, int64_t result, std::string shown) {
    if (at >= journal.size())
        return;
    journal[at].result = result;
    journal[at].shown = std::move(shown);
}

uint64_t JournalCall::ReturnHex(uint64_t r) {
    if (On()) {
        JournalArgs shown(dev_);
        shown.Ptr((const void*)(uintptr_t)r);
        dev_.JournalClose(at_, (int64_t)r, shown.text);
    }
    return r;
}

HWND JournalCall::ReturnWnd(HWND h) {
    if (On())
        dev_.JournalClose(at_, (int64_t)(uintptr_t)h, dev_.WindowName(h));
    return h;
}

std::string Device::WindowName(HWND h) const {
    if (!h)
        return "NULL";
    uintptr_t v = (uintptr_t)h;
    if (const Window* w = Find((HWND)(v & ~(uintptr_t)1)))
        return "<" + Narrow(w->cls) + ">" + ((v & 1) ? "|1" : "");
    char buf[32];
    std::snprintf(buf, sizeof buf, "%#" PRIxPTR, v);
    return buf;
}

// Sep: ", " between two values, none after "{" or "=" or at the start.
void JournalArgs::Sep() {
    if (!text.empty() && text.back() != '{' && text.back() != '=')
        text += ", ";
}

JournalArgs& JournalArgs::Int(int64_t v) {
    Sep();
    text += std::to_string(v);
    return *this;
}

JournalArgs& JournalArgs::Hex(uint64_t v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%" PRIx64, v);
    Sep();
    text += buf;
    return *this;
}

JournalArgs& JournalArgs::Wnd(HWND h) {
    Sep();
    text += dev_.WindowName(h);
    return *this;
}

JournalArgs& JournalArgs::Ptr(const void* p) {
    if (!p) {
        Sep();
        text += "NULL";
        return *this;
    }
    return Hex((uint64_t)(uintptr_t)p);
}

JournalArgs& JournalArgs::Out(const void* p) {
    Sep();
    text += p ? "out" : "NULL";
    return *this;
}

// Appends one character of quoted text, escaped as C does.
static void Quoted(std::string& out, uint32_t c) {
    char buf[16];
    switch (c) {
    case '"':
        out += "\\\"";
        return;
    case '\\':
        out += "\\\\";
        return;
    case '\t':
        out += "\\t";
        return;
    case '\r':
        out += "\\r";
        return;
    case '\n':
        out += "\\n";
        return;
    }
    if (c >= 0x20 && c < 0x7F) {
        out += (char)c;
        return;
    }
    std::snprintf(buf, sizeof buf, c > 0xFF ? "\\u%04X" : "\\x%02X", (unsigned)c);
    out += buf;
}

JournalArgs& JournalArgs::Text(const WCHAR* s, size_t max) {
    Sep();
    if (!s) {
        text += "NULL";
        return *this;
    }
    text += '"';
    size_t i = 0;
    for (; i < max && s[i] != 0; ++i)
        Quoted(text, s[i]);
    text += i == max ? "\"..." : "\"";
    return *this;
}

JournalArgs& JournalArgs::Char(WCHAR c) {
    Sep();
    text += '\'';
    Quoted(text, c);
    text += '\'';
    return *this;
}

JournalArgs& JournalArgs::Bytes(const void* p, size_t n) {
    Sep();
    if (!p) {
        text += "NULL";
        return *this;
    }
    const unsigned char* b = (const unsigned char*)p;
    text += '"';
    for (size_t i = 0; i < n; ++i)
        Quoted(text, b[i]);
    text += '"';
    return *this;
}

JournalArgs& JournalArgs::Msg(UINT msg) {
    static const struct {
        UINT msg;
        const char* name;
    } names[] = {
        {WM_CREATE, "WM_CREATE"},
        {WM_DESTROY, "WM_DESTROY"},
        {WM_SIZE, "WM_SIZE"},
        {WM_CLOSE, "WM_CLOSE"},
        {WM_QUIT, "WM_QUIT"},
        {WM_KEYDOWN, "WM_KEYDOWN"},
        {WM_KEYUP, "WM_KEYUP"},
        {WM_COMMAND, "WM_COMMAND"},
        {WM_TIMER, "WM_TIMER"},
        {WM_LBUTTONUP, "WM_LBUTTONUP"},
        {WM_HOTKEY, "WM_HOTKEY"},
        {LVM_GETITEMCOUNT, "LVM_GETITEMCOUNT"},
        {LVM_DELETEALLITEMS, "LVM_DELETEALLITEMS"},
        {LVM_ENSUREVISIBLE, "LVM_ENSUREVISIBLE"},
        {LVM_SETEXTENDEDLISTVIEWSTYLE, "LVM_SETEXTENDEDLISTVIEWSTYLE"},
        {LVM_GETEXTENDEDLISTVIEWSTYLE, "LVM_GETEXTENDEDLISTVIEWSTYLE"},
        {LVM_SETITEMW, "LVM_SETITEMW"},
        {LVM_INSERTITEMW, "LVM_INSERTITEMW"},
        {LVM_INSERTCOLUMNW, "LVM_INSERTCOLUMNW"},
        {LVM_GETITEMTEXTW, "LVM_GETITEMTEXTW"},
    };
    for (const auto& n : names)
        if (n.msg == msg) {
            Sep();
            text += n.name;
            return *this;
        }
    return Hex(msg);
}

JournalArgs& JournalArgs::Rect(const RECT* rc) {
    if (!rc) {
        Sep();
        text += "NULL";
        return *this;
    }
    return Begin().Int(rc->left).Int(rc->top).Int(rc->right).Int(rc->bottom).End();
}

JournalArgs& JournalArgs::Field(const char* name) {
    Sep();
    text += name;
    text += '=';
    return *this;
}

JournalArgs& JournalArgs::Begin() {
    Sep();
    text += '{';
    return *this;
}

JournalArgs& JournalArgs::End() {
    text += '}';
    return *this;
}

JournalArgs& JournalArgs::Raw(const std::string& s) {
    Sep();
    text += s;
    return *this;
}

} // namespace device
