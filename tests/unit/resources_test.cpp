// resources_test.cpp - the tool's compiled resources, and the resource compiler
// that makes them (tools/rcgen): its output against the layout a Windows
// resource compiler produces, and its refusal of scripts it does not understand.
#include "device/resources.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <unistd.h>

extern const sim::ModuleResources tapwatcher_resources;

namespace {

const uint16_t kJapanese = 1041;

// Every record of the table with that type and id, whatever its language.
std::vector<const sim::ResData*> FindData(uint16_t type, uint16_t id) {
    std::vector<const sim::ResData*> found;
    for (size_t i = 0; i < tapwatcher_resources.ndata; i++)
        if (tapwatcher_resources.data[i].type == type && tapwatcher_resources.data[i].id == id)
            found.push_back(&tapwatcher_resources.data[i]);
    return found;
}

std::vector<uint16_t> Words(const sim::ResData& r) {
    std::vector<uint16_t> w;
    for (size_t i = 0; i + 1 < r.size; i += 2)
        w.push_back(uint16_t(r.bytes[i] | r.bytes[i + 1] << 8));
    return w;
}

struct MenuItem {
    uint16_t flags;
    uint16_t id; // 0 for a popup, which has none
    std::u16string text;
    int depth;
};

// Reads one level of menu items from w[i]; MF_POPUP (0x10) opens a nested
// level, MF_END (0x80) closes this one. False on a malformed layout.
bool ParseMenuLevel(const std::vector<uint16_t>& w, size_t& i, int depth,
                    std::vector<MenuItem>& items) {
    while (i < w.size()) {
        MenuItem it{w[i++], 0, u"", depth};
        bool popup = it.flags & 0x10;
        if (!popup && i < w.size())
            it.id = w[i++];
        while (i < w.size() && w[i] != 0)
            it.text += char16_t(w[i++]);
        if (i++ >= w.size())
            return false; // text without its NUL
        items.push_back(it);
        if (popup && !ParseMenuLevel(w, i, depth + 1, items))
            return false;
        if (it.flags & 0x80)
            return true;
    }
    return false; // ran out before an item with MF_END
}

// Walks a MENU resource: the header, then the items; nothing may follow.
std::vector<MenuItem> ParseMenu(const sim::ResData& r) {
    std::vector<uint16_t> w = Words(r);
    std::vector<MenuItem> items;
    EXPECT_EQ(r.size % 2, 0u) << "a menu is made of 16-bit words";
    EXPECT_TRUE(w.size() >= 2 && w[0] == 0 && w[1] == 0)
        << "menu header is not wVersion 0, cbHeaderSize 0";
    size_t i = 2;
    EXPECT_TRUE(ParseMenuLevel(w, i, 0, items)) << "malformed menu";
    EXPECT_EQ(i, w.size()) << "bytes after the menu's last item";
    return items;
}

// ---------------------------------------------------------------------------
// The tool's own resources
// ---------------------------------------------------------------------------

TEST(Resources, MenuBarTemplateIsSixteenWordsUnderJapanese) {
    std::vector<const sim::ResData*> found = FindData(sim::RT_RCDATA_ID, 101);
    ASSERT_EQ(found.size(), 1u) << "exactly one RCDATA 101, in one language";
    EXPECT_EQ(found[0]->lang, kJapanese);
    const std::vector<uint16_t> expected = {
        101,    2,                                   // menu id, button count
        0xFFFE, 40007, 0x04, 0x10, 40003, 0, 0xFFFF, // Exit
        0xFFFE, 40004, 0x04, 0x10, 40006, 0, 0xFFFF, // Clear
    };
    EXPECT_EQ(found[0]->size, 32u);
    EXPECT_EQ(Words(*found[0]), expected);
}

TEST(Resources, MenuHoldsExitThenClearWithEndOnTheLast) {
    std::vector<const sim::ResData*> found = FindData(sim::RT_MENU_ID, 101);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0]->lang, kJapanese);
    std::vector<MenuItem> items = ParseMenu(*found[0]);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].flags, 0);
    EXPECT_EQ(items[0].id, 40007);
    EXPECT_TRUE(items[0].text == u"Exit");
    EXPECT_EQ(items[1].flags, 0x80) << "MF_END and nothing else";
    EXPECT_EQ(items[1].id, 40004);
    EXPECT_TRUE(items[1].text == u"Clear");
    // Nothing follows the last item: 4-byte header, then (2 + 2 + text) per item.
    EXPECT_EQ(found[0]->size, 4u + (4 + 2 * 5) + (4 + 2 * 6));
}

