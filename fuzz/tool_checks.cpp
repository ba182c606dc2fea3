// tool_checks.cpp - checks of the tool's rows, data file and hot keys.
#include "fuzz/tool_checks.h"

#include "device/listview.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string_view>

namespace fuzzcheck {

void Fail(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::fputs("CHECK FAILED: ", stderr);
    std::vfprintf(stderr, fmt, ap);
    std::fputc('\n', stderr);
    va_end(ap);
    std::abort();
}

namespace {

const char kHeader[] = "SysTime\tVK\tU/D\tShift\tCtrl\tAlt\r\n";

std::string Text(std::u16string_view s) {
    return device::Narrow(s);
}

// The value of a tick text, when it is exactly what "%d" prints for a 32-bit
// signed number: an optional minus, digits, no leading zero, no "-0".
bool ParseTick(std::u16string_view s, int64_t& value) {
    size_t i = 0;
    bool neg = false;
    if (i < s.size() && s[i] == u'-') {
        neg = true;
        ++i;
    }
    if (i == s.size() || s.size() - i > 10)
        return false;
    if (s[i] == u'0' && (s.size() - i > 1 || neg))
        return false;
    int64_t v = 0;
    for (; i < s.size(); ++i) {
        if (s[i] < u'0' || s[i] > u'9')
            return false;
        v = v * 10 + (s[i] - u'0');
    }
    value = neg ? -v : v;
    return value >= INT32_MIN && value <= INT32_MAX;
}

// The value of a key-code text, when it is exactly what "%02X" prints:
// upper-case hexadecimal digits, at least two, no leading zero beyond two.
bool ParseVk(std::u16string_view s, uint32_t& value) {
    if (s.size() < 2 || s.size() > 8 || (s.size() > 2 && s[0] == u'0'))
        return false;
    uint32_t v = 0;
    for (char16_t c : s) {
        uint32_t d;
        if (c >= u'0' && c <= u'9')
            d = c - u'0';
        else if (c >= u'A' && c <= u'F')
            d = c - u'A' + 10;
        else
            return false;
        v = v * 16 + d;
    }
    value = v;
    return true;
}

} // namespace

device::ListView* ToolListView(device::Device& dev) {
    for (device::Window* w : dev.Windows())
        if (w->kind == device::WindowKind::ListView && w->pid == dev.CurrentPid() && w->listview)
            return w->listview.get();
    return nullptr;
}

std::string RowLine(const device::ListView& lv, int row) {
    std::string line;
    for (int c = 0; c < 6; ++c) {
        line += Text(lv.Cell(row, c));
        line += c < 5 ? "\t" : "\r\n";
    }
    return line;
}

void LogChecker::CheckRow(const device::ListView& lv, int row, uint64_t now) {
    bool set[6];
    std::u16string_view cell[6];
    for (int c = 0; c < 6; ++c)
        cell[c] = lv.Cell(row, c, &set[c]);
    std::string line = RowLine(lv, row);
    line.resize(line.size() - 2);
    auto bad = [&](const char* why) { Fail("row %d \"%s\": %s", row, line.c_str(), why); };

    int64_t tick = 0;
    if (!set[0] || !ParseTick(cell[0], tick))
        bad("the first cell is not a tick text");
    // The tick was read at some time since the device started.
    uint64_t since_start = (uint32_t)((uint32_t)tick - start_tick_);
    if (since_start > now)
        bad("the tick lies in the device's future");

    if (!set[2]) { // a quiet mark: the tick alone
        for (int c = 1; c < 6; ++c)
            if (set[c])
                bad("a row without U/D has another cell set");
        return;
    }
    uint32_t vk = 0;
    if (!set[1] || !ParseVk(cell[1], vk))
        bad("the VK cell is not a %02X key code");
    static const char16_t kLetter[6] = {0, 0, 0, u'S', u'C', u'A'};
    if (cell[2] == u"F") { // a taken combination: letters set, others never set
        if (vk > 0xFF)
            bad("a taken combination with a key code above FF");
        for (int c = 3; c < 6; ++c)
            if (set[c] && !(cell[c].size() == 1 && cell[c][0] == kLetter[c]))
                bad("a taken combination's modifier cell holds another text than its letter");
        return;
    }
    if (cell[2] != u"D" && cell[2] != u"U")
        bad("U/D is not D, U or F");
    if (vk > 0xFFFF)
        bad("a key code wider than a word");
    for (int c = 3; c < 6; ++c) {
        if (!set[c])
            bad("a key event row with a modifier cell never set");
        if (!cell[c].empty() && !(cell[c].size() == 1 && cell[c][0] == kLetter[c]))
            bad("a modifier cell holds another text than its letter");
    }
}

void LogChecker::Check(device::Device& dev) {
    device::ListView* lv = ToolListView(dev);
    if (!lv)
        return;
    if (lv->ColumnCount() != 6)
        Fail("the list view has %d columns", lv->ColumnCount());
    for (int r = 0; r < lv->Count(); ++r)
        CheckRow(*lv, r, dev.Now());
    rows_checked_ += (uint64_t)lv->Count();
}

void LogChecker::CheckSavedFile(device::Device& dev, const std::string& host_path) {
    device::ListView* lv = ToolListView(dev);
    if (!lv)
        Fail("the data file was written with no list view alive");
    Check(dev);
    std::ifstream in(host_path, std::ios::binary);
    std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string_view rest(file);
    if (rest.substr(0, sizeof kHeader - 1) != kHeader)
        Fail("the data file does not start with the header");
    rest.remove_prefix(sizeof kHeader - 1);
    for (int r = 0; r < lv->Count(); ++r) {
        std::string want = RowLine(*lv, r);
        if (rest.substr(0, want.size()) != want)
            Fail("line %d of the data file differs from row %d on screen", r + 2, r);
        rest.remove_prefix(want.size());
    }
    if (!rest.empty())
        Fail("the data file has %zu bytes after the last row", rest.size());
}

void CheckHotKeyCalls(const device::Device& dev) {
    HWND main = nullptr;
    for (const device::JournalEntry& e : dev.journal)
        if (e.what == "CreateWindowExW" && e.Arg(8) == "NULL") { // no parent
            main = e.hwnd;
            break;
        }
    if (!main)
        return; // no main window was made: nothing was registered
    std::set<int64_t> held;
    for (const device::JournalEntry& e : dev.journal) {
        if (e.what == "PostQuitMessage") {
            if (!held.empty())
                Fail("%zu hot keys still held when the quit message was posted (first id %lld)",
                     held.size(), (long long)*held.begin());
            return;
        }
        if (e.hwnd != main)
            continue;
        auto arg = [&](size_t n) { return (int64_t)std::strtoll(e.Arg(n).c_str(), nullptr, 0); };
        if (e.what == "RegisterHotKey") {
            int64_t id = arg(1), mods = arg(2), vk = arg(3);
            if (id < 0 || id > 2047)
                Fail("RegisterHotKey with identifier %lld", (long long)id);
            if (vk > 0xFF || (mods & ~(int64_t)7) != MOD_KEYUP || id != vk + 256 * (mods & 7))
                Fail("RegisterHotKey(%lld, %#llx, %#llx): not the combination of that identifier",
                     (long long)id, (long long)mods, (long long)vk);
            if (e.result)
                held.insert(id);
        } else if (e.what == "UnregisterHotKey") {
            int64_t id = arg(1);
            if (id < 0 || id > 2047)
                Fail("UnregisterHotKey with identifier %lld", (long long)id);
            if (e.result)
                held.erase(id);
        }
    }
    Fail("the tool never posted its quit message");
}

bool WritableBack(std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))
            return false;
    return device::Narrow(device::Widen(text)) == text;
}

size_t CountLines(std::string_view text) {
    size_t n = 0;
    for (char c : text)
        n += c == '\n';
    return n + (!text.empty() && text.back() != '\n');
}

const std::string& ScratchRoot() {
    static std::string root;
    if (root.empty()) {
        char tmpl[] = "/tmp/tapwatcher-fuzz-XXXXXX";
        if (!mkdtemp(tmpl))
            Fail("cannot make a scratch root in /tmp");
        root = tmpl;
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(root, ec);
        });
    }
    return root;
}

} // namespace fuzzcheck
