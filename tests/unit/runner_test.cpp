// runner_test.cpp - tapwatcher-sim: the scenario and profile
// readers, the screen as drawn, bad input, and what a run reports.
#include "tests/harness/harness.h"
#include "cli/common/keys.h"
#include "cli/sim/options.h"
#include "cli/runner/profile.h"
#include "cli/sim/run.h"
#include "cli/runner/screen.h"
#include "cli/terminal/terminal.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::TempDir;

void WriteFile(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// --- scenarios -----------------------------------------------------------------

TEST(RunnerScenario, LinesKeepTheirNumbersKeysTheirOrderAndTextItsCase) {
    runner::Scenario sc;
    std::string error;
    ASSERT_TRUE(sc.Parse("# first\n  WAIT 10   # ten\n\nType ctrl+shift+a\nshow\nbutton Exit\n",
                         "t.scn", error))
        << error;
    ASSERT_EQ(sc.size(), 4u);
    using K = runner::Scenario::Kind;
    EXPECT_EQ(sc.KindOf(0), K::Wait);
    EXPECT_EQ(sc.Ms(0), 10u);
    EXPECT_EQ(sc.Number(0), 2);
    EXPECT_EQ(sc.Text(0), "WAIT 10");
    EXPECT_EQ(sc.KindOf(1), K::Type);
    EXPECT_EQ(sc.Number(1), 4);
    ASSERT_EQ(sc.KeyCount(1), 3u);
    EXPECT_EQ(sc.Key(1, 0), 0x11);
    EXPECT_EQ(sc.Key(1, 1), 0x10);
    EXPECT_EQ(sc.Key(1, 2), 0x41);
    EXPECT_EQ(sc.Text(1), "Type ctrl+shift+a");
    EXPECT_EQ(sc.KindOf(2), K::Show);
    EXPECT_EQ(sc.Number(2), 5);
    EXPECT_EQ(sc.KindOf(3), K::Button);
    EXPECT_EQ(sc.Caption(3), u"Exit");
}

TEST(RunnerScenario, TypePressesInOrderAndReleasesInReverse) {
    // Capture-only, on a device where nothing is taken: each key event is a
    // row of its own and the tool passes nothing on.
    runner::ScenarioRun run;
    std::string error;
    ASSERT_TRUE(runner::RunScenarioText("dpi = 96\n", "wait 10\ntype Shift+Alt+B\n",
                                        "\\Program Files\\tapwatcherL.exe", run, error))
        << error;
    std::vector<std::string> got;
    for (const auto& row : run.end_rows)
        if (row[0] == "10")
            got.push_back(row[1] + " " + row[2]);
    EXPECT_EQ(got, (std::vector<std::string>{"10 D", "12 D", "42 D", "42 U", "12 U", "10 U"}));
}

TEST(RunnerScenario, BadLinesNameTheirFileAndLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"wait 1\nwait\n", "s.scn:2: wait: missing"},
        {"wait -5\n", "s.scn:1: wait: bad number \"-5\""},
        {"wait 4294967296\n", "s.scn:1: wait: bad number"},
        {"wait 1.5\n", "s.scn:1: wait: bad number"},
        {"# c\n\npress Foo\n", "s.scn:3: press: unknown key \"Foo\""},
        {"release A B\n", "s.scn:1: release: one key expected"},
        {"press 0x100\n", "s.scn:1: press: key code \"0x100\" is out of range"},
        {"type Ctrl++A\n", "s.scn:1: type: empty key name"},
        {"type Ctrl + A\n", "s.scn:1: type: one combination expected"},
        {"show now\n", "s.scn:1: show takes no argument"},
        {"close 1\n", "s.scn:1: close takes no argument"},
        {"button\n", "s.scn:1: button: missing caption"},
        {"wait 1\r\njump 3\r\n", "s.scn:2: unknown line \"jump 3\""},
    };
    for (const auto& [text, want] : cases) {
        runner::Scenario sc;
        std::string error;
        EXPECT_FALSE(sc.Parse(text, "s.scn", error)) << text;
        EXPECT_EQ(error.rfind(want, 0), 0u)
            << "for " << text << "expected: " << want << "\ngot:      " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        EXPECT_TRUE(sc.empty());
    }
}

TEST(RunnerScenario, LineListJoinsRunsOfNumbers) {
    runner::Scenario sc;
    std::string error;
    ASSERT_TRUE(
        sc.Parse("show\nshow\nshow\nshow\nshow\n# gap\n\nshow\nshow\n\nshow\n", "s", error));
    EXPECT_EQ(runner::LineListFrom(sc, 2), "3-5, 8-9, 11");
    EXPECT_EQ(runner::LineListFrom(sc, 6), "9, 11");
    EXPECT_EQ(runner::LineListFrom(sc, 7), "11");
    EXPECT_EQ(runner::LineListFrom(sc, 8), "");
}

// --- profiles ------------------------------------------------------------------

