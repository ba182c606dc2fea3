// scenario.cpp - reading scenarios and turning them into device steps.
#include "runner/scenario.h"

#include "runner/keys.h"
#include "runner/parse_util.h"

#include <algorithm>

namespace runner {

bool ParseScenarioLines(std::string_view text, const std::string& filename,
                        std::vector<ScenarioLine>& lines, std::string& error) {
    lines.clear();
    for (const SourceLine& src : MeaningfulLines(text)) {
        auto fail = [&](const std::string& what) {
            error = Where(filename, src.number, what);
            lines.clear();
            return false;
        };
        std::string_view word, rest;
        SplitWord(src.text, word, rest);
        std::string cmd = Lowered(word);
        ScenarioLine l;
        l.line = src.number;
        l.text = std::string(src.text);
        std::string why;
        auto one_key = [&]() {
            if (rest.empty())
                return fail(cmd + ": missing key name");
            if (rest.find_first_of(" \t") != std::string_view::npos)
                return fail(cmd + ": one key expected, got \"" + std::string(rest) + "\"");
            uint8_t vk;
            if (!ParseKey(rest, vk, why))
                return fail(cmd + ": " + why);
            l.keys = {vk};
            return true;
        };
        auto no_argument = [&]() {
            if (!rest.empty())
                return fail(cmd + " takes no argument, got \"" + std::string(rest) + "\"");
            return true;
        };
        if (cmd == "wait") {
            l.kind = ScenarioLine::Wait;
            uint64_t ms;
            if (rest.empty())
                return fail("wait: missing milliseconds");
            if (!ParseNumber(rest, UINT32_MAX, ms))
                return fail("wait: bad number \"" + std::string(rest) +
                            "\" (expected milliseconds, 0 to 4294967295)");
            l.ms = (uint32_t)ms;
        } else if (cmd == "press") {
            l.kind = ScenarioLine::Press;
            if (!one_key())
                return false;
        } else if (cmd == "release") {
            l.kind = ScenarioLine::Release;
            if (!one_key())
                return false;
        } else if (cmd == "type") {
            l.kind = ScenarioLine::Type;
            if (rest.empty())
                return fail("type: missing key combination");
            if (rest.find_first_of(" \t") != std::string_view::npos)
                return fail("type: one combination expected, such as Ctrl+Shift+A, got \"" +
                            std::string(rest) + "\"");
            if (!ParseCombo(rest, l.keys, why))
                return fail("type: " + why);
        } else if (cmd == "button") {
            l.kind = ScenarioLine::Button;
            if (rest.empty())
                return fail("button: missing caption (Exit or Clear)");
            l.caption = sim::Widen(rest);
        } else if (cmd == "close") {
            l.kind = ScenarioLine::Close;
            if (!no_argument())
                return false;
        } else if (cmd == "show") {
            l.kind = ScenarioLine::Show;
            if (!no_argument())
                return false;
        } else {
            return fail("unknown line \"" + std::string(src.text) +
                        "\" (expected wait, press, release, type, button, close or show)");
        }
        lines.push_back(std::move(l));
    }
    return true;
}

void BuildScript(const std::vector<ScenarioLine>& lines, sim::Script& script,
                 const ScriptHooks& hooks) {
    for (const ScenarioLine& l : lines) {
        auto add = [&](sim::ScriptStep step) {
            step.line = l.line;
            script.Add(std::move(step));
        };
        auto step_of = [](sim::ScriptStep::Kind kind) {
            sim::ScriptStep s{};
            s.kind = kind;
            return s;
        };
        if (hooks.before_line && l.kind != ScenarioLine::Wait && l.kind != ScenarioLine::Show) {
            sim::ScriptStep s = step_of(sim::ScriptStep::Check);
            // Two pointers: small enough to live inside the std::function.
            s.fn = [h = &hooks, lp = &l](sim::Device& dev) { h->before_line(dev, *lp); };
            add(std::move(s));
        }
        switch (l.kind) {
        case ScenarioLine::Wait: {
            sim::ScriptStep s = step_of(sim::ScriptStep::Wait);
            s.ms = l.ms;
            add(std::move(s));
            break;
        }
        case ScenarioLine::Press:
        case ScenarioLine::Release: {
            sim::ScriptStep s = step_of(l.kind == ScenarioLine::Press ? sim::ScriptStep::Press
                                                                      : sim::ScriptStep::Release);
            s.vk = l.keys[0];
            add(std::move(s));
            break;
        }
        case ScenarioLine::Type:
            // As Script::Type: down in order, up in reverse, each a step of its own.
            for (uint8_t vk : l.keys) {
                sim::ScriptStep s = step_of(sim::ScriptStep::Press);
                s.vk = vk;
                add(std::move(s));
            }
            for (size_t i = l.keys.size(); i-- > 0;) {
                sim::ScriptStep s = step_of(sim::ScriptStep::Release);
                s.vk = l.keys[i];
                add(std::move(s));
            }
            break;
        case ScenarioLine::Button: {
            sim::ScriptStep s = step_of(sim::ScriptStep::Button);
            s.caption = l.caption;
            add(std::move(s));
            break;
        }
        case ScenarioLine::Close:
            add(step_of(sim::ScriptStep::Close));
            break;
        case ScenarioLine::Show: {
            sim::ScriptStep s = step_of(sim::ScriptStep::Show);
            if (hooks.show)
                s.fn = [h = &hooks, lp = &l](sim::Device& dev) { h->show(dev, *lp); };
            add(std::move(s));
            break;
        }
        }
    }
}

bool ParseScenario(std::string_view text, const std::string& filename, sim::Script& script,
                   std::string& error) {
    std::vector<ScenarioLine> lines;
    if (!ParseScenarioLines(text, filename, lines, error))
        return false;
    BuildScript(lines, script);
    return true;
}

std::vector<int> LinesNotRun(const sim::Script& script) {
    const auto& steps = script.Steps();
    std::vector<int> out;
    for (size_t i = steps.size() - script.Remaining(); i < steps.size(); ++i)
        if (steps[i].line > 0 && (out.empty() || out.back() != steps[i].line))
            out.push_back(steps[i].line);
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

std::string LineList(const std::vector<int>& lines) {
    std::string s;
    for (size_t i = 0; i < lines.size();) {
        size_t j = i;
        while (j + 1 < lines.size() && lines[j + 1] == lines[j] + 1)
            ++j;
        if (!s.empty())
            s += ", ";
        s += std::to_string(lines[i]);
        if (j > i)
            s += "-" + std::to_string(lines[j]);
        i = j + 1;
    }
    return s;
}

} // namespace runner