TEST(Resources, StringTableHoldsOnlyTheTwoCaptions) {
    ASSERT_EQ(tapwatcher_resources.nstrings, 2u);
    bool exit_seen = false, clear_seen = false;
    for (size_t i = 0; i < tapwatcher_resources.nstrings; i++) {
        const sim::ResString& s = tapwatcher_resources.strings[i];
        EXPECT_EQ(s.lang, kJapanese) << "string " << s.id;
        std::u16string text = s.text;
        if (s.id == 40003 && text == u"Exit")
            exit_seen = true;
        else if (s.id == 40006 && text == u"Clear")
            clear_seen = true;
        else
            ADD_FAILURE() << "unexpected string " << s.id;
    }
    EXPECT_TRUE(exit_seen);
    EXPECT_TRUE(clear_seen);
    // Only the template and the menu: no stray resource of another kind or id.
    EXPECT_EQ(tapwatcher_resources.ndata, 2u);
}

// ---------------------------------------------------------------------------
// The resource compiler
// ---------------------------------------------------------------------------

#ifndef TAPWATCHER_BINARY_DIR
#error "the build passes TAPWATCHER_BINARY_DIR"
#endif
const char* const kRcgen = TAPWATCHER_BINARY_DIR "/tools/rcgen";

std::string ReadFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::filesystem::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
}

class Rcgen : public ::testing::Test {
  protected:
    void SetUp() override {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = std::filesystem::temp_directory_path() /
               (std::string("rcgen_test_") + info->name() + "_" + std::to_string(getpid()));
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    struct Result {
        int status;
        std::string err;
        std::string out;
        bool out_exists;
    };

    // Writes `script` to dir/name and runs rcgen on it; `stale_output`, when
    // given, is put where the output goes beforehand.
    Result Run(const std::string& script, bool dump = false, const std::string& name = "x.rc",
               const std::string& stale_output = "") {
        WriteFile(dir_ / name, script);
        std::filesystem::path out = dir_ / "out.txt", err = dir_ / "err.txt";
        if (!stale_output.empty())
            WriteFile(out, stale_output);
        else
            std::filesystem::remove(out);
        std::string cmd = std::string("'") + kRcgen + "' " + (dump ? "--dump " : "") + "'" +
                          (dir_ / name).string() + "' '" + out.string() + "' 2>'" + err.string() +
                          "'";
        int status = std::system(cmd.c_str());
        return {status, ReadFile(err), ReadFile(out), std::filesystem::exists(out)};
    }

    std::filesystem::path dir_;
};

TEST_F(Rcgen, RejectsWhatItDoesNotUnderstandNamingFileAndLine) {
    struct Case {
        const char* name;
        const char* script;
        int line;
        const char* says;
    };
    const Case cases[] = {
        {"undefined name", "#define A 1\n1 RCDATA\nBEGIN\n  A, B\nEND\n", 4, "undefined name 'B'"},
        {"undefined name through a macro", "#define A B\n\n1 RCDATA\nBEGIN A END\n", 4,
         "expansion of A"},
        {"unterminated RCDATA", "1 RCDATA\nBEGIN\n  1, 2\n", 2, "no matching END"},
        {"unterminated POPUP", "1 MENU\nBEGIN\n MENUITEM \"a\", 1\n POPUP \"p\"\n {\n", 5,
         "no matching END"},
        {"unterminated comment", "1 RCDATA\n/* one\ntwo\n", 2, "never closed"},
        {"missing #endif", "#ifdef X\n#ifndef Y\n#endif\n", 1, "#endif"},
        {"word overflow", "1 RCDATA BEGIN\n1,\n0x10000\nEND\n", 3, "16-bit"},
        {"unknown resource type", "\n7 DIALOG 0, 0, 10, 10\nBEGIN END\n", 2, "DIALOG"},
        {"unterminated string", "STRINGTABLE\nBEGIN\n 1 \"abc\nEND\n", 3, "quote"},
        {"non-ASCII without a code page", "STRINGTABLE BEGIN\n1 \"\xC3\xA9\"\nEND\n", 2,
         "code_page"},
        {"duplicate string", "STRINGTABLE BEGIN\n1 \"a\"\nEND\nSTRINGTABLE BEGIN\n1 \"b\"\nEND\n",
         5, "already defined"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Result r = Run(c.script, false, "bad.rc", "stale output of an earlier run\n");
        EXPECT_NE(r.status, 0);
        std::string where = (dir_ / "bad.rc").string() + ":" + std::to_string(c.line) + ": ";
        EXPECT_EQ(r.err.rfind(where, 0), 0u)
            << "expected to start with: " << where << "\ngot: " << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << "got: " << r.err;
        EXPECT_FALSE(r.out_exists) << "a failed run must not leave an output behind";
    }
}

TEST_F(Rcgen, ErrorsInAnIncludedHeaderNameTheHeader) {
    WriteFile(dir_ / "ids.h", "#define OK 1\n\n#define BAD 0x1G\n");
    Result r = Run("#include \"ids.h\"\n1 RCDATA BEGIN OK END\n");
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.err.rfind((dir_ / "ids.h").string() + ":3: ", 0), 0u) << r.err;

    r = Run("\n#include \"missing.h\"\n");
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.err.rfind((dir_ / "x.rc").string() + ":2: ", 0), 0u) << r.err;
}