TEST(RunnerProfile, UnsetKeysKeepTheBuiltInValuesButTakenAndReadOnlyStartEmpty) {
    device::Profile p;
    p.root = "/keep/me";
    std::string error;
    ASSERT_TRUE(runner::ParseProfile("# nothing but a comment\n", "p", p, error)) << error;
    device::Profile b = runner::BuiltinDeviceProfile();
    EXPECT_EQ(p.platform, b.platform);
    EXPECT_EQ(p.dpi, b.dpi);
    EXPECT_EQ(p.screen_w, b.screen_w);
    EXPECT_EQ(p.screen_h, b.screen_h);
    EXPECT_EQ(p.taskbar, b.taskbar);
    EXPECT_EQ(p.menubar, b.menubar);
    EXPECT_EQ(p.exe, b.exe);
    EXPECT_TRUE(p.taken.empty());
    EXPECT_FALSE(b.taken.empty());
    EXPECT_TRUE(p.read_only.empty());
    EXPECT_EQ(p.root, "/keep/me");
    EXPECT_EQ(p.hotkey_queue, device::Profile::HotKeyQueue::Top);
    EXPECT_EQ(p.synthesised_keys, device::Profile::SynthesisedKeys::HotKeys);
    EXPECT_TRUE(p.modifier_hot_keys);
    EXPECT_EQ(p.register_cost_us, 0u);
}

TEST(RunnerProfile, EverySettingTakesEffect) {
    const char* text = "platform = Windows CE\n"
                       "DPI = 192\n"
                       "screen = 480x640\n"
                       "taskbar = 52\n"
                       "menubar = none\n"
                       "commctrl = no\n"
                       "start-tick = 0xFFFFFF00\n"
                       "exe = \\Windows\\WtapwatcherL.exe\n"
                       "taken = Shift+Alt+0x72\n"
                       "taken = any+App1\n"
                       "running-instance = YES\n"
                       "read-only = \\a.txt\n"
                       "read-only = \\b\\c.txt\n"
                       "disk-free = 123\n"
                       "hotkey-queue = Back\n"
                       "synthesised-keys = system\n"
                       "modifier-hot-keys = no\n"
                       "register-cost = 1500\n";
    device::Profile p;
    std::string error;
    ASSERT_TRUE(runner::ParseProfile(text, "p", p, error)) << error;
    EXPECT_EQ(p.platform, u"Windows CE");
    EXPECT_FALSE(p.platform_query_fails);
    EXPECT_EQ(p.dpi, 192);
    EXPECT_EQ(p.screen_w, 480);
    EXPECT_EQ(p.screen_h, 640);
    EXPECT_EQ(p.taskbar, 52);
    EXPECT_LT(p.menubar, 0);
    EXPECT_FALSE(p.commctrl);
    EXPECT_EQ(p.start_tick, 0xFFFFFF00u);
    EXPECT_EQ(p.exe, u"\\Windows\\WtapwatcherL.exe");
    ASSERT_EQ(p.taken.size(), 9u);
    EXPECT_EQ(p.taken[0].vk, 0x72);
    EXPECT_EQ(p.taken[0].mods, MOD_SHIFT | MOD_ALT);
    for (int m = 0; m < 8; ++m) {
        EXPECT_EQ(p.taken[1 + m].vk, 0xC1);
        EXPECT_EQ(p.taken[1 + m].mods, m);
    }
    EXPECT_TRUE(p.running_instance);
    EXPECT_EQ(p.read_only, (std::vector<std::u16string>{u"\\a.txt", u"\\b\\c.txt"}));
    EXPECT_EQ(p.disk_free, 123);
    EXPECT_EQ(p.hotkey_queue, device::Profile::HotKeyQueue::Back);
    EXPECT_EQ(p.synthesised_keys, device::Profile::SynthesisedKeys::System);
    EXPECT_FALSE(p.modifier_hot_keys);
    EXPECT_EQ(p.register_cost_us, 1500u);

    ASSERT_TRUE(runner::ParseProfile("platform = none\ndisk-free = unlimited\n", "p", p, error));
    EXPECT_TRUE(p.platform_query_fails);
    EXPECT_LT(p.disk_free, 0);
}

