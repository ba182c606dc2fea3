// scenario_fuzzer.cpp - the runner's scenario reader on arbitrary text.
//
// Checked on every input:
//  - a rejected scenario yields no lines and one error line "fuzz.scn:N: ..."
//    naming a line of the text;
//  - an accepted one, written back in canonical form (key names as the
//    transcript gives them), reads back to the same lines, when the text can
//    be written back (see WritableBack);
//  - before anything ran, the list of lines not run names every line;
//  - a short accepted scenario runs the tool to the end on the built-in
//    device with exit status 0 (the tool's), never a stall.
#include "fuzz/tool_checks.h"

#include "cli/common/keys.h"
#include "cli/runner/scenario_run.h"

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
        return "press " + keys::KeyName(l.keys.at(0));
    case runner::ScenarioLine::Release:
        return "release " + keys::KeyName(l.keys.at(0));
    case runner::ScenarioLine::Type: {
        std::string s = "type ";
        for (size_t i = 0; i < l.keys.size(); ++i)
            s += (i ? "+" : "") + keys::KeyName(l.keys[i]);
        return s;
    }
    case runner::ScenarioLine::Button:
        return "button " + device::Narrow(l.caption);
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

// Written back in canonical form and read again: the same lines.
void CheckRoundTrip(const runner::Scenario& scenario) {
    std::string again, error;
    for (size_t i = 0; i < scenario.size(); ++i)
        again += Canonical(scenario.Expanded(i)) + "\n";
    runner::Scenario reread;
    if (!reread.Parse(again, "again.scn", error))
        Fail("the canonical form is rejected: %s", error.c_str());
    if (reread.size() != scenario.size())
        Fail("the canonical form reads back as %zu lines, not %zu", reread.size(), scenario.size());
    for (size_t i = 0; i < scenario.size(); ++i)
        if (!Same(scenario.Expanded(i), reread.Expanded(i)))
            Fail("line %d reads back differently from \"%s\"", scenario.Number(i),
                 Canonical(scenario.Expanded(i)).c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text((const char*)data, size);
    runner::Scenario scenario;
    std::string error;
    if (!scenario.Parse(std::string(text), "fuzz.scn", error)) {
        if (!scenario.empty())
            Fail("a rejected scenario left %zu lines", scenario.size());
        size_t line = 0;
        if (std::sscanf(error.c_str(), "fuzz.scn:%zu: ", &line) != 1 || line < 1 ||
            line > fuzzcheck::CountLines(text))
            Fail("error \"%s\" does not name a line of the scenario", error.c_str());
        if (error.find('\n') != std::string::npos)
            Fail("the error message spans more than one line");
        return 0;
    }

    int last_line = 0;
    size_t named = 0;
    for (size_t i = 0; i < scenario.size(); ++i) {
        const runner::ScenarioLine l = scenario.Expanded(i);
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
        if (l.text.empty() || l.text.find('\n') != std::string::npos)
            Fail("line %d keeps no text of its own", l.line);
    }

    if (fuzzcheck::WritableBack(text))
        CheckRoundTrip(scenario);

    // Before anything ran, the lines not run are all of them: "a-b, c".
    std::string list = runner::LineListFrom(scenario, 0);
    for (size_t at = 0; at < list.size();) {
        size_t end = list.find(", ", at);
        std::string part = list.substr(at, end == std::string::npos ? std::string::npos : end - at);
        int a = 0, b = 0;
        if (std::sscanf(part.c_str(), "%d-%d", &a, &b) == 2)
            named += (size_t)(b - a + 1);
        else
            named += 1;
        at = end == std::string::npos ? list.size() : end + 2;
    }
    if (named != scenario.size())
        Fail("the lines not run name %zu lines, of %zu", named, scenario.size());

    if (scenario.size() <= kMaxLinesRun) {
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
