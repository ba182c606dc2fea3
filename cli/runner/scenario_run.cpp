// scenario_run.cpp - a job run from its scenario: the driver that walks the
// scenario's lines, and what the run leaves behind.
#include "cli/runner/scenario_run.h"

#include "cli/runner/launch.h"
#include "cli/runner/parse_util.h"
#include "cli/runner/profile.h"
#include "device/files.h"

#include <cerrno>
#include <sys/stat.h>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace runner {

namespace {

// Feeds the device a scenario's lines straight from the scenario, one step at
// a time, as a device::Script built from them would: before each line other than
// `wait` and `show`, its transcript line; a `type` line as its key events,
// down in order and up in reverse, each a step of its own; `wait` lines only
// move the driver's clock; after the last line, the screen at the end of
// input, then the shell closes the tool.
class ScenarioDriver : public device::Driver {
  public:
    ScenarioDriver(Job& job, Transcript& t, device::Device& dev, DeviceWatch& watch, RunResult& res,
                   bool want_rows)
        : job_(job), s_(job.scenario), t_(t), dev_(dev), watch_(watch), res_(res),
          want_rows_(want_rows) {}

    Next Poll(device::Device& dev, uint64_t, uint64_t& at) override {
        watch_.Idle();
        if (!started_) {
            cursor_ = dev.Now();
            started_ = true;
        }
        for (;;) {
            while (line_ < s_.size() && s_.KindOf(line_) == Scenario::Kind::Wait)
                cursor_ += s_.Ms(line_++);
            if (line_ < s_.size() || !job_.stream || stream_done_)
                break;
            // A streamed scenario: its next line, as it arrives; the lines
            // run are forgotten, so a long stream takes no more memory.
            job_.scenario.Clear();
            line_ = 0;
            LineReader::Result r = PullLine(job_, bad_line_);
            if (r != LineReader::Line) {
                stream_done_ = true;
                if (r == LineReader::End)
                    bad_line_.clear();
            }
        }
        at = cursor_;
        return line_ <= s_.size() && !ended_ ? Next::Step : Next::End;
    }

    void Step(device::Device& dev) override {
        if (line_ == s_.size()) {
            ended_ = true;
            if (bad_line_.empty())
                EndOfInput(dev);
            else
                Stopped(dev);
            return;
        }
        const size_t i = line_;
        const Scenario::Kind kind = s_.KindOf(i);
        size_t step = step_++;
        if (kind != Scenario::Kind::Show) {
            if (step == 0) { // the line's transcript line, before it acts
                t_.Line(dev.Tick(), s_.Number(i), s_.Text(i));
                return;
            }
            --step;
        }
        bool last = true;
        switch (kind) {
        case Scenario::Kind::Press:
            dev.KeyDown(s_.Key(i, 0));
            break;
        case Scenario::Kind::Release:
            dev.KeyUp(s_.Key(i, 0));
            break;
        case Scenario::Kind::Type: {
            const size_t n = s_.KeyCount(i);
            if (step < n)
                dev.KeyDown(s_.Key(i, step));
            else
                dev.KeyUp(s_.Key(i, 2 * n - 1 - step));
            last = step + 1 == 2 * n;
            break;
        }
        case Scenario::Kind::Button:
            if (dev.TapButton(s_.Caption(i)))
                watch_.MenuTap(s_.Caption(i));
            else
                Failed(i, "button \"" + Printable(device::Narrow(s_.Caption(i))) +
                              "\": no menu-bar button shows it");
            break;
        case Scenario::Kind::Close:
            if (!dev.RequestClose())
                Failed(i, "close: the tool has no main window");
            break;
        case Scenario::Kind::Show:
            t_.Screen(dev.Tick(), "line " + std::to_string(s_.Number(i)) + " (show)",
                      DrawScreen(dev));
            break;
        case Scenario::Kind::Wait:
            break;
        }
        if (last) {
            ++line_;
            step_ = 0;
        }
    }

    // The lines with a step not run yet: from NextLine() to the end.
    size_t LinesNotRun() const { return line_ < s_.size() ? s_.size() - line_ : 0; }
    size_t NextLine() const { return line_; }
    // The bad line that stopped a streamed scenario ("" when none did).
    const std::string& BadLine() const { return bad_line_; }
    // A streamed scenario still had input when the tool exited.
    bool StreamLeft() const { return job_.stream && !stream_done_ && job_.stream->MoreWaiting(); }