TEST(RunnerProfile, BadLinesNameTheirFileAndLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"dpi = 0\n", "d.profile:1: dpi: bad number \"0\""},
        {"dpi = 96\ndpi = abc\n", "d.profile:2: dpi is set twice (first on line 1)"},
        {"dpi = abc\n", "d.profile:1: dpi: bad number"},
        {"screen = 240\n", "d.profile:1: screen: expected WIDTHxHEIGHT"},
        {"screen = 240x0\n", "d.profile:1: screen: expected WIDTHxHEIGHT"},
        {"menubar = -1\n", "d.profile:1: menubar: expected pixels"},
        {"taskbar = 26px\n", "d.profile:1: taskbar: bad number"},
        {"commctrl = maybe\n", "d.profile:1: commctrl: expected yes or no"},
        {"start-tick = 4294967296\n", "d.profile:1: start-tick: bad number"},
        {"exe = tapwatcher.exe\n", "d.profile:1: exe: expected a full device path"},
        {"taken = Foo+A\n", "d.profile:1: taken: \"Foo\" is not a modifier"},
        {"taken = Shift+Shift+A\n", "d.profile:1: taken: Shift appears twice"},
        {"taken = Any+Shift+A\n", "d.profile:1: taken: Any already stands"},
        {"taken = Shift+Nope\n", "d.profile:1: taken: unknown key \"Nope\""},
        {"read-only = a.txt\n", "d.profile:1: read-only: expected a full device path"},
        {"disk-free = lots\n", "d.profile:1: disk-free: expected bytes"},
        {"hotkey-queue = front\n", "d.profile:1: hotkey-queue: expected top or back"},
        {"synthesised-keys = yes\n", "d.profile:1: synthesised-keys: expected hot-keys or system"},
        {"register-cost = 1000001\n", "d.profile:1: register-cost: expected microseconds"},
        {"modifier-hot-keys = 1\n", "d.profile:1: modifier-hot-keys: expected yes or no"},
        {"\n# ok\ncolour = red\n", "d.profile:3: unknown setting \"colour\""},
        {"just text\n", "d.profile:1: expected \"setting = value\""},
        {"dpi =\n", "d.profile:1: dpi: missing value"},
    };
    for (const auto& [text, want] : cases) {
        device::Profile p;
        std::string error;
        EXPECT_FALSE(runner::ParseProfile(text, "d.profile", p, error)) << text;
        EXPECT_EQ(error.rfind(want, 0), 0u)
            << "for " << text << "expected: " << want << "\ngot:      " << error;
    }
}

// --- the screen ------------------------------------------------------------------

TEST(RunnerScreen, TextIsCutToTheColumnWithAnEllipsis) {
    EXPECT_EQ(runner::CharWidth(96), 6);
    EXPECT_EQ(runner::CharWidth(192), 12);
    EXPECT_EQ(runner::CharWidth(1), 1);
    EXPECT_EQ(runner::FitText(u"SysTime", 12), "SysTime");
    EXPECT_EQ(runner::FitText(u"-2147483648", 12), "-2147483648");
    EXPECT_EQ(runner::FitText(u"-2147483648", 11), "-21474836\xE2\x80\xA6");
    EXPECT_EQ(runner::FitText(u"U/D", 3), "U\xE2\x80\xA6");
    EXPECT_EQ(runner::FitText(u"D", 3), "D");
    EXPECT_EQ(runner::FitText(u"AB", 2), "\xE2\x80\xA6");
    EXPECT_EQ(runner::FitText(u"Shift", 1), "");
}

// Runs the tool on a profile through a scenario, as the runner does, and
// returns the screen at the end of input.
runner::ScreenView ScreenAfter(const device::Profile& profile, const std::string& scenario) {
    TempDir tmp;
    runner::Job job;
    job.profile = profile;
    job.profile.root = tmp.path;
    std::string error;
    EXPECT_TRUE(job.scenario.Parse(scenario, "s", error)) << error;
    runner::Transcript t(nullptr);
    std::ostringstream errors;
    runner::RunResult result;
    runner::RunJob(job, t, errors, &result);
    EXPECT_TRUE(result.reached_end_of_input);
    return result.end_screen;
}

std::string TwentyKeys() {
    std::string s = "wait 4000\n";
    for (char c = 'A'; c < 'A' + 20; ++c)
        s += std::string("type ") + c + "\n";
    return s;
}

// The framed list lines of a view: those after the header line.
std::vector<std::string> ListLines(const runner::ScreenView& v, size_t header_at) {
    std::vector<std::string> out;
    for (size_t i = header_at + 1; i < v.lines.size() && v.lines[i][0] == '|'; ++i)
        out.push_back(v.lines[i]);
    return out;
}

TEST(RunnerScreen, NarrowPocketPcShowsTheLastPageWhereTheListScrolled) {
    runner::ScreenView v = ScreenAfter(runner::BuiltinDeviceProfile(), TwentyKeys());
    // 48 combinations of the shell, the sweep's quiet mark, 20 keys down and up.
    EXPECT_EQ(v.model.row_count, 48 + 1 + 40);
    EXPECT_EQ(v.model.rows.size(), 15u); // (320 - 26 - 26 - 18) / 16
    EXPECT_EQ(v.model.first_row, v.model.row_count - 15);
    EXPECT_EQ(v.model.rows_covered, 0);
    ASSERT_GE(v.lines.size(), 4u);
    EXPECT_EQ(v.lines[0], "+" + std::string(40, '-') + "+");
    EXPECT_EQ(v.lines[1], "|Tapwatcher" + std::string(30, ' ') + "|");
    EXPECT_EQ(v.lines[3],
              "|SysTime     VK  U\xE2\x80\xA6 S\xE2\x80\xA6 C\xE2\x80\xA6 A\xE2\x80\xA6" +
                  std::string(13, ' ') + "|");
    std::vector<std::string> rows = ListLines(v, 3);
    ASSERT_EQ(rows.size(), 15u);
    EXPECT_EQ(rows.back(), "|4000        54  U" + std::string(23, ' ') + "|");
    EXPECT_EQ(rows.front(), "|4000        4D  U" + std::string(23, ' ') + "|");
    EXPECT_EQ(v.lines[v.lines.size() - 2], "|[Exit] [Clear]" + std::string(26, ' ') + "|");
    EXPECT_EQ(v.summary, "rows 75-89 of 89, menu bar [Exit] [Clear]");
}

