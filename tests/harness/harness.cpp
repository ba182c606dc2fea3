// harness.cpp - helpers for running the tool on a simulated device in tests.
#include "tests/harness/harness.h"

#include "device/files.h"
#include "cli/runner/profile.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace testing_support {

TempDir::TempDir() {
    char tmpl[] = "/tmp/tapwatcher-test-XXXXXX";
    char* p = mkdtemp(tmpl);
    path = p ? p : "/tmp";
}

TempDir::~TempDir() {
    std::error_code ec;
    if (path.rfind("/tmp/tapwatcher-test-", 0) == 0)
        std::filesystem::remove_all(path, ec);
}

device::Profile QuietProfile(const std::string& root) {
    device::Profile p = runner::BuiltinDeviceProfile();
    p.taken.clear();
    p.root = root;
    return p;
}

device::Window* ToolList(device::Device& dev) {
    for (device::Window* w : dev.Windows())
        if (w->kind == device::WindowKind::ListView && w->pid == dev.CurrentPid())
            return w;
    return nullptr;
}

std::vector<Row> Rows(device::Device& dev) {
    std::vector<Row> rows;
    device::Window* w = ToolList(dev);
    if (!w || !w->listview)
        return rows;
    for (int r = 0; r < w->listview->Count(); ++r) {
        Row row;
        for (int c = 0; c < 6; ++c)
            row[c] = device::Narrow(w->listview->Cell(r, c));
        rows.push_back(row);
    }
    return rows;
}

std::string RowText(const Row& r) {
    std::string s;
    for (int c = 0; c < 6; ++c)
        s += (c ? "|" : "") + r[c];
    return s;
}

std::vector<device::JournalEntry> Calls(const device::Device& dev, const std::string& what) {
    std::vector<device::JournalEntry> out;
    for (const device::JournalEntry& e : dev.journal)
        if (e.what == what)
            out.push_back(e);
    return out;
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

} // namespace testing_support

namespace testing_support {

std::vector<device::JournalEntry>
Filter(const device::Device& dev, const std::vector<std::string>& names, size_t from, size_t to) {
    std::vector<device::JournalEntry> out;
    for (size_t i = from; i < dev.journal.size() && i < to; ++i)
        for (const std::string& n : names)
            if (dev.journal[i].what == n) {
                out.push_back(dev.journal[i]);
                break;
            }
    return out;
}

// Replaces every `from` in `s` with `to`.
static void ReplaceAll(std::string& s, const std::string& from, const std::string& to) {
    for (size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
        s.replace(at, from.size(), to);
}

// The tool's windows as main, list and bar, its window procedure as WndProc.
static std::string Named(std::string text) {
    char proc[32];
    snprintf(proc, sizeof proc, "%#" PRIxPTR, (uintptr_t)&WndProc);
    ReplaceAll(text, "<TapwatcherWndClass>", "main");
    ReplaceAll(text, "<SysListView32>", "list");
    ReplaceAll(text, "<menu_worker>", "bar");
    ReplaceAll(text, proc, "WndProc");
    return text;
}

static bool Matches(const device::JournalEntry& g, const std::string& want) {
    device::JournalEntry w;
    size_t paren = want.find('(');
    w.what = want.substr(0, paren);
    if (g.what != w.what)
        return false;
    if (paren != std::string::npos)
        w.args = want.substr(paren + 1, want.size() - paren - 1 - (want.back() == ')'));
    device::JournalEntry named = g;
    named.args = Named(g.args);
    for (size_t i = 0; !w.Arg(i).empty(); ++i)
        if (w.Arg(i) != "*" && w.Arg(i) != named.Arg(i))
            return false;
    return true;
}

::testing::AssertionResult SameSequence(const std::vector<device::JournalEntry>& got,
                                        const std::vector<std::string>& want) {
    size_t n = std::max(got.size(), want.size());
    for (size_t i = 0; i < n; ++i) {
        if (i < got.size() && i < want.size() && Matches(got[i], want[i]))
            continue;
        std::ostringstream msg;
        msg << "sequences differ at entry " << i << "\n  expected:\n";
        for (size_t j = 0; j < want.size(); ++j)
            msg << (j == i ? "  > " : "    ") << want[j] << "\n";
        msg << "  got:\n";
        for (size_t j = 0; j < got.size(); ++j)
            msg << (j == i ? "  > " : "    ") << Named(got[j].ToString()) << "\n";
        return ::testing::AssertionFailure() << msg.str();
    }
    return ::testing::AssertionSuccess();
}

std::vector<std::string> JournalLines(const device::Device& dev, size_t from, size_t to) {
    std::vector<std::string> out;
    for (size_t i = from; i < dev.journal.size() && i < to; ++i)
        out.push_back(Named(dev.journal[i].ToString()));
    return out;
}

::testing::AssertionResult SameLines(const std::vector<std::string>& got,
                                     const std::vector<std::string>& want) {
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i])
        ++i;
    if (i == got.size() && i == want.size())
        return ::testing::AssertionSuccess();
    std::ostringstream msg;
    msg << "sequences differ at entry " << i << " of " << want.size() << " expected, " << got.size()
        << " got\n";
    const size_t shown = 12;
    for (size_t j = i; j < std::max(got.size(), want.size()) && j < i + shown; ++j) {
        msg << "  expected: " << (j < want.size() ? want[j] : "<end>") << "\n";
        msg << "  got:      " << (j < got.size() ? got[j] : "<end>") << "\n";
    }
    return ::testing::AssertionFailure() << msg.str();
}

} // namespace testing_support

#include <map>

namespace testing_support {

Tool::Tool(const std::function<void(device::Profile&)>& tweak) {
    profile = QuietProfile(tmp.path);
    if (tweak)
        tweak(profile);
    dev = std::make_unique<device::Device>(profile);
    dev->journal_on = true;
    // The executable runs from its folder, so that folder exists.
    size_t slash = profile.exe.rfind(u'\\');
    if (slash != std::u16string::npos && slash > 0)
        dev->Files().MakeFolder(profile.exe.substr(0, slash));
}

int Tool::Run() {
    code = runner::RunTool(*dev, &script);
    return code;
}

std::string Tool::Host(const std::string& device_path) const {
    return dev ? const_cast<device::Device&>(*dev).Files().HostPath(device::Widen(device_path))
               : "";
}

HWND MainFromJournal(const device::Device& dev) {
    for (const device::JournalEntry& e : dev.journal)
        if (e.what == "CreateWindowExW" && e.Arg(8) == "NULL") // no parent
            return e.hwnd;
    return nullptr;
}

std::vector<device::HotKey> HeldHotKeys(const device::Device& dev, HWND owner) {
    std::map<int, device::HotKey> held;
    for (const device::JournalEntry& e : dev.journal) {
        if (e.what == "PostQuitMessage")
            break;
        if (e.hwnd != owner || !e.result)
            continue;
        auto arg = [&](size_t n) { return (UINT)std::stoll(e.Arg(n), nullptr, 0); };
        if (e.what == "RegisterHotKey")
            held[(int)arg(1)] = {owner, (int)arg(1), arg(2), arg(3)};
        else if (e.what == "UnregisterHotKey")
            held.erase((int)arg(1));
    }
    std::vector<device::HotKey> out;
    for (const auto& [id, k] : held)
        out.push_back(k);
    return out;
}

} // namespace testing_support
