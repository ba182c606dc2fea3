// scenario_script.cpp - scenario lines turned into the steps of a test script.
#include "tests/harness/scenario_script.h"

#include <algorithm>

namespace runner {

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

} // namespace runner