TEST(RunnerScreen, HighDensityUsesWideColumnsAtTwelvePixelsACharacter) {
    device::Profile p = runner::BuiltinDeviceProfile();
    p.screen_w = 480;
    p.screen_h = 640;
    p.dpi = 192;
    p.taskbar = p.menubar = 52;
    p.start_tick = 2147482000;
    runner::ScreenView v = ScreenAfter(p, "wait 10\ntype A\n");
    ASSERT_GE(v.lines.size(), 4u);
    // Wide columns 84, 56, 40...: 7, 4, 3 characters at 192 dpi.
    EXPECT_EQ(
        v.lines[3].rfind("|SysTi\xE2\x80\xA6 VK  U\xE2\x80\xA6 S\xE2\x80\xA6 C\xE2\x80\xA6", 0), 0u)
        << v.lines[3];
    std::vector<std::string> rows = ListLines(v, 3);
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows.back().rfind("|21474\xE2\x80\xA6 41  U", 0), 0u) << rows.back();
    EXPECT_EQ(v.model.rows.size(), 15u); // (640 - 52 - 52 - 36) / 32
}

TEST(RunnerScreen, AMenuBarTheToolLeftNoRoomForHidesTheNewestRows) {
    device::Profile p = runner::BuiltinDeviceProfile();
    p.platform = u"SmartPhone";
    runner::ScreenView v = ScreenAfter(p, TwentyKeys());
    // The list is 294 pixels high, 17 rows; the menu bar covers the last 26.
    EXPECT_EQ(v.model.rows_covered, 2);
    EXPECT_EQ(v.model.rows.size(), 15u);
    EXPECT_EQ(v.model.first_row, v.model.row_count - 17);
    for (const std::string& line : v.lines)
        EXPECT_EQ(line.find("54  U"), std::string::npos) << "the newest row is behind the menu bar";
    EXPECT_NE(v.summary.find("2 more behind the menu bar"), std::string::npos) << v.summary;
}

TEST(RunnerScreen, NoMenuBarAndNoListView) {
    device::Profile p = runner::BuiltinDeviceProfile();
    p.platform = u"Windows CE";
    p.menubar = -1;
    runner::ScreenView v = ScreenAfter(p, "wait 10\n");
    EXPECT_TRUE(v.model.has_list);
    EXPECT_EQ(v.model.rows.size(), 17u); // the whole client area: (294 - 18) / 16
    EXPECT_EQ(v.summary.substr(v.summary.size() - 13), ", no menu bar");
    EXPECT_EQ(v.lines.back(), v.lines.front()); // the frame ends under the list

    p = runner::BuiltinDeviceProfile();
    p.commctrl = false;
    v = ScreenAfter(p, "wait 10\n");
    EXPECT_TRUE(v.model.has_window);
    EXPECT_FALSE(v.model.has_list);
    EXPECT_EQ(v.summary, "no list view, menu bar [Exit] [Clear]");
}

// Taps the menu-bar button the screen model hits in the middle of the area it
// gives `caption`, as a click on the X window or the page does.
void TapWhereShown(device::Device& dev, std::u16string_view caption) {
    const runner::ScreenModel m = runner::LayOutScreen(dev);
    for (const runner::ScreenModel::Button& b : m.buttons) {
        if (b.caption != caption)
            continue;
        const runner::ScreenArea& a = b.area;
        const runner::ScreenModel::Button* hit = runner::ButtonAt(m, a.x + a.w / 2, a.y + a.h / 2);
        ASSERT_NE(hit, nullptr) << device::Narrow(caption);
        dev.TapButton(hit->caption);
        return;
    }
    ADD_FAILURE() << "no button " << device::Narrow(caption);
}

