// runner_golden_test.cpp - the examples, run through tapwatcher-sim's engine,
// against their golden transcripts and the files they leave on the device.
//
// Regenerate: tests/golden/update.sh (or TAPWATCHER_UPDATE_GOLDEN=1 and
// --gtest_filter='RunnerGolden*'), then review the difference.
#include "tests/harness/harness.h"
#include "cli/sim/run.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::TempDir;

const std::string kSource = TAPWATCHER_SOURCE_DIR;
const std::string kGolden = kSource + "/tests/golden";

struct GoldenRun {
    std::string name;
    std::vector<std::string> args;
    bool frames = false; // the transcript keeps the screens' frames
};

// How GoogleTest names a run in its output (not as the object's raw bytes).
void PrintTo(const GoldenRun& run, std::ostream* os) {
    *os << run.name;
}

// Splits a manifest line's arguments at blanks; "..." keeps blanks.
std::vector<std::string> SplitArgs(const std::string& s) {
    std::vector<std::string> out;
    std::string cur;
    bool quoted = false, any = false;
    for (char c : s) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (any)
                out.push_back(cur);
            cur.clear();
            any = false;
        } else {
            cur += c;
            any = true;
        }
    }
    if (any)
        out.push_back(cur);
    return out;
}

std::vector<GoldenRun> Manifest() {
    std::vector<GoldenRun> runs;
    std::istringstream in(ReadFile(kGolden + "/MANIFEST"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string name = line.substr(0, colon);
        bool frames = false;
        const std::string mark = " frames";
        if (name.size() > mark.size() &&
            name.compare(name.size() - mark.size(), mark.size(), mark) == 0) {
            name.erase(name.size() - mark.size());
            frames = true;
        }
        runs.push_back({name, SplitArgs(line.substr(colon + 1)), frames});
    }
    return runs;
}

// The transcript without the screens' frames: the lines indented under a
// "screen" event line.
std::string WithoutFrames(const std::string& transcript) {
    std::string out;
    std::istringstream in(transcript);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("  ", 0) != 0)
            out += line + "\n";
    return out;
}

void Replace(std::string& s, const std::string& from, const std::string& to) {
    for (size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
        s.replace(at, from.size(), to);
}

// Every regular file under a folder: relative path -> bytes.
std::map<std::string, std::string> FilesUnder(const std::string& dir) {
    std::map<std::string, std::string> files;
    std::error_code ec;
    if (!fs::exists(dir, ec))
        return files;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file())
            files[fs::relative(e.path(), dir).string()] = ReadFile(e.path().string());
    return files;
}

// The first line where two texts differ, shown as expected and got.
std::string FirstDifference(const std::string& want, const std::string& got) {
    std::istringstream a(want), b(got);
    std::string la, lb;
    for (int n = 1;; ++n) {
        bool ha = (bool)std::getline(a, la), hb = (bool)std::getline(b, lb);
        if (!ha && !hb)
            return "no difference";
        if (!ha || !hb || la != lb)
            return "line " + std::to_string(n) + ":\n  expected: " + (ha ? la : "<end>") +
                   "\n  got:      " + (hb ? lb : "<end>");
    }
}

class RunnerGolden : public ::testing::TestWithParam<GoldenRun> {};

TEST_P(RunnerGolden, TranscriptAndFilesMatch) {
    const GoldenRun& run = GetParam();
    runner::Options options;
    std::string error;
    ASSERT_TRUE(runner::ParseArgs(run.args, options, error)) << error;
    if (!options.device.empty())
        options.device = kSource + "/" + options.device;
    options.scenario = kSource + "/" + options.scenario;
    TempDir tmp;
    options.root = tmp.path + "/device";

    std::ostringstream out, err;
    int status = runner::Run(options, out, err);
    std::string transcript = out.str();
    Replace(transcript, options.root, "ROOT");
    Replace(transcript, kSource + "/", "");
    if (!run.frames)
        transcript = WithoutFrames(transcript);
    std::map<std::string, std::string> files = FilesUnder(options.root);

    const std::string dir = kGolden + "/" + run.name;
    if (std::getenv("TAPWATCHER_UPDATE_GOLDEN")) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        std::ofstream(dir + "/transcript.txt", std::ios::binary) << transcript;
        for (const auto& [path, bytes] : files) {
            fs::create_directories(fs::path(dir + "/root/" + path).parent_path());
            std::ofstream(dir + "/root/" + path, std::ios::binary) << bytes;
        }
        GTEST_SKIP() << "golden files of " << run.name << " written to " << dir;
    }

    EXPECT_EQ(status, 0) << "stderr: " << err.str();
    EXPECT_EQ(err.str(), "");
    std::string want = ReadFile(dir + "/transcript.txt");
    ASSERT_FALSE(want.empty()) << "no golden transcript " << dir
                               << "/transcript.txt; run tests/golden/update.sh";
    EXPECT_TRUE(transcript == want) << "transcript of " << run.name << " differs at "
                                    << FirstDifference(want, transcript) << "\nwhole transcript:\n"
                                    << transcript;

    std::map<std::string, std::string> want_files = FilesUnder(dir + "/root");
    for (const auto& [path, bytes] : want_files) {
        auto it = files.find(path);
        if (it == files.end()) {
            ADD_FAILURE() << run.name << ": expected the file " << path << " under the device root";
            continue;
        }
        EXPECT_TRUE(it->second == bytes)
            << run.name << ": " << path << " differs at " << FirstDifference(bytes, it->second);
    }
    for (const auto& [path, bytes] : files)
        EXPECT_TRUE(want_files.count(path)) << run.name << ": unexpected file " << path << " ("
                                            << bytes.size() << " bytes) under the device root";
}

