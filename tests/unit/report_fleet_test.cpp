// report_fleet_test.cpp - tapwatcher-report on many files at once: data files the simulated
// device saves under different profiles, read from a folder, one of them broken.
#include "cli/report/cli.h"
#include "cli/runner/scenario_run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// A device of the fleet: what it holds taken and what its user typed.
struct Device {
    const char* file;
    const char* profile;
    const char* scenario;
};

// The tool's name that saves its data file on exit.
const char* const kSaveOnExit = "\\Program Files\\Wtapwatcher.exe";

const Device kFleet[] = {
    {"a/tapwatcherdata.txt", "taken = Ctrl+Alt+T\n", "wait 500\ntype B\nwait 3500\n"},
    {"b/tapwatcherdata.txt", "taken = Ctrl+Alt+T\ntaken = Shift+F3\n",
     "wait 500\npress D\nwait 40\nrelease D\nwait 9\npress D\nwait 40\nrelease D\nwait 3500\n"},
    {"c/tapwatcherdata.txt", "taken = Shift+F3\n",
     "wait 500\npress C\nwait 70\ntype E\nwait 3500\n"},
};

class Fleet : public ::testing::Test {
  protected:
    // Each device's data file in a fresh folder, and a file that is not a data file.
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("report_fleet_" + std::to_string(getpid()));
        fs::remove_all(dir_);
        for (const Device& device : kFleet) {
            runner::ScenarioRun run;
            std::string error;
            ASSERT_TRUE(
                runner::RunScenarioText(device.profile, device.scenario, kSaveOnExit, run, error))
                << error;
            ASSERT_TRUE(run.data_file_written) << run.transcript;
            fs::create_directories((dir_ / device.file).parent_path());
            std::ofstream(dir_ / device.file, std::ios::binary) << run.data_file;
        }
        std::ofstream(dir_ / "d.txt", std::ios::binary) << "not a data file\r\n";
        std::ofstream(dir_ / "notes.md", std::ios::binary) << "not read at all\n";
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs the command, keeping what it prints.
    int Run(const std::vector<std::string>& args) {
        out_.str("");
        err_.str("");
        std::istringstream in;
        return report::RunReport(args, in, out_, err_);
    }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    fs::path dir_;
    std::ostringstream out_, err_;
};

TEST_F(Fleet, SummarisesEachFileAndWhatTheyShareOrNot) {
    ASSERT_EQ(Run({dir_.string(), "--summary", "--html", Path("fleet.html")}),
              report::kExitBadInput);
    const std::string a = Path("a/tapwatcherdata.txt"), b = Path("b/tapwatcherdata.txt"),
                      c = Path("c/tapwatcherdata.txt"), d = Path("d.txt");
    const std::string lines[] = {
        a + ": 4 rows, 1 taken, no faults\n",
        b + ": 7 rows, 2 taken, 1 fault: 1 chatter\n",
        c + ": 5 rows, 1 taken, 1 fault: 1 stuck key\n",
        d + ": not read: " + d + ":1: missing header",
        "\n3 files\nNot read: 1 file: " + d + "\n",
        "  stuck key                1 of 3\n  chatter                  1 of 3\n",
        "Taken on some files, not all: 2 combinations\n",
        "  Ctrl+Alt+T: on 2 of 3, not on: " + c + "\n",
        "  Shift+F3: on 2 of 3, not on: " + a + "\n",
        "Faulty keys: 2\n  C: stuck key on " + c + "\n  D: chatter on " + b + "\n",
    };
    const std::string text = out_.str();
    std::size_t at = 0;
    for (const std::string& line : lines) {
        std::size_t found = text.find(line, at);
        EXPECT_NE(found, std::string::npos) << line << "\nin:\n" << text;
        at = found == std::string::npos ? at : found + line.size();
    }
    EXPECT_EQ(text.find("notes.md"), std::string::npos);
    EXPECT_NE(err_.str().find(d + ":1: "), std::string::npos) << err_.str();

    std::ifstream in(Path("fleet.html"), std::ios::binary);
    const std::string page(std::istreambuf_iterator<char>(in), {});
    for (const std::string& part :
         {std::string("<h2>3 files</h2>"), std::string("<td>Shift+F3</td>"),
          "<td>C</td><td>" + c + "</td>", "not read: " + d})
        EXPECT_NE(page.find(part), std::string::npos) << part;
}

TEST_F(Fleet, ExitStatus) {
    const std::string a = Path("a/tapwatcherdata.txt"), b = Path("b/tapwatcherdata.txt");
    fs::create_directories(Path("empty"));
    const struct {
        std::vector<std::string> args;
        int status;
        const char* says; // on standard output or error
    } cases[] = {
        {{a, b, "--summary"}, report::kExitOk, "\n2 files\n"},
        {{a, Path("gone.txt"), "--summary"}, report::kExitBadInput, "\n1 file\n"},
        {{Path("empty"), a, "--summary"}, report::kExitBadInput, "no data files"},
        {{a, b}, report::kExitBadInput, "--summary or --html"},
        {{Path("a"), "--summary", "--svg", Path("x.svg")},
         report::kExitBadInput,
         "--svg takes one data file"},
        {{a, b, "--html", a}, report::kExitBadInput, "would overwrite the data file"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Run(c.args), c.status) << ::testing::PrintToString(c.args) << err_.str();
        EXPECT_NE((out_.str() + err_.str()).find(c.says), std::string::npos)
            << out_.str() << err_.str();
    }
}

} // namespace