TEST(RunnerScreen, ATapOnAButtonsAreaIsATapOnItsCaption) {
    struct Case {
        int w, h, dpi, bar;
    };
    for (const Case c : {Case{240, 320, 96, 26}, Case{480, 640, 192, 52}}) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
        auto tweak = [&](device::Profile& p) {
            p.screen_w = c.w;
            p.screen_h = c.h;
            p.dpi = c.dpi;
            p.taskbar = p.menubar = c.bar;
        };
        // The journal of a run whose script `steps` writes (one device at a time).
        auto journal = [&](const std::function<void(device::Script&)>& steps) {
            testing_support::Tool t(tweak);
            steps(t.script.Wait(10));
            EXPECT_EQ(t.Run(), 0);
            return testing_support::JournalLines(*t.dev);
        };
        runner::ScreenModel m;
        std::vector<std::string> by_area = journal([&](device::Script& s) {
            s.Type({'A'})
                .Check([&](device::Device& dev) {
                    m = runner::LayOutScreen(dev);
                    TapWhereShown(dev, u"Clear");
                })
                .Type({'B'})
                .Check([](device::Device& dev) { TapWhereShown(dev, u"Exit"); })
                .Wait(1000);
        });
        std::vector<std::string> by_caption = journal([](device::Script& s) {
            s.Type({'A'}).Button(u"Clear").Type({'B'}).Button(u"Exit").Wait(1000);
        });
        EXPECT_TRUE(testing_support::SameLines(by_area, by_caption));

        // The device's buttons in order, sharing the menu bar: Exit the left half.
        ASSERT_EQ(m.buttons.size(), 2u);
        EXPECT_EQ(m.buttons[0].caption, u"Exit");
        EXPECT_EQ(m.buttons[1].caption, u"Clear");
        const int top = c.h - c.bar, half = c.w / 2;
        EXPECT_EQ(m.buttons[0].area, (runner::ScreenArea{0, top, half, c.bar}));
        EXPECT_EQ(m.buttons[1].area, (runner::ScreenArea{half, top, half, c.bar}));
        EXPECT_EQ(runner::ButtonAt(m, half - 1, c.h - 1), &m.buttons[0]);
        EXPECT_EQ(runner::ButtonAt(m, half, top), &m.buttons[1]);
        EXPECT_EQ(runner::ButtonAt(m, half, top - 1), nullptr); // the list view
        EXPECT_EQ(runner::ButtonAt(m, c.w, top), nullptr);
    }
}

// --- runs ------------------------------------------------------------------------

// Runs the runner's whole job and keeps what it wrote.
struct Outcome {
    int status;
    std::string out, err;
};
Outcome RunWith(const runner::Options& o) {
    std::ostringstream out, err;
    int status = runner::Run(o, out, err);
    return {status, out.str(), err.str()};
}

TEST(RunnerRun, BadInputExitsTwoWithItsFileAndLineAndRunsNothing) {
    TempDir tmp;
    struct Case {
        const char* scenario; // text, or NULL: the file is missing
        const char* profile;  // text, NULL: built-in, "" : the file is missing
        std::string want;     // the start of the message
    } cases[] = {
        {"wait 10\nfly\n", nullptr, "S:2: unknown line \"fly\""},
        {"wait 1O\n", nullptr, "S:1: wait: bad number \"1O\""},
        {"\npress Hyper\n", nullptr, "S:2: press: unknown key \"Hyper\""},
        {"wait 10\n", "exe = \\Program Files\\Wtapwatcher.exe\nshape = round\n",
         "P:2: unknown setting \"shape\""},
        {"wait 10\n", "exe = \\Program Files\\Wtapwatcher.exe\ndpi = many\n",
         "P:2: dpi: bad number"},
        {nullptr, nullptr, "S:0: cannot open: No such file or directory"},
        {"wait 10\n", "", "P:0: cannot open: No such file or directory"},
    };
    int n = 0;
    for (const Case& c : cases) {
        std::string dir = tmp.path + "/case" + std::to_string(n++);
        fs::create_directories(dir);
        runner::Options o;
        o.scenario = dir + "/s.scn";
        o.root = dir + "/device";
        if (c.scenario)
            WriteFile(o.scenario, c.scenario);
        if (c.profile) {
            o.device = dir + "/p.profile";
            if (*c.profile)
                WriteFile(o.device, c.profile);
        }
        std::string want = c.want;
        if (want[0] == 'S')
            want.replace(0, 1, o.scenario);
        else
            want.replace(0, 1, o.device);
        Outcome r = RunWith(o);
        EXPECT_EQ(r.status, runner::kExitBadInput) << want;
        EXPECT_EQ(r.err.rfind(want, 0), 0u) << "expected: " << want << "\ngot:      " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.out, "") << "nothing may run for " << want;
        EXPECT_FALSE(fs::exists(o.root)) << "the device root was made for " << want;
    }
}

TEST(RunnerRun, BadArgumentsExitTwoBeforeAnythingRuns) {
    TempDir tmp;
    std::string root = tmp.path + "/device";
    std::string scn = tmp.path + "/s.scn";
    WriteFile(scn, "wait 10\n");
    const std::vector<std::vector<std::string>> cases = {
        {"--colour", scn},
        {scn, scn},
        {"--device"},
        {"--exe", "tapwatcher.exe", scn},
    };
    for (const auto& args : cases) {
        std::vector<std::string> all = {"tapwatcher-sim", "--root", root};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all)
            argv.push_back(a.data());
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int status = runner::Main((int)argv.size(), argv.data());
        std::string out = testing::internal::GetCapturedStdout();
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(status, runner::kExitBadInput) << args[0];
        EXPECT_EQ(err.rfind("tapwatcher-sim: ", 0), 0u) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_EQ(out, "");
        EXPECT_FALSE(fs::exists(root));
    }
}