// Bytes as the dump prints them: " 0A 1B ...".
std::string HexBytes(const std::string& bytes) {
    std::string s;
    char buf[8];
    for (unsigned char c : bytes) {
        std::snprintf(buf, sizeof buf, " %02X", c);
        s += buf;
    }
    return s;
}

// Words as little-endian bytes, as the dump prints them.
std::string Hex(const std::vector<uint16_t>& words) {
    std::string bytes;
    for (uint16_t w : words)
        bytes += {char(w & 0xFF), char(w >> 8)};
    return HexBytes(bytes);
}

// A menu item's words: flags, id (none for a popup), text, NUL.
std::vector<uint16_t> Item(uint16_t flags, int id, const std::u16string& text) {
    std::vector<uint16_t> w{flags};
    if (id >= 0)
        w.push_back(uint16_t(id));
    w.insert(w.end(), text.begin(), text.end());
    w.push_back(0);
    return w;
}

std::vector<uint16_t> operator+(std::vector<uint16_t> a, const std::vector<uint16_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string Units(const std::u16string& s) {
    std::string out;
    char buf[8];
    for (char16_t u : s) {
        std::snprintf(buf, sizeof buf, " %04X", unsigned(u));
        out += buf;
    }
    return out;
}

// A script that uses every construct the compiler accepts. The expected bytes
// were also checked against windres (see MatchesWindres below).
const char* const kHeader = "#ifndef IDS_H\n"
                            "#define IDS_H\n"
                            "#define BASE 0x100\n"
                            "#define ID_A (BASE | 0x2)   /* 258 */\n"
                            "#define ID_B (BASE + 10 - 3)\n"
                            "#define NEG (-2)\n"
                            "#ifdef BASE\n"
                            "#define PICKED 7\n"
                            "#else\n"
                            "#define PICKED 9\n"
                            "#endif\n"
                            "#endif\n";
const char* const kScript =
    "#pragma code_page(65001)\n"
    "#include \"ids.h\"\n"
    "#include \"ids.h\" // the guard keeps the second one empty\n"
    "10 RCDATA\n"
    "BEGIN\n"
    "    1, NEG, 0x12345678L, -1L, PICKED * 2, ~0 & 0xFF, \"ab\\n\", L\"\\x263Az\", \"q\"\"x\"\n"
    "END\n"
    "LANGUAGE 0x11, 0x01\n"
    "20 MENU DISCARDABLE\n"
    "BEGIN\n"
    "    POPUP \"&File\"\n"
    "    BEGIN\n"
    "        MENUITEM \"&Open\\tCtrl+O\", ID_A, CHECKED\n"
    "        MENUITEM SEPARATOR\n"
    "        POPUP \"More\", GRAYED\n"
    "        BEGIN\n"
    "            MENUITEM \"Deep\", 5 GRAYED INACTIVE\n"
    "        END\n"
    "        MENUITEM \"\xE7\xB5\x82\xE4\xBA\x86\", ID_B, MENUBREAK\n" // 終了
    "    END\n"
    "    MENUITEM \"Help\", 9, HELP\n"
    "END\n"
    "21 MENU LANGUAGE 9, 1\n"
    "{\n"
    "    MENUITEM \"x\", 1\n"
    "}\n"
    "STRINGTABLE\n"
    "BEGIN\n"
    "    1, \"one\"\n"
    "    17 \"\xE3\x82\xAF\xE3\x83\xAA\xE3\x82\xA2\"\n" // クリア
    "    ID_A L\"w\\x00e9\"\n"
    "END\n"
    "STRINGTABLE LANGUAGE 9, 1\n"
    "BEGIN\n"
    "    1 \"en\"\n"
    "END\n";

// The dump lines the script above must give.
std::string ExpectedDump() {
    std::vector<uint16_t> menu20 =
        std::vector<uint16_t>{0, 0} + Item(0x10, -1, u"&File") + Item(0x08, 258, u"&Open\tCtrl+O") +
        Item(0, 0, u"") + Item(0x10 | 0x01, -1, u"More") + Item(0x80 | 0x01 | 0x02, 5, u"Deep") +
        Item(0x80 | 0x40, 263, u"\u7D42\u4E86") + Item(0x80 | 0x4000, 9, u"Help");
    std::vector<uint16_t> menu21 = std::vector<uint16_t>{0, 0} + Item(0x80, 1, u"x");
    std::string rcdata = Hex({1, 0xFFFE, 0x5678, 0x1234, 0xFFFF, 0xFFFF, 14, 0xFF}) + " 61 62 0A" +
                         " 3A 26 7A 00" + " 71 22 78";
    return "MENU 20 1041" + Hex(menu20) + "\n" + "MENU 21 1033" + Hex(menu21) + "\n" +
           "RCDATA 10 1033" + rcdata + "\n" + "STRING 1 1033" + Units(u"en") + "\n" +
           "STRING 1 1041" + Units(u"one") + "\n" + "STRING 17 1041" +
           Units(u"\u30AF\u30EA\u30A2") + "\n" + "STRING 258 1041" + Units(u"w\u00E9") + "\n";
}

TEST_F(Rcgen, CompilesEachConstructToTheWindowsLayout) {
    WriteFile(dir_ / "ids.h", kHeader);
    Result r = Run(kScript, true);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, ExpectedDump());
}

