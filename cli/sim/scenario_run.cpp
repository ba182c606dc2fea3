// scenario_run.cpp - a job run from its scenario: the driver that walks the
// scenario's lines, and what the run leaves behind.
#include "cli/sim/scenario_run.h"

#include "cli/sim/launch.h"
#include "device/files.h"

namespace runner {

namespace {

// Feeds the device a scenario's lines straight from the scenario, one step at
// a time, as a sim::Script built from them would: before each line other than
// `wait` and `show`, its transcript line; a `type` line as its key events,
// down in order and up in reverse, each a step of its own; `wait` lines only
// move the driver's clock; after the last line, the screen at the end of
// input, then the shell closes the tool.
class ScenarioDriver : public sim::Driver {
  public:
    ScenarioDriver(const Scenario& scenario, Transcript& t, sim::Device& dev, RunResult& res,
                   bool want_rows)
        : s_(scenario), t_(t), dev_(dev), res_(res), want_rows_(want_rows) {}

    Next Poll(sim::Device& dev, uint64_t, uint64_t& at) override {
        if (!started_) {
            cursor_ = dev.Now();
            started_ = true;
        }
        while (line_ < s_.size() && s_.KindOf(line_) == Scenario::Kind::Wait)
            cursor_ += s_.Ms(line_++);
        at = cursor_;
        return line_ <= s_.size() && !ended_ ? Next::Step : Next::End;
    }

    void Step(sim::Device& dev) override {
        if (line_ == s_.size()) {
            ended_ = true;
            EndOfInput(dev);
            return;
        }
        const size_t i = line_;
        const Scenario::Kind kind = s_.KindOf(i);
        size_t step = step_++;
        if (kind != Scenario::Kind::Show) {
            if (step == 0) { // the line's transcript line, before it acts
                t_.Event(dev.Tick(),
                         "line " + std::to_string(s_.Number(i)) + ": " + std::string(s_.Text(i)));
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
            if (!dev.TapButton(s_.Caption(i)))
                Failed(i, "button \"" + sim::Narrow(s_.Caption(i)) +
                              "\": no menu-bar button shows it");
            break;
        case Scenario::Kind::Close:
            if (!dev.RequestClose())
                Failed(i, "close: the tool has no main window");
            break;
        case Scenario::Kind::Show:
            t_.Screen(dev.Tick(), "screen at line " + std::to_string(s_.Number(i)) + " (show)",
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

  private:
    void Failed(size_t i, const std::string& why) {
        t_.Event(dev_.Tick(), "failed line " + std::to_string(s_.Number(i)) + ": " + why);
    }

    // The end of input: the screen as it stands, then the shell closes the tool.
    void EndOfInput(sim::Device& d) {
        res_.reached_end_of_input = true;
        ScreenView view = DrawScreen(d);
        t_.Screen(d.Tick(), "screen at end of input", view);
        if (want_rows_) { // only a caller that asks gets the rows: a copy of the whole log
            res_.end_rows = ListRows(d);
            res_.end_screen = std::move(view);
        }
        t_.Event(d.Tick(), "the shell closes the tool (end of input)");
    }

    const Scenario& s_;
    Transcript& t_;
    sim::Device& dev_;
    RunResult& res_;
    const bool want_rows_;
    size_t line_ = 0; // the line whose step is next; size(): the end of input
    size_t step_ = 0; // the next step within it
    bool ended_ = false;
    uint64_t cursor_ = 0;
    bool started_ = false;
};

} // namespace

int RunJob(const Job& job, Transcript& t, std::ostream& errors, RunResult* result) {
    RunResult local;
    RunResult& res = result ? *result : local;
    res = RunResult{};
    sim::Device dev(job.profile);
    std::string error;
    if (!PrepareDevice(dev, job, t, error)) {
        errors << error << std::endl;
        res.status = kExitBadInput;
        return res.status;
    }
    res.data_file_host_path = dev.Files().HostPath(sim::Widen(DataFileDevicePath(job.profile.exe)));

    ScenarioDriver driver(job.scenario, t, dev, res, result != nullptr);

    int code;
    try {
        code = host::RunTool(dev, &driver);
    } catch (const sim::Stalled& e) {
        t.Event(dev.Tick(), std::string("stalled: ") + e.what());
        errors << kProgram << ": the tool stopped making progress: " << e.what() << std::endl;
        res.status = kExitStalled;
        return res.status;
    }

    if (const sim::Window* fg = dev.Find(dev.ForegroundWindow()))
        if (fg->kind == sim::WindowKind::Foreign)
            t.Event(dev.Tick(), "the running instance's window \"" + sim::Narrow(fg->title) +
                                    "\" (" + sim::Narrow(fg->cls) + ") comes to the front");
    if (size_t left = driver.LinesNotRun())
        t.Event(dev.Tick(), "not run, the tool had exited: " + std::to_string(left) +
                                (left == 1 ? " line (" : " lines (") +
                                LineListFrom(job.scenario, driver.NextLine()) + ")");
    t.Event(dev.Tick(), "exit " + std::to_string(code));
    res.status = code;
    return code;
}

} // namespace runner