TEST(RunnerRun, HelpAndVersion) {
    runner::Options o;
    std::string error;
    ASSERT_TRUE(runner::ParseArgs({"--version"}, o, error));
    EXPECT_TRUE(o.version);
    ASSERT_TRUE(runner::ParseArgs({"-h", "--exe=\\x.exe", "--root", "r", "-"}, o, error)) << error;
    EXPECT_TRUE(o.help);
    EXPECT_EQ(o.exe, "\\x.exe");
    EXPECT_EQ(o.root, "r");
    EXPECT_EQ(o.scenario, "-");
    EXPECT_EQ(runner::VersionText().rfind("tapwatcher-sim ", 0), 0u);
    // The help text names every scenario and profile line.
    std::string help = runner::UsageText();
    for (const char* word :
         {"wait",      "press",      "release", "type",   "button",           "close",
          "show",      "platform",   "dpi",     "screen", "taskbar",          "menubar",
          "commctrl",  "start-tick", "exe",     "taken",  "running-instance", "read-only",
          "disk-free", "Ctrl-X",     "Ctrl-L",  "Ctrl-C"})
        EXPECT_NE(help.find(word), std::string::npos) << word;
}

// Every option of the table that --help and the manual page are made from is one the
// runner takes, under each of its forms, with its value apart or after "=".
TEST(RunnerRun, TakesEveryOptionItsHelpLists) {
    const std::string help = runner::UsageText();
    for (const cli::OptionDoc& option : runner::kOptions) {
        for (const char* form : {option.name, option.alias}) {
            if (*form == '\0')
                continue;
            std::vector<std::vector<std::string>> ways = {{form}};
            if (*option.value != '\0') {
                // A value every option takes; --format takes only its names.
                const std::string value =
                    std::string(option.name) == "--format" ? "jsonl" : "\\v.exe";
                ways = {{form, value}};
                if (form[1] == '-')
                    ways.push_back({std::string(form) + "=" + value});
            }
            for (const auto& args : ways) {
                runner::Options o;
                std::string error;
                EXPECT_TRUE(runner::ParseArgs(args, o, error)) << args[0] << ": " << error;
            }
            EXPECT_NE(help.find(form), std::string::npos) << form;
        }
    }
}

TEST(RunnerRun, AWaitRunsTheTimerThatFallsDueAtItsEnd) {
    runner::ScenarioRun run;
    std::string error;
    ASSERT_TRUE(runner::RunScenarioText("", "wait 1000\ntype A\nwait 3000\n", "", run, error))
        << error;
    ASSERT_FALSE(run.end_rows.empty());
    EXPECT_EQ(run.end_rows.back(), (std::array<std::string, 6>{"4000", "", "", "", "", ""}));

    ASSERT_TRUE(runner::RunScenarioText("", "wait 1000\ntype A\nwait 2999\n", "", run, error))
        << error;
    ASSERT_FALSE(run.end_rows.empty());
    EXPECT_EQ(run.end_rows.back(), (std::array<std::string, 6>{"1000", "41", "U", "", "", ""}));
    EXPECT_TRUE(run.reached_end_of_input);
}

TEST(RunnerRun, LinesAfterTheToolExitedAreCountedAsLines) {
    runner::ScenarioRun run;
    std::string error;
    ASSERT_TRUE(runner::RunScenarioText(
        "", "wait 10\nbutton exit\ntype Ctrl+A\n# note\nwait 5\nshow\n", "", run, error))
        << error;
    EXPECT_NE(
        run.transcript.find("\n10 not run, the tool had exited: 3 lines (3, 5-6)\n10 exit 0\n"),
        std::string::npos)
        << run.transcript;
    EXPECT_FALSE(run.reached_end_of_input);
    EXPECT_EQ(run.transcript.find("screen"), std::string::npos) << "no screen once the tool exited";
}

TEST(RunnerRun, EndScreenThenCloseThenTheSavedRowsAreTheRowsShown) {
    runner::ScenarioRun run;
    std::string error;
    ASSERT_TRUE(runner::RunScenarioText("taken = Shift+Alt+0x72\n",
                                        "wait 100\ntype Ctrl+A\nwait 3000\ntype B\n",
                                        "\\Program Files\\Wtapwatcher.exe", run, error))
        << error;
    EXPECT_EQ(run.status, 0);
    size_t screen = run.transcript.find("3100 screen at end of input");
    size_t close = run.transcript.find("3100 the shell closes the tool (end of input)");
    size_t saved = run.transcript.find("3100 data file written: ");
    size_t exit = run.transcript.find("3100 exit 0");
    ASSERT_NE(screen, std::string::npos) << run.transcript;
    EXPECT_LT(screen, close);
    EXPECT_LT(close, saved);
    EXPECT_LT(saved, exit);
    ASSERT_TRUE(run.data_file_written);
    std::string want = "SysTime\tVK\tU/D\tShift\tCtrl\tAlt\r\n";
    for (const auto& row : run.end_rows)
        want += row[0] + "\t" + row[1] + "\t" + row[2] + "\t" + row[3] + "\t" + row[4] + "\t" +
                row[5] + "\r\n";
    EXPECT_EQ(run.data_file, want);
    EXPECT_EQ(run.end_rows.front(), (std::array<std::string, 6>{"1", "72", "F", "S", "", "A"}));
    // The taken row; Ctrl+A, whose events push the sweep's quiet mark back;
    // the quiet mark, due just as the wait ends; B.
    EXPECT_EQ(run.end_rows.size(), 1u + 4 + 1 + 2);
}

