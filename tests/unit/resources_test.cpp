// resources_test.cpp - the tool's resources as the device reads them, the
// checked-in .res against what windres makes of the script, and the .res reader
// on files built here: language choice, string blocks, malformed records.
#include "device/resources.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include <unistd.h>

extern const device::ModuleResources tapwatcher_resources;

namespace {

using Bytes = std::vector<uint8_t>;

// The WORDs of `data`, little-endian.
std::vector<uint16_t> Words(std::span<const uint8_t> data) {
    std::vector<uint16_t> w;
    for (size_t i = 0; i + 1 < data.size(); i += 2)
        w.push_back(uint16_t(data[i] | data[i + 1] << 8));
    return w;
}

// Appends `n` little-endian bytes of `v`.
void Put(Bytes& b, uint32_t v, int n) {
    for (int i = 0; i < n; i++)
        b.push_back(uint8_t(v >> 8 * i));
}

// A resource name field: an ordinal, or (when `name` is given) a string.
void PutName(Bytes& b, uint16_t ordinal, const std::u16string& name) {
    if (name.empty()) {
        Put(b, 0xFFFF, 2);
        Put(b, ordinal, 2);
        return;
    }
    for (char16_t c : name + u'\0')
        Put(b, c, 2);
}

// One .res record as windres lays it out, padded to a DWORD; a type or name
// given as a string replaces the ordinal.
Bytes Record(uint16_t type, uint16_t id, uint16_t lang, const Bytes& data,
             const std::u16string& type_name = u"", const std::u16string& name = u"") {
    Bytes head;
    PutName(head, type, type_name);
    PutName(head, id, name);
    while (head.size() % 4 != 0)
        head.push_back(0);
    Put(head, 0, 4);      // DataVersion
    Put(head, 0x1030, 2); // MemoryFlags
    Put(head, lang, 2);
    Put(head, 0, 4); // Version
    Put(head, 0, 4); // Characteristics
    Bytes rec;
    Put(rec, uint32_t(data.size()), 4);
    Put(rec, uint32_t(8 + head.size()), 4);
    rec.insert(rec.end(), head.begin(), head.end());
    rec.insert(rec.end(), data.begin(), data.end());
    while (rec.size() % 4 != 0)
        rec.push_back(0);
    return rec;
}

// A string table block: the strings' lengths and UTF-16 units, in order.
Bytes Block(const std::vector<std::u16string>& strings) {
    Bytes b;
    for (const std::u16string& s : strings) {
        Put(b, uint16_t(s.size()), 2);
        for (char16_t c : s)
            Put(b, c, 2);
    }
    return b;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A copy of `data`, comparable.
Bytes Copy(std::span<const uint8_t> data) {
    return Bytes(data.begin(), data.end());
}

// Type, id and language of every record read from `file`.
std::vector<std::tuple<int, int, int>> Keys(std::span<const uint8_t> file) {
    std::vector<std::tuple<int, int, int>> keys;
    for (const device::ResRecord& r : device::ReadResources(file))
        keys.emplace_back(r.type, r.id, r.lang);
    return keys;
}

// ---------------------------------------------------------------------------
// The tool's own resources
// ---------------------------------------------------------------------------

TEST(ToolResources, MenuBarTemplateMenuAndStringBlockAllUnderJapanese) {
    std::vector<std::tuple<int, int, int>> want = {
        {device::RT_MENU_ID, 101, 1041},
        {device::RT_STRING_ID, 40003 / 16 + 1, 1041},
        {device::RT_RCDATA_ID, 101, 1041},
    };
    EXPECT_EQ(Keys(tapwatcher_resources), want) << "windres writes them in script order";

    auto tmpl = device::FindResourceData(tapwatcher_resources, device::RT_RCDATA_ID, 101);
    ASSERT_TRUE(tmpl);
    const std::vector<uint16_t> expected = {
        101,    2,                                   // menu id, button count
        0xFFFE, 40007, 0x04, 0x10, 40003, 0, 0xFFFF, // Exit
        0xFFFE, 40004, 0x04, 0x10, 40006, 0, 0xFFFF, // Clear
    };
    EXPECT_EQ(tmpl->size(), 32u);
    EXPECT_EQ(Words(*tmpl), expected);
}

TEST(ToolResources, StringsById) {
    const std::pair<uint16_t, std::u16string> cases[] = {
        {40003, u"Exit"}, {40006, u"Clear"}, {40004, u""}, // between the two, in the same block
        {40002, u""},     {40015, u""},      {40016, u""}, {0, u""}, {0xFFFF, u""},
    };
    for (const auto& [id, text] : cases)
        EXPECT_TRUE(device::LoadResString(tapwatcher_resources, id) == text) << "string " << id;
}

// windres output of the script, with the Windows build's defines, must be the
// checked-in file byte for byte; tools/regen-res.sh remakes it.
TEST(ToolResources, CheckedInFileIsWhatWindresMakesOfTheScript) {
    if (std::system("command -v x86_64-w64-mingw32-windres >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "x86_64-w64-mingw32-windres is not installed (Debian: "
                        "g++-mingw-w64-x86-64); cannot check tool/tapwatcher.res";
    const std::filesystem::path src = TAPWATCHER_SOURCE_DIR;
    const std::filesystem::path fresh = std::filesystem::temp_directory_path() /
                                        ("tapwatcher_res_test_" + std::to_string(getpid()));
    std::string cmd = "'" + (src / "tools/regen-res.sh").string() + "' '" + fresh.string() + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    auto read = [](const std::filesystem::path& p) {
        std::ifstream in(p, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    };
    Bytes made = read(fresh), checked_in = read(src / "tool/tapwatcher.res");
    std::filesystem::remove(fresh);
    EXPECT_FALSE(made.empty());
    EXPECT_TRUE(made == checked_in) << "tool/tapwatcher.res is stale: run tools/regen-res.sh";
    EXPECT_TRUE(checked_in == Copy(tapwatcher_resources)) << "the build embedded another file";
}

// ---------------------------------------------------------------------------
// The reader on files built here
// ---------------------------------------------------------------------------

TEST(ResReader, PrefersTheDeviceLanguageElseTheFirst) {
    struct Case {
        std::vector<uint16_t> langs; // one RCDATA 7 per language, data = its index
        int want;                    // index found, -1 for none
    };
    const Case cases[] = {
        {{1033, 1041}, 1}, {{1041, 1033}, 0}, {{1033, 2052}, 0}, {{1041}, 0}, {{}, -1},
    };
    for (const Case& c : cases) {
        Bytes file = Record(0, 0, 0, {}); // the empty record windres starts with
        for (size_t i = 0; i < c.langs.size(); i++)
            file = file + Record(device::RT_RCDATA_ID, 7, c.langs[i], {uint8_t(i)});
        file = file + Record(device::RT_RCDATA_ID, 8, 1041, {9}); // another id
        auto found = device::FindResourceData(file, device::RT_RCDATA_ID, 7);
        SCOPED_TRACE(testing::PrintToString(c.langs));
        ASSERT_EQ(found.has_value(), c.want >= 0);
        if (found) {
            EXPECT_EQ(Copy(*found), Bytes{uint8_t(c.want)});
        }
        // Strings pick their block the same way.
        Bytes blocks;
        for (size_t i = 0; i < c.langs.size(); i++)
            blocks = blocks + Record(device::RT_STRING_ID, 1, c.langs[i],
                                     Block({u"", u"", std::u16string(1, char16_t(u'a' + i))}));
        std::u16string want = c.want < 0 ? u"" : std::u16string(1, char16_t(u'a' + c.want));
        EXPECT_TRUE(device::LoadResString(blocks, 2) == want);
    }
}

TEST(ResReader, SkipsNamedResourcesAndKeepsTheAlignment) {
    // Odd-sized data and a four-letter type name both need padding.
    Bytes file = Record(0, 0, 0, {}) + Record(device::RT_RCDATA_ID, 1, 1041, {1, 2, 3}) +
                 Record(0, 2, 1041, {4, 5, 6, 7, 8}, u"BLOB") +
                 Record(device::RT_RCDATA_ID, 0, 1041, {4, 5}, u"", u"LOGO") +
                 Record(device::RT_MENU_ID, 3, 1033, {9});
    std::vector<std::tuple<int, int, int>> want = {{device::RT_RCDATA_ID, 1, 1041},
                                                   {device::RT_MENU_ID, 3, 1033}};
    EXPECT_EQ(Keys(file), want);
    EXPECT_EQ(Copy(*device::FindResourceData(file, device::RT_RCDATA_ID, 1)), (Bytes{1, 2, 3}));
    EXPECT_EQ(Copy(*device::FindResourceData(file, device::RT_MENU_ID, 3)), Bytes{9});
}

TEST(ResReader, StopsAtAMalformedRecordKeepingThoseBefore) {
    const Bytes good = Record(device::RT_RCDATA_ID, 1, 1041, {1, 2, 3, 4});
    const Bytes next = Record(device::RT_RCDATA_ID, 2, 1041, {5, 6, 7, 8});
    // Each case overwrites DWORDs of `next` (offset, value) and may cut it.
    struct Case {
        const char* name;
        std::vector<std::pair<size_t, uint32_t>> dwords;
        size_t keep; // bytes of `next` kept
    };
    const Case cases[] = {
        {"data past the end", {{0, 5}}, next.size()},
        {"data size near 4 GiB", {{0, 0xFFFFFFF0u}}, next.size()},
        {"header past the end", {{4, 0x1000}}, next.size()},
        {"header too short for its fields", {{4, 24}}, next.size()},
        {"header size zero", {{4, 0}}, next.size()},
        {"header shorter than the smallest", {{4, 31}}, next.size()},
        {"cut inside the header", {}, 20},
        {"cut inside the data", {}, next.size() - 2},
        {"seven stray bytes", {}, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bad = next;
        for (const auto& [at, value] : c.dwords)
            for (int i = 0; i < 4; i++)
                bad[at + i] = uint8_t(value >> 8 * i);
        bad.resize(c.keep);
        Bytes file = good + bad;
        std::vector<std::tuple<int, int, int>> want = {{device::RT_RCDATA_ID, 1, 1041}};
        EXPECT_EQ(Keys(file), want);
        EXPECT_FALSE(device::FindResourceData(file, device::RT_RCDATA_ID, 2));
    }
    EXPECT_TRUE(device::ReadResources({}).empty());
    EXPECT_TRUE(device::LoadResString({}, 1).empty());
}

TEST(ResReader, StringsFromTheirBlock) {
    // Block 1 holds ids 0-15, block 2 ids 16-31; a block may stop short of 16.
    Bytes file = Record(device::RT_STRING_ID, 1, 1041,
                        Block({u"zero", u"", u"two", u"", u"", u"", u"", u"", u"", u"", u"", u"",
                               u"", u"", u"", u"fifteen"})) +
                 Record(device::RT_STRING_ID, 2, 1041, Block({u"sixteen", u"\u30AF\u30EA\u30A2"})) +
                 Record(device::RT_STRING_ID, 4, 1041, Bytes{5, 0, 'a', 0}); // length past the end
    const std::pair<uint16_t, std::u16string> cases[] = {
        {0, u"zero"},     {1, u""},         {2, u"two"},
        {15, u"fifteen"}, {16, u"sixteen"}, {17, u"\u30AF\u30EA\u30A2"},
        {18, u""}, // past the last string of its block
        {32, u""}, // block 3 is missing
        {48, u""}, // block 4 is cut short
    };
    for (const auto& [id, text] : cases)
        EXPECT_TRUE(device::LoadResString(file, id) == text) << "string " << id;
}

} // namespace