  private:
    void Failed(size_t i, const std::string& why) {
        t_.Event(dev_.Tick(), "failed", "failed line " + std::to_string(s_.Number(i)) + ": " + why,
                 {{"line", s_.Number(i)}, {"why", why}});
    }

    // The end of input: the screen as it stands, then the shell closes the tool.
    void EndOfInput(device::Device& d) {
        res_.reached_end_of_input = true;
        ScreenView view = DrawScreen(d);
        t_.Screen(d.Tick(), "end of input", view);
        if (want_rows_) { // only a caller that asks gets the rows: a copy of the whole log
            res_.end_rows = ListRows(d);
            res_.end_screen = std::move(view);
        }
        t_.Event(d.Tick(), "close", "the shell closes the tool (end of input)",
                 {{"why", "end of input"}});
    }

    // A bad line of a streamed scenario: the lines before it ran; the shell
    // closes the tool.
    void Stopped(device::Device& d) {
        t_.Event(d.Tick(), "stopped", "stopped: " + bad_line_ + " (the lines before it ran)",
                 {{"line", job_.stream->Number()}, {"error", bad_line_}});
        t_.Event(d.Tick(), "close", "the shell closes the tool (a bad line)",
                 {{"why", "a bad line"}});
    }

    Job& job_;
    const Scenario& s_;
    Transcript& t_;
    device::Device& dev_;
    DeviceWatch& watch_;
    RunResult& res_;
    const bool want_rows_;
    size_t line_ = 0; // the line whose step is next; size(): the end of input
    size_t step_ = 0; // the next step within it
    bool ended_ = false;
    bool stream_done_ = false;
    std::string bad_line_;
    uint64_t cursor_ = 0;
    bool started_ = false;
};

} // namespace

namespace {

// Before a streamed scenario waits for its next line: what the transcript
// holds is written out, and a terminal shows the prompt.
struct WaitHook {
    Transcript* t;
    void (*prompt)(void*, int);
    static void Before(void* self, int next_line) {
        WaitHook* h = (WaitHook*)self;
        h->t->Flush();
        if (h->prompt)
            h->prompt(nullptr, next_line);
    }
};

} // namespace

int RunJob(Job& job, Transcript& t, std::ostream& errors, RunResult* result) {
    RunResult local;
    RunResult& res = result ? *result : local;
    res = RunResult{};
    device::Device dev(job.profile);
    DeviceWatch watch(dev, job, t);
    std::string error;
    if (!PrepareDevice(dev, job, t, error)) {
        errors << error << std::endl;
        res.status = kExitBadInput;
        return res.status;
    }
    res.data_file_host_path =
        dev.Files().HostPath(device::Widen(DataFileDevicePath(job.profile.exe)));

    ScenarioDriver driver(job, t, dev, watch, res, result != nullptr && job.end_rows);
    WaitHook hook{&t, job.stream ? job.stream->before_wait : nullptr};
    if (job.stream) {
        job.stream->before_wait = WaitHook::Before;
        job.stream->before_wait_context = &hook;
    }

    int code;
    try {
        code = runner::RunTool(dev, &driver);
    } catch (const device::Stalled& e) {
        watch.Sync();
        t.Event(dev.Tick(), "stalled", std::string("stalled: ") + e.what(), {{"why", e.what()}});
        errors << kProgram << ": the tool stopped making progress: " << e.what() << std::endl;
        res.status = kExitStalled;
        return res.status;
    }
    watch.Sync();

    if (const device::Window* fg = dev.Find(dev.ForegroundWindow()))
        if (fg->kind == device::WindowKind::Foreign) {
            std::string title = device::Narrow(fg->title), cls = device::Narrow(fg->cls);
            t.Event(dev.Tick(), "foreground",
                    "the running instance's window \"" + title + "\" (" + cls +
                        ") comes to the front",
                    {{"title", title}, {"class", cls}});
        }
    if (size_t left = driver.LinesNotRun()) {
        std::string list = LineListFrom(job.scenario, driver.NextLine());
        t.Event(dev.Tick(), "not_run",
                "not run, the tool had exited: " + std::to_string(left) +
                    (left == 1 ? " line (" : " lines (") + list + ")",
                {{"count", (uint64_t)left}, {"lines", list}});
    }
    if (driver.StreamLeft())
        t.Event(dev.Tick(), "not_read",
                "not read, the tool had exited: the rest of " + job.stream->Name(),
                {{"input", job.stream->Name()}});
    std::string why;
    res.status = code;
    if (!driver.BadLine().empty()) {
        res.status = kExitBadInput;
        why = "a bad line stopped the run";
        errors << driver.BadLine() << std::endl;
    } else if (watch.HostFault()) {
        res.status = kExitHost;
        why = "the host failed a write";
        errors << kProgram << ": the host failed a write under the device root (see the transcript)"
               << std::endl;
    }
    std::string exit = "exit " + std::to_string(res.status);
    if (res.status != code)
        exit += " (the tool exited " + std::to_string(code) + "; " + why + ")";
    t.Event(dev.Tick(), "exit", exit, {{"status", res.status}, {"tool_code", code}});
    if (job.stream) {
        job.stream->before_wait = hook.prompt;
        job.stream->before_wait_context = nullptr;
    }
    return res.status;
}