TEST(RunnerRun, KeysThatReachTheSystemAndFailedStepsAreReported) {
    runner::ScenarioRun run;
    std::string error;
    ASSERT_TRUE(runner::RunScenarioText("menubar = none\nstart-tick = 4294967000\n",
                                        "wait 100\ntype Shift+Z\nbutton Clear\n", "", run, error))
        << error;
    const char* want[] = {
        "-196 line 2: type Shift+Z\n",
        "-196 key Z (0x5A) down, mods Shift, synthesised\n",
        "-196 key Z (0x5A) up, mods Shift, synthesised\n",
        "-196 key Shift (0x10) up, mods none\n",
        "-196 line 3: button Clear\n",
        "-196 failed line 3: button \"Clear\": no menu-bar button shows it\n",
    };
    size_t at = 0;
    for (const char* w : want) {
        size_t found = run.transcript.find(w, at);
        EXPECT_NE(found, std::string::npos) << "expected, in order: " << w << run.transcript;
        if (found != std::string::npos)
            at = found;
    }
    EXPECT_EQ(run.status, 0);
}

// A modifier key's press fires its own hot key, and so logs itself, as the profile says; the
// start line names the setting.
TEST(RunnerRun, ModifierHotKeysSayWhetherAModifierKeyLogsItself) {
    const struct {
        const char* setting;
        const char* start;
        std::vector<std::string> rows;
    } cases[] = {
        {"", "modifier-hot-keys yes", {"11 D C", "41 D C", "41 U C", "11 U C"}},
        {"modifier-hot-keys = no\n", "modifier-hot-keys no", {"41 D C", "41 U C"}},
    };
    for (const auto& c : cases) {
        runner::ScenarioRun run;
        std::string error;
        ASSERT_TRUE(runner::RunScenarioText(std::string("menubar = none\n") + c.setting,
                                            "wait 100\ntype Ctrl+A\n", "", run, error))
            << error;
        EXPECT_NE(run.transcript.find(c.start), std::string::npos) << run.transcript;
        std::vector<std::string> rows;
        for (const auto& r : run.end_rows) {
            if (r[2] == "D" || r[2] == "U")
                rows.push_back(r[1] + " " + r[2] + (r[3].empty() ? "" : " " + r[3]) +
                               (r[4].empty() ? "" : " " + r[4]));
        }
        EXPECT_EQ(rows, c.rows) << c.setting << run.transcript;
    }
}

