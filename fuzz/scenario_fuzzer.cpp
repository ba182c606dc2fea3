// scenario_fuzzer.cpp - the runner's scenario reader on arbitrary text.
//
// Checked on every input:
//  - a rejected scenario yields no lines and one error line "fuzz.scn:N: ..."
//    naming a line of the text;
//  - an accepted one, written back in canonical form (key names as the
//    transcript gives them), reads back to the same lines, when the text can
//    be written back (see WritableBack);
//  - its script has the steps its lines stand for, every line still to run;
//  - a short accepted scenario runs the tool to the end on the built-in
//    device with exit status 0 (the tool's), never a stall.
#include "fuzz/tool_checks.h"

#include "cli/sim/keys.h"
#include "cli/sim/run.h"
#include "tests/harness/scenario_script.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using fuzzcheck::Fail;

namespace {

constexpr size_t kMaxLinesRun = 24;

// A line as the runner would read it, in canonical spelling.
std::string Canonical(const runner::ScenarioLine& l) {
    switch (l.kind) {
    case runner::ScenarioLine::Wait:
        return "wait " + std::to_string(l.ms);
    case runner::ScenarioLine::Press:
        return "press " + runner::KeyName(l.keys.at(0));
    case runner::ScenarioLine::Release:
        return "release " + runner::KeyName(l.keys.at(0));
    case runner::ScenarioLine::Type: {
        std::string s = "type ";
        for (size_t i = 0; i < l.keys.size(); ++i)
            s += (i ? "+" : "") + runner::KeyName(l.keys[i]);
        return s;
    }
    case runner::ScenarioLine::Button:
        return "button " + sim::Narrow(l.caption);
    case runner::ScenarioLine::Close:
        return "close";
    case runner::ScenarioLine::Show:
        return "show";
    }
    Fail("a scenario line of unknown kind %d", (int)l.kind);
}

bool Same(const runner::ScenarioLine& a, const runner::ScenarioLine& b) {
    return a.kind == b.kind && a.ms == b.ms && a.keys == b.keys && a.caption == b.caption;
}

// Steps BuildScript makes for a line.
size_t StepsOf(const runner::ScenarioLine& l) {
    return l.kind == runner::ScenarioLine::Type ? 2 * l.keys.size() : 1;
}

// Written back in canonical form and read again: the same lines.
void CheckRoundTrip(const std::vector<runner::ScenarioLine>& lines) {
    std::string again, error;
    for (const runner::ScenarioLine& l : lines)
        again += Canonical(l) + "\n";
    std::vector<runner::ScenarioLine> reread;
    if (!runner::ParseScenarioLines(again, "again.scn", reread, error))
        Fail("the canonical form is rejected: %s", error.c_str());
    if (reread.size() != lines.size())
        Fail("the canonical form reads back as %zu lines, not %zu", reread.size(), lines.size());
    for (size_t i = 0; i < lines.size(); ++i)
        if (!Same(lines[i], reread[i]))
            Fail("line %d reads back differently from \"%s\"", lines[i].line,
                 Canonical(lines[i]).c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text((const char*)data, size);
    std::vector<runner::ScenarioLine> lines;
    std::string error;
    if (!runner::ParseScenarioLines(text, "fuzz.scn", lines, error)) {
        if (!lines.empty())
            Fail("a rejected scenario left %zu lines", lines.size());
        size_t line = 0;
        if (std::sscanf(error.c_str(), "fuzz.scn:%zu: ", &line) != 1 || line < 1 ||
            line > fuzzcheck::CountLines(text))
            Fail("error \"%s\" does not name a line of the scenario", error.c_str());
        if (error.find('\n') != std::string::npos)
            Fail("the error message spans more than one line");
        return 0;
    }

    size_t steps = 0;
    int last_line = 0;
    for (const runner::ScenarioLine& l : lines) {
        if (l.line <= last_line || (size_t)l.line > fuzzcheck::CountLines(text))
            Fail("line number %d out of order or past the text", l.line);
        last_line = l.line;
        if ((l.kind == runner::ScenarioLine::Press || l.kind == runner::ScenarioLine::Release) &&
            l.keys.size() != 1)
            Fail("a press or release line with %zu keys", l.keys.size());
        if (l.kind == runner::ScenarioLine::Type && l.keys.empty())
            Fail("a type line with no key");
        if (l.kind == runner::ScenarioLine::Button && l.caption.empty())
            Fail("a button line with no caption");
        steps += StepsOf(l);
    }

    if (fuzzcheck::WritableBack(text))
        CheckRoundTrip(lines);

    sim::Script script;
    runner::BuildScript(lines, script);
    if (script.Steps().size() != steps)
        Fail("%zu steps for lines that stand for %zu", script.Steps().size(), steps);
    std::vector<int> not_run = runner::LinesNotRun(script);
    if (not_run.size() != lines.size())
        Fail("%zu lines not run before anything ran, of %zu", not_run.size(), lines.size());

    if (lines.size() <= kMaxLinesRun) {
        runner::ScenarioRun run;
        if (!runner::RunScenarioText("", std::string(text), "", run, error))
            Fail("an accepted scenario did not run: %s", error.c_str());
        if (run.status != 0)
            Fail("the run ended with status %d", run.status);
        if (run.transcript.empty())
            Fail("the run wrote no transcript");
        if (run.data_file_written)
            Fail("the built-in device's tool wrote a data file");
    }
    return 0;
}
