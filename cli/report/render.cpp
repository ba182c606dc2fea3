// render.cpp - the report as terminal text, its short form, and the names it uses.
#include "render.h"

#include <cstdio>
#include <optional>
#include <sstream>

namespace report {

namespace {

// printf into a std::string, for the column layouts below.
template <typename... Args> std::string Format(const char* pattern, Args... args) {
    char text[256];
    std::snprintf(text, sizeof text, pattern, args...);
    return text;
}

// "line N" of the row at INDEX.
std::string LineOf(const std::vector<Row>& rows, std::size_t index) {
    return "line " + std::to_string(rows[index].line);
}

} // namespace

// The key with the other modifiers held before it.
std::string ComboName(unsigned vk, unsigned mods) {
    unsigned others = mods & ~ModifierOfKey(vk);
    return others == 0 ? KeyName(vk) : ModsName(others) + "+" + KeyName(vk);
}

// COUNT and the noun in the right number.
std::string Plural(std::size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// A finding's kind as a short label.
std::string FindingLabel(FindingKind kind) {
    switch (kind) {
    case FindingKind::Stuck:
        return "stuck key";
    case FindingKind::Chatter:
        return "chatter";
    case FindingKind::ReleaseWithoutPress:
        return "release without press";
    case FindingKind::TickBackwards:
        return "tick backwards";
    case FindingKind::Echo:
        return "echo";
    }
    return "";
}

namespace {

// The combination of a key row.
std::string ComboOf(const Row& row) {
    return ComboName(row.vk, row.mods);
}

// What a row is, for a finding about a tick: "the press of Ctrl+A", "a quiet mark".
std::string RowWhat(const Row& row) {
    switch (row.kind) {
    case RowKind::Press:
        return "the press of " + ComboOf(row);
    case RowKind::Release:
        return "the release of " + ComboOf(row);
    case RowKind::Taken:
        return "the taken row " + ComboOf(row);
    case RowKind::Quiet:
        return "a quiet mark";
    }
    return "";
}

// "N ms", or "an unknown time" across a tick that goes backwards.
std::string MsText(std::optional<std::int32_t> ms) {
    return ms ? std::to_string(*ms) + " ms" : "an unknown time (a tick goes backwards)";
}

// The last release of a modifier key in MODS before row BEFORE, if any.
std::optional<std::size_t> ModifierRelease(const std::vector<Row>& rows, unsigned mods,
                                           std::size_t before) {
    for (std::size_t i = before; i-- > 0;) {
        if (rows[i].kind == RowKind::Release && (ModifierOfKey(rows[i].vk) & mods) != 0)
            return i;
    }
    return std::nullopt;
}

} // namespace

// A finding as one sentence.
std::string FindingText(const std::vector<Row>& rows, const Analysis& a, const Finding& f) {
    const Row& row = rows[f.row];
    std::string key = ComboOf(row);
    switch (f.kind) {
    case FindingKind::Stuck: {
        const Hold& hold = a.holds[*f.index];
        std::string text = key + " still down at " +
                           (f.other ? "the quiet mark on " + LineOf(rows, *f.other)
                                    : std::string("the end of the file"));
        if (hold.release)
            text += ", released at " + LineOf(rows, *hold.release) + " after " + MsText(hold.ms);
        return text;
    }
    case FindingKind::Chatter: {
        const Row& release = rows[*f.other];
        if (ComboOf(release) == key) {
            return key + " pressed " + std::to_string(f.ms) + " ms after its release at " +
                   LineOf(rows, *f.other);
        }
        return key + " pressed " + std::to_string(f.ms) + " ms after the release of " +
               ComboOf(release) + " at " + LineOf(rows, *f.other);
    }
    case FindingKind::ReleaseWithoutPress:
        return key + " released with no press of " + key + " before it";
    case FindingKind::TickBackwards:
        return "the tick goes back " + std::to_string(-static_cast<std::int64_t>(f.ms)) +
               " ms from " + LineOf(rows, *f.other) + " (" + std::to_string(rows[*f.other].tick) +
               " to " + std::to_string(row.tick) + ") at " + RowWhat(row);
    case FindingKind::Echo: {
        const Echo& echo = a.echoes[*f.index];
        const Row& passed = rows[echo.passed];
        std::string name = KeyName(row.vk);
        unsigned dropped = passed.mods & ~row.mods;
        std::string let_go = ModsName(dropped);
        std::string text = key + " at lines " + std::to_string(row.line) + "-" +
                           std::to_string(rows[echo.Last()].line) +
                           " echoes the tool's pass-through of " + ComboOf(passed) + " at " +
                           LineOf(rows, echo.passed) + ": ";
        // Released by the user before the key, or by the tool's own pass-through.
        std::optional<std::size_t> by_tool;
        for (std::size_t k = echo.passed + 1; k < echo.First() && !by_tool; ++k) {
            if (rows[k].kind == RowKind::Release && (ModifierOfKey(rows[k].vk) & dropped))
                by_tool = k;
        }
        std::optional<std::size_t> by_user =
            by_tool ? std::nullopt : ModifierRelease(rows, dropped, echo.passed);
        text += by_tool
                    ? "the tool had released " + let_go + " itself (" + LineOf(rows, *by_tool) + ")"
                    : let_go + " was released before " + name +
                          (by_user ? " (" + LineOf(rows, *by_user) + ")" : std::string());
        text += ", so the tool's own " + name + " came back to it without " + let_go +
                " and was logged again";
        for (const Echo& next : a.echoes) {
            if (next.passed == echo.release)
                return text + "; it was passed on and echoed again at " + LineOf(rows, next.press);
        }
        return text + "; the system received " + key + ", not " + ComboOf(passed);
    }
    }
    return "";
}

namespace {

// The first lines: counts, the span of ticks and any wrap of the tick count.
void RenderHead(std::ostream& out, const std::vector<Row>& rows, const Analysis& a,
                const std::string& source) {
    out << "Data file " << source << ": " << Plural(rows.size(), "row", "rows") << " ("
        << a.taken_rows << " taken, " << Plural(a.key_events, "key event", "key events") << ", "
        << Plural(a.quiet_marks, "quiet mark", "quiet marks") << ")\n";
    if (rows.empty())
        return;
    std::optional<std::int32_t> span = a.Elapsed(rows, 0, rows.size() - 1);
    out << "Ticks " << rows.front().tick << " to " << rows.back().tick << ", "
        << (span ? std::to_string(*span) + " ms" : std::string("time unknown: a tick goes back"))
        << "\n";
    for (std::size_t row : a.wraps) {
        out << "Tick count wraps round at " << LineOf(rows, row) << " (" << rows[row - 1].tick
            << " to " << rows[row].tick << "), not a fault\n";
    }
}

// The taken combinations as a text grid and a list by key.
void RenderOccupancy(std::ostream& out, const Analysis& a) {
    const Occupancy& occ = a.occupancy;
    out << "\nOccupancy: " << occ.total << " of 2048 combinations taken\n";
    if (occ.total == 0)
        return;
    out << " ";
    for (unsigned set = 0; set < 8; ++set)
        out << "  " << ModsName(set) << " " << occ.per_set[set];
    out << "\n";

    // Two blocks of four modifier sets; in each, a line per high nibble of the key code
    // and a column per low nibble.
    for (unsigned first_set = 0; first_set < 8; first_set += 4) {
        std::string names = "\n        ";
        std::string digits = "\n        ";
        for (unsigned set = first_set; set < first_set + 4; ++set) {
            names += Format(" %-16s", ModsName(set).c_str());
            digits += " 0123456789ABCDEF";
        }
        while (names.back() == ' ')
            names.pop_back();
        out << names << digits << "\n";
        for (unsigned high = 0; high < 16; ++high) {
            out << Format("   %X0-%XF", high, high);
            for (unsigned set = first_set; set < first_set + 4; ++set) {
                out << " ";
                for (unsigned low = 0; low < 16; ++low)
                    out << (occ.taken[high * 16 + low][set] ? '#' : '.');
            }
            out << "\n";
        }
    }

    out << "\n  Taken, by key:\n";
    for (unsigned vk = 0; vk < 256; ++vk) {
        std::string sets;
        int count = 0;
        for (unsigned set = 0; set < 8; ++set) {
            if (occ.taken[vk][set]) {
                sets += (count++ ? ", " : "") + ModsName(set);
            }
        }
        if (count == 8)
            sets = "all eight modifier sets";
        if (count > 0)
            out << Format("    0x%02X  %-9s ", vk, KeyName(vk).c_str()) << sets << "\n";
    }
}

// The bursts, each with its presses, hold times, echoes and odd releases.
void RenderTimeline(std::ostream& out, const std::vector<Row>& rows, const Analysis& a) {
    out << "\nKey timeline: " << Plural(a.key_events, "key event", "key events") << ", "
        << Plural(a.holds.size(), "press", "presses") << " with their releases, "
        << (a.echoes.empty() ? "" : Plural(a.echoes.size(), "echo", "echoes") + ", ")
        << Plural(a.bursts.size(), "burst", "bursts") << "\n";

    // Which hold each press and each release row belongs to, and which echo each echo row.
    std::vector<std::optional<std::size_t>> hold_of(rows.size());
    for (std::size_t h = 0; h < a.holds.size(); ++h) {
        hold_of[a.holds[h].press] = h;
        if (a.holds[h].release)
            hold_of[*a.holds[h].release] = h;
    }
    std::vector<std::optional<std::size_t>> echo_of(rows.size());
    for (std::size_t e = 0; e < a.echoes.size(); ++e)
        echo_of[a.echoes[e].press] = e;

    for (std::size_t b = 0; b < a.bursts.size(); ++b) {
        const Burst& burst = a.bursts[b];
        int first_line = rows[burst.first].line;
        int last_line = rows[burst.last].line;
        out << "  burst " << b + 1 << ": "
            << (first_line == last_line
                    ? "line " + std::to_string(first_line)
                    : "lines " + std::to_string(first_line) + "-" + std::to_string(last_line))
            << ", " << Plural(burst.events, "event", "events") << ", "
            << (burst.length_ms ? std::to_string(*burst.length_ms) + " ms" : "unknown time")
            << " long, ";
        if (burst.gap_from)
            out << (burst.gap_ms ? std::to_string(*burst.gap_ms) + " ms" : "an unknown time")
                << " after " << LineOf(rows, *burst.gap_from);
        else
            out << "at the start of the file";
        out << (burst.quiet ? "" : ", no quiet mark before the end of the file") << "\n";

        // One line per press (with its release), one per echo, and one per release that
        // does not close a press of this burst.
        for (std::size_t i = burst.first; i <= burst.last; ++i) {
            const Row& row = rows[i];
            if (row.kind != RowKind::Press && row.kind != RowKind::Release)
                continue;
            std::optional<std::int32_t> at = a.Elapsed(rows, burst.first, i);
            std::string head = at ? Format("    %+8d ms  %-20s ", *at, ComboOf(row).c_str())
                                  : Format("    %8s ms  %-20s ", "?", ComboOf(row).c_str());
            if (a.is_echo[i]) {
                if (echo_of[i]) {
                    const Echo& echo = a.echoes[*echo_of[i]];
                    out << head << "echo of the pass-through at " << LineOf(rows, echo.passed)
                        << ", lines " << row.line << "-" << rows[echo.release].line << "\n";
                }
                continue;
            }
            std::optional<std::size_t> h = hold_of[i];
            const Hold* hold = h ? &a.holds[*h] : nullptr;
            if (row.kind == RowKind::Press) {
                if (!hold || hold->press != i)
                    continue; // an auto-repeat, counted on its hold
                out << head;
                if (hold->release) {
                    out << (hold->ms ? Format("held %6d ms  ", *hold->ms)
                                     : std::string("held unknown   "))
                        << Format("lines %d-%d", row.line, rows[*hold->release].line);
                } else {
                    out << Format("not released   line %d", row.line);
                }
                if (!hold->repeats.empty())
                    out << ", " << Plural(hold->repeats.size(), "repeat", "repeats");
                out << (hold->stuck ? ", stuck" : "") << "\n";
            } else if (!hold) {
                out << head << "release without press, line " << row.line << "\n";
            } else if (hold->press < burst.first) {
                out << head << "released, pressed at line " << rows[hold->press].line << "\n";
            }
        }
    }
}

// One line per finding, at its line of the file.
void RenderFindings(std::ostream& out, const std::vector<Row>& rows, const Analysis& a) {
    if (a.findings.empty()) {
        out << "\nFindings: none\n";
        return;
    }
    std::size_t echoes = a.echoes.size();
    out << "\nFindings: " << a.findings.size() << " ("
        << Plural(static_cast<std::size_t>(a.Faults()), "fault", "faults");
    if (echoes > 0)
        out << ", " << Plural(echoes, "echo", "echoes") << " of the pass-through";
    out << ")\n";
    for (const Finding& finding : a.findings) {
        out << Format("  line %-6d %-22s ", rows[finding.row].line,
                      FindingLabel(finding.kind).c_str())
            << FindingText(rows, a, finding) << "\n";
    }
}

} // namespace

// All sections of the terminal report, in order.
std::string RenderText(const std::vector<Row>& rows, const Analysis& analysis,
                       const std::string& source) {
    std::ostringstream out;
    RenderHead(out, rows, analysis, source);
    RenderOccupancy(out, analysis);
    RenderTimeline(out, rows, analysis);
    RenderFindings(out, rows, analysis);
    return out.str();
}

// The counts and the findings, nothing else.
std::string RenderSummary(const std::vector<Row>& rows, const Analysis& analysis,
                          const std::string& source) {
    std::ostringstream out;
    RenderHead(out, rows, analysis, source);
    out << "Taken: " << analysis.occupancy.total << " of 2048 combinations\n"
        << "Key events: " << Plural(analysis.holds.size(), "press", "presses")
        << " with their releases, " << Plural(analysis.echoes.size(), "echo", "echoes") << ", "
        << Plural(analysis.bursts.size(), "burst", "bursts") << "\n";
    RenderFindings(out, rows, analysis);
    std::string text = out.str();
    text.erase(text.find("\nFindings"), 1); // no blank line in the short form
    return text;
}

} // namespace report