TEST(RunnerRun, AnExistingReadOnlyDataFileIsLeftAsItWas) {
    TempDir tmp;
    runner::Options o;
    o.root = tmp.path + "/device";
    o.device = tmp.path + "/ro.profile";
    o.scenario = tmp.path + "/s.scn";
    WriteFile(o.device, "exe = \\Program Files\\Wtapwatcher.exe\n"
                        "read-only = \\program files\\TAPWATCHERDATA.TXT\n");
    WriteFile(o.scenario, "wait 10\ntype A\n");
    WriteFile(o.root + "/Program Files/tapwatcherdata.txt", "old content\r\n");
    Outcome r = RunWith(o);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(o.root + "/Program Files/tapwatcherdata.txt"), "old content\r\n");
    EXPECT_NE(r.out.find("10 message box \"error\": \"Can't open file.(5)\" [OK]\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("made, empty"), std::string::npos) << "an existing file is not made";
    EXPECT_EQ(r.out.find("data file written"), std::string::npos);
}

// --- keys typed on a terminal -----------------------------------------------------

std::vector<runner::TypedKey> Decode(const std::string& bytes) {
    runner::TerminalDecoder d;
    std::vector<runner::TypedKey> keys = d.Feed(bytes);
    std::vector<runner::TypedKey> rest = d.Flush();
    keys.insert(keys.end(), rest.begin(), rest.end());
    return keys;
}

runner::TypedKey K(std::vector<uint8_t> keys) {
    runner::TypedKey k;
    k.keys = std::move(keys);
    return k;
}

runner::TypedKey Special(runner::TypedKey::Kind kind) {
    runner::TypedKey k;
    k.kind = kind;
    return k;
}

std::string Show(const std::vector<runner::TypedKey>& keys) {
    std::string s;
    for (const auto& k : keys) {
        s += "[" + std::to_string((int)k.kind);
        for (uint8_t vk : k.keys)
            s += " " + keys::KeyName(vk);
        s += "]";
    }
    return s;
}

TEST(RunnerTerminal, BytesBecomeKeysWithTheirModifiers) {
    using TK = runner::TypedKey;
    const std::pair<std::string, std::vector<TK>> cases[] = {
        {"a", {K({0x41})}},
        {"A", {K({0x10, 0x41})}},
        {"7!", {K({0x37}), K({0x10, 0x31})}},
        {"\x01", {K({0x11, 0x41})}},
        {"\r\t\x7f ", {K({0x0D}), K({0x09}), K({0x08}), K({0x20})}},
        {"\x1b", {K({0x1B})}},
        {"\x1bx", {K({0x12, 0x58})}},
        {"\x1bX", {K({0x10, 0x12, 0x58})}},
        {"\x1b[A\x1b[B\x1b[C\x1b[D", {K({0x26}), K({0x28}), K({0x27}), K({0x25})}},
        {"\x1b[1;5C", {K({0x11, 0x27})}},
        {"\x1b[1;2P\x1bOQ", {K({0x10, 0x70}), K({0x71})}},
        {"\x1b[15~\x1b[24;3~", {K({0x74}), K({0x12, 0x7B})}},
        {"\x1b[3~\x1b[5~", {K({0x2E}), K({0x21})}},
        {"\x1b[[A", {K({0x70})}},
        {"\x1b[Z", {K({0x10, 0x09})}},
        {"\x03", {Special(TK::Leave)}},
        {"\x18\x0c", {Special(TK::Exit), Special(TK::Clear)}},
        {"\xc3\xa9z", {K({0x5A})}},
        {"\x1b[?1;2c", {}},
    };
    for (const auto& [bytes, want] : cases)
        EXPECT_EQ(Show(Decode(bytes)), Show(want)) << "bytes of length " << bytes.size();
}

TEST(RunnerTerminal, ASequenceCutBetweenReadsIsKeptForTheNext) {
    runner::TerminalDecoder d;
    EXPECT_TRUE(d.Feed("b\x1b[1;").size() == 1);
    EXPECT_TRUE(d.Pending());
    EXPECT_EQ(Show(d.Feed("5A")), Show({K({0x11, 0x26})}));
    EXPECT_FALSE(d.Pending());
    EXPECT_TRUE(d.Feed("\x1b").empty());
    EXPECT_EQ(Show(d.Flush()), Show({K({0x1B})}));
}

// With the keyboard protocol: presses, repeats and releases as they happen,
// one key each; the runner's own keys; replies to queries are no keys.
TEST(RunnerTerminal, ProtocolEventsArePressesRepeatsAndReleases) {
    using TK = runner::TypedKey;
    auto ev = [](TK::Kind kind, uint8_t vk, bool repeat = false) {
        TK k;
        k.kind = kind;
        k.keys = {vk};
        k.repeat = repeat;
        return k;
    };
    const std::pair<std::string, std::vector<TK>> cases[] = {
        {"\x1b[97u", {ev(TK::Press, 0x41)}},
        {"\x1b[97;1:2u\x1b[97;1:3u", {ev(TK::Press, 0x41, true), ev(TK::Release, 0x41)}},
        {"\x1b[57441;2u\x1b[57448;5:3u", {ev(TK::Press, 0x10), ev(TK::Release, 0x11)}},
        {"\x1b[57376u\x1b[57387u", {ev(TK::Press, 0x7C), ev(TK::Press, 0x87)}},
        {"\x1b[1;5:3A\x1b[3;1:3~\x1b[13u",
         {ev(TK::Release, 0x26), ev(TK::Release, 0x2E), ev(TK::Press, 0x0D)}},
        {"\x1b[120;5u\x1b[120;5:3u\x1b[108;5u", {Special(TK::Exit), Special(TK::Clear)}},
        {"\x1b[99;5u\x1b[93;5u", {Special(TK::Leave), Special(TK::Prefix)}},
        {"\x1b[?1u\x1b[?62;22c", {}},
    };
    for (const auto& [bytes, want] : cases) {
        runner::TerminalDecoder d;
        d.protocol = true;
        std::vector<TK> got = d.Feed(bytes);
        EXPECT_EQ(Show(got), Show(want)) << "bytes of length " << bytes.size();
        for (size_t i = 0; i < got.size() && i < want.size(); ++i)
            EXPECT_EQ(got[i].repeat, want[i].repeat);
    }
}

TEST(RunnerTerminal, TheProtocolQueryIsAnsweredOrNot) {
    std::string rest;
    EXPECT_EQ(runner::ParseProtocolAnswer("\x1b[?0u\x1b[?62;22c", rest),
              runner::ProtocolAnswer::Yes);
    EXPECT_EQ(runner::ParseProtocolAnswer("a\x1b[?62;22cb", rest), runner::ProtocolAnswer::No);
    EXPECT_EQ(rest, "ab") << "keys typed meanwhile are kept";
    EXPECT_EQ(runner::ParseProtocolAnswer("\x1b[?6", rest), runner::ProtocolAnswer::Unknown);
}

} // namespace