// The text line a JSON row object stands for, without its tick.
std::string RowText(const nlohmann::json& j) {
    std::string text = "row " + std::to_string(j.at("row").get<int>()) + ":";
    const auto& cells = j.at("cells");
    if (j.at("quiet").get<bool>())
        text += " quiet mark";
    else
        for (size_t c = 1; c < cells.size(); ++c)
            if (!cells[c].get<std::string>().empty()) {
                text += " " + cells[c].get<std::string>();
                if (c == 1 && j.at("key") != "0x" + cells[1].get<std::string>())
                    text += " (" + j.at("key").get<std::string>() + ")";
            }
    if (j.contains("since_ms"))
        text += " +" + std::to_string(j["since_ms"].get<int64_t>()) + " ms";
    if (j.contains("echo_of"))
        text += " (echo of the tool's own " + j["echo_of"].get<std::string>() + ")";
    return text;
}

// The same run as JSON lines: every line parses, one object per event line
// of the text, with the same tick; the row objects read back to the text's
// row lines; the data files are the same.
TEST_P(RunnerGolden, JsonLinesHoldTheSameEvents) {
    const GoldenRun& run = GetParam();
    runner::Options options;
    std::string error;
    ASSERT_TRUE(runner::ParseArgs(run.args, options, error)) << error;
    if (!options.device.empty())
        options.device = kSource + "/" + options.device;
    options.scenario = kSource + "/" + options.scenario;
    TempDir tmp;
    options.root = tmp.path + "/text";
    std::ostringstream text_out, json_out, err;
    int text_status = runner::Run(options, text_out, err);
    options.root = tmp.path + "/json";
    options.format = runner::Format::Jsonl;
    int json_status = runner::Run(options, json_out, err);
    EXPECT_EQ(json_status, text_status);

    std::vector<std::string> events;
    std::istringstream text_in(text_out.str());
    std::string line;
    while (std::getline(text_in, line))
        if (line.rfind("  ", 0) != 0)
            events.push_back(line);
    std::istringstream json_in(json_out.str());
    size_t n = 0;
    while (std::getline(json_in, line)) {
        nlohmann::json j;
        try {
            j = nlohmann::json::parse(line);
        } catch (const std::exception& e) {
            ADD_FAILURE() << "line " << n + 1 << " does not parse: " << e.what() << "\n" << line;
            return;
        }
        ASSERT_LT(n, events.size()) << "more objects than event lines: " << line;
        const std::string& ev = events[n++];
        std::string tick = std::to_string(j.at("tick").get<int32_t>());
        EXPECT_EQ(ev.substr(0, tick.size() + 1), tick + " ") << ev << "\n" << line;
        std::string type = j.at("type").get<std::string>();
        if (type == "row") {
            EXPECT_EQ(ev, tick + " " + RowText(j));
        } else if (type == "line") {
            EXPECT_EQ(ev, tick + " line " + std::to_string(j.at("line").get<int>()) + ": " +
                              j.at("text").get<std::string>());
        } else if (type == "exit") {
            EXPECT_EQ(j.at("status").get<int>(), text_status);
        }
    }
    EXPECT_EQ(n, events.size()) << "fewer objects than event lines";
    EXPECT_TRUE(FilesUnder(tmp.path + "/text") == FilesUnder(tmp.path + "/json"));
}

INSTANTIATE_TEST_SUITE_P(Examples, RunnerGolden, ::testing::ValuesIn(Manifest()),
                         [](const ::testing::TestParamInfo<GoldenRun>& info) {
                             std::string n = info.param.name;
                             for (char& c : n)
                                 if (!isalnum((unsigned char)c))
                                     c = '_';
                             return n;
                         });

// Every example is in the manifest, so none goes unchecked.
TEST(RunnerGoldenManifest, CoversEveryExample) {
    std::string all;
    for (const GoldenRun& run : Manifest())
        for (const std::string& a : run.args)
            all += a + "\n";
    for (const auto& e : fs::recursive_directory_iterator(kSource + "/examples")) {
        std::string ext = e.path().extension().string();
        if (ext != ".scn" && ext != ".profile")
            continue;
        std::string rel = fs::relative(e.path(), kSource).string();
        EXPECT_NE(all.find(rel + "\n"), std::string::npos) << rel << " is in no golden run";
    }
}

} // namespace
