// harness.cpp - helpers for running the tool on a simulated device in tests.
#include "harness.h"

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

sim::Profile QuietProfile(const std::string& root) {
    sim::Profile p = sim::BuiltinProfile();
    p.taken.clear();
    p.root = root;
    return p;
}

sim::Window* ToolList(sim::Device& dev) {
    for (sim::Window* w : dev.Windows())
        if (w->kind == sim::WindowKind::ListView && w->pid == dev.CurrentPid())
            return w;
    return nullptr;
}

std::vector<Row> Rows(sim::Device& dev) {
    std::vector<Row> rows;
    sim::Window* w = ToolList(dev);
    if (!w || !w->listview)
        return rows;
    for (int r = 0; r < w->listview->Count(); ++r) {
        Row row;
        for (int c = 0; c < 6; ++c)
            row[c] = sim::Narrow(w->listview->Cell(r, c));
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

std::vector<sim::JournalEntry> Calls(const sim::Device& dev, const std::string& what) {
    std::vector<sim::JournalEntry> out;
    for (const sim::JournalEntry& e : dev.journal)
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