// Reads a C++ u"..." literal (pieces may follow each other) the way a compiler
// does: a \x escape takes every hex digit after it.
std::u16string ReadU16Literal(const std::string& src, size_t& i) {
    std::u16string out;
    while (src.compare(i, 2, "u\"") == 0) {
        for (i += 2; src[i] != '"'; i++) {
            if (src[i] != '\\') {
                out += char16_t(src[i]);
                continue;
            }
            if (src[++i] != 'x') {
                ADD_FAILURE() << "escape other than \\x in generated literal";
                continue;
            }
            uint32_t v = 0;
            while (std::isxdigit((unsigned char)src[i + 1]))
                v = v * 16 + std::stoi(std::string(1, src[++i]), nullptr, 16);
            EXPECT_LE(v, 0xFFFFu) << "a \\x escape ran on into the next character";
            out += char16_t(v);
        }
        i++;
        while (src[i] == ' ')
            i++;
    }
    return out;
}

TEST_F(Rcgen, GeneratedStringLiteralsSurviveHexDigitsAfterEscapes) {
    const std::u16string texts[] = {u"\u00E9A", u"\u30AF\u30EA\u30A2",
                                    u"\U0001F600"
                                    u"1f",
                                    u"tab\there \"quoted\" back\\slash"};
    Result r = Run("#pragma code_page(65001)\nSTRINGTABLE BEGIN\n"
                   " 1 L\"\\x00e9A\"\n"
                   " 2 \"\xE3\x82\xAF\xE3\x83\xAA\xE3\x82\xA2\"\n"
                   " 3 \"\xF0\x9F\x98\x80"
                   "1f\"\n"
                   " 4 \"tab\\there \"\"quoted\"\" back\\\\slash\"\n"
                   "END\n");
    ASSERT_EQ(r.status, 0) << r.err;
    size_t at = 0;
    for (const std::u16string& want : texts) {
        at = r.out.find("u\"", at);
        ASSERT_NE(at, std::string::npos) << r.out;
        EXPECT_TRUE(ReadU16Literal(r.out, at) == want) << r.out;
    }
    EXPECT_NE(r.out.find("tapwatcher_resources = {nullptr, 0, kStrings, 4}"), std::string::npos)
        << r.out;
}