namespace {

// The job's profile from PROFILE_TEXT (empty: the built-in one) under EXE (empty: the
// profile's).
bool LoadProfile(const std::string& profile_text, const std::string& exe, Job& job,
                 std::string& error) {
    if (profile_text.empty()) {
        job.profile = BuiltinDeviceProfile();
        job.profile_name = "built-in";
    } else {
        if (!ParseProfile(profile_text, "<profile>", job.profile, error, &job.taken_owners))
            return false;
        job.profile_name = "<profile>";
    }
    if (!exe.empty()) {
        if (!IsDevicePath(exe)) {
            error = "exe: expected a full device path, got \"" + exe + "\"";
            return false;
        }
        job.profile.exe = device::Widen(exe);
    }
    return true;
}

// Runs JOB on the device root ROOT, or on a temporary one made and removed here when ROOT is
// empty; READ is given the host path of the data file the tool wrote ("" when none) while it
// is still there. False, with ERROR, when nothing ran or the tool stalled.
bool RunOnRoot(Job& job, std::string root, Transcript& t, RunResult& result, int& status,
               const std::function<void(const std::string&)>& read, std::string& error) {
    const bool temporary = root.empty();
    if (temporary) {
        char tmpl[] = "/tmp/tapwatcher-sim-XXXXXX";
        if (!mkdtemp(tmpl)) {
            error = std::string("cannot make a temporary device root: ") + std::strerror(errno);
            return false;
        }
        root = tmpl;
    }
    job.profile.root = root;
    std::ostringstream errors;
    status = RunJob(job, t, errors, &result);
    t.Flush();
    struct stat st;
    const std::string& data = result.data_file_host_path;
    read(!data.empty() && stat(data.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? data : "");
    if (temporary) {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    if (status == kExitBadInput || status == kExitStalled) {
        error = errors.str();
        while (!error.empty() && error.back() == '\n')
            error.pop_back();
        return false;
    }
    return true;
}

} // namespace

bool RunScenarioText(const std::string& profile_text, const std::string& scenario_text,
                     const std::string& exe, ScenarioRun& run, std::string& error, Format format) {
    run = ScenarioRun{};
    Job job;
    if (!LoadProfile(profile_text, exe, job, error) ||
        !job.scenario.Parse(scenario_text, "<scenario>", error))
        return false;
    std::ostringstream transcript;
    Transcript t(&transcript, format);
    RunResult result;
    const bool ran = RunOnRoot(
        job, "", t, result, run.status,
        [&](const std::string& path) {
            std::ifstream f(path, std::ios::binary);
            if (!path.empty() && f) {
                run.data_file_written = true;
                run.data_file.assign(std::istreambuf_iterator<char>(f),
                                     std::istreambuf_iterator<char>());
            }
        },
        error);
    run.transcript = transcript.str();
    run.reached_end_of_input = result.reached_end_of_input;
    run.end_rows = std::move(result.end_rows);
    return ran;
}

bool RunScenarioFile(const std::string& profile_text, int scenario_fd, const std::string& exe,
                     const std::string& root, int& status,
                     const std::function<void(const std::string&)>& read, std::string& error) {
    Job job;
    if (!LoadProfile(profile_text, exe, job, error))
        return false;
    job.stream = std::make_unique<LineReader>(scenario_fd, "<scenario>", false);
    job.end_rows = false;
    Transcript t(nullptr);
    RunResult result;
    return RunOnRoot(job, root, t, result, status, read, error);
}

} // namespace runner