// --- cross-check with a Windows resource compiler, where one is installed ---

bool Have(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

uint16_t Le16(const std::string& d, size_t at) {
    return uint16_t((unsigned char)d[at] | (unsigned char)d[at + 1] << 8);
}
uint32_t Le32(const std::string& d, size_t at) {
    return Le16(d, at) | uint32_t(Le16(d, at + 2)) << 16;
}

// Turns a .res file into dump lines, in rcgen's order: MENU, RCDATA, then
// strings, each by id and then language.
std::string DumpRes(const std::string& d) {
    std::vector<std::tuple<int, int, int, std::string>> lines; // kind, id, lang, line
    for (size_t p = 0; p + 32 <= d.size();) {
        uint32_t size = Le32(d, p), header = Le32(d, p + 4);
        // Type and name are numeric (0xFFFF, id) in everything these scripts make.
        int type = Le16(d, p + 10), name = Le16(d, p + 14), lang = Le16(d, p + 22);
        std::string data = d.substr(p + header, size);
        p = (p + header + size + 3) & ~size_t(3);
        if (type == 4 || type == 10) {
            std::string head = (type == 4 ? "MENU " : "RCDATA ") + std::to_string(name) + " " +
                               std::to_string(lang);
            lines.emplace_back(type == 4 ? 0 : 1, name, lang, head + HexBytes(data));
        } else if (type == 6) {
            // Block n holds 16 length-prefixed strings, ids (n-1)*16 and up.
            for (size_t k = 0, q = 0; k < 16 && q + 2 <= data.size(); k++) {
                std::u16string text;
                for (uint16_t j = 0, len = Le16(data, q); j < len; j++)
                    text += char16_t(Le16(data, q + 2 + 2 * j));
                q += 2 + 2 * text.size();
                int id = (name - 1) * 16 + int(k);
                if (!text.empty())
                    lines.emplace_back(2, id, lang,
                                       "STRING " + std::to_string(id) + " " + std::to_string(lang) +
                                           Units(text));
            }
        }
    }
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const auto& line : lines)
        out += std::get<3>(line) + "\n";
    return out;
}

TEST_F(Rcgen, MatchesWindres) {
    const char* windres = "x86_64-w64-mingw32-windres";
    if (!Have(windres) || !Have("cpp"))
        GTEST_SKIP() << windres << " or cpp is not installed";
    WriteFile(dir_ / "ids.h", kHeader);
    const std::pair<std::string, std::string> scripts[] = {
        {"features", kScript},
        {"tool", ReadFile(std::filesystem::path(TAPWATCHER_SOURCE_DIR) / "tool/tapwatcher.rc")},
    };
    std::filesystem::copy_file(std::filesystem::path(TAPWATCHER_SOURCE_DIR) / "tool/resource.h",
                               dir_ / "resource.h");
    for (const auto& [name, script] : scripts) {
        SCOPED_TRACE(name);
        Result ours = Run(script, true, name + ".rc");
        ASSERT_EQ(ours.status, 0) << ours.err;
        std::filesystem::path res = dir_ / (name + ".res");
        std::string cmd = std::string("cd '") + dir_.string() + "' && " + windres +
                          " --preprocessor=cpp --preprocessor-arg=-xc"
                          " --preprocessor-arg=-DRC_INVOKED -i " +
                          name + ".rc -O res -o '" + res.string() + "' 2>&1";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        EXPECT_EQ(ours.out, DumpRes(ReadFile(res)));
    }
}

} // namespace
