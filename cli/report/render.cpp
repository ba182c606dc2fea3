// render.cpp - the report as terminal text, its short form, and the names it uses.
#include "render.h"

#include "analysis.h"

#include <cstddef>
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

// "line N".
std::string LineOf(const Seen& s) {
    return "line " + std::to_string(s.row.line);
}

} // namespace

// The key with the other modifiers held before it.
std::string ComboName(unsigned vk, unsigned mods) {
    unsigned others = mods & ~ModifierOfKey(vk);
    return others == 0 ? KeyName(vk) : ModsName(others) + "+" + KeyName(vk);
}

// The modifier set and the key.
std::string TakenName(unsigned vk, unsigned mods) {
    return (mods ? ModsName(mods) + "+" : "") + KeyName(vk);
}

// COUNT and the noun in the right number.
std::string Plural(std::size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

namespace {

// Each finding kind's label, for one and for several.
struct KindLabel {
    FindingKind kind;
    const char* one;
    const char* many;
};
constexpr KindLabel kKindLabels[] = {
    {FindingKind::Stuck, "stuck key", "stuck keys"},
    {FindingKind::Chatter, "chatter", "chatter"},
    {FindingKind::ReleaseWithoutPress, "release without press", "releases without press"},
    {FindingKind::TickBackwards, "tick backwards", "ticks backwards"},
    {FindingKind::Echo, "echo", "echoes"},
};

} // namespace

std::string FindingLabel(FindingKind kind, std::size_t count) {
    for (const KindLabel& l : kKindLabels)
        if (l.kind == kind)
            return count == 1 ? l.one : l.many;
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

} // namespace

// A finding as one sentence, from what it keeps of its rows.
std::string FindingText(const FindingFacts& f) {
    const Row& row = f.row.row;
    std::string key = ComboOf(row);
    switch (f.finding.kind) {
    case FindingKind::Stuck: {
        std::string text = key + " still down at " +
                           (f.other ? "the quiet mark on " + LineOf(*f.other)
                                    : std::string("the end of the file"));
        if (f.release)
            text += ", released at " + LineOf(*f.release) + " after " + MsText(f.held_ms);
        return text;
    }
    case FindingKind::Chatter: {
        const Row& release = f.other->row;
        std::string ms = std::to_string(f.finding.ms);
        if (ComboOf(release) == key)
            return key + " pressed " + ms + " ms after its release at " + LineOf(*f.other);
        return key + " pressed " + ms + " ms after the release of " + ComboOf(release) + " at " +
               LineOf(*f.other);
    }
    case FindingKind::ReleaseWithoutPress:
        return key + " released with no press of " + key + " before it";
    case FindingKind::TickBackwards:
        return "the tick goes back " + std::to_string(-static_cast<std::int64_t>(f.finding.ms)) +
               " ms from " + LineOf(*f.other) + " (" + std::to_string(f.other->row.tick) + " to " +
               std::to_string(row.tick) + ") at " + RowWhat(row);
    case FindingKind::Echo: {
        const Row& passed = f.other->row;
        std::string name = KeyName(row.vk);
        std::string let_go = ModsName(passed.mods & ~row.mods);
        std::string text = key + " at lines " + std::to_string(row.line) + "-" +
                           std::to_string(f.echo_last_line) +
                           " echoes the tool's pass-through of " + ComboOf(passed) + " at " +
                           LineOf(*f.other) + ": ";
        // Released by the tool's own pass-through, or by the user before the key.
        auto line = [](int n) { return "line " + std::to_string(n); };
        text += f.tool_released_line
                    ? "the tool had released " + let_go + " itself (" +
                          line(*f.tool_released_line) + ")"
                    : let_go + " was released before " + name +
                          (f.user_released_line ? " (" + line(*f.user_released_line) + ")"
                                                : std::string());
        text += ", so the tool's own " + name + " came back to it without " + let_go +
                " and was logged again";
        if (f.echoed_again_line)
            return text + "; it was passed on and echoed again at " + line(*f.echoed_again_line);
        return text + "; the system received " + key + ", not " + ComboOf(passed);
    }
    }
    return "";
}

namespace {

// The taken combinations as a text grid and a list by key.
void RenderOccupancy(std::ostream& out, const Occupancy& occ) {
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

// Tags of the records in a spill of the report's text.
enum : char {
    kTextRecord = 'T',  // text as it is
    kBurstRecord = 'B', // a burst's line, filled in when it ends
    kPressRecord = 'P', // the rest of a press's line, filled in at its release
};

// A burst's line in the timeline.
struct BurstRecord {
    std::uint64_t number = 0;
    std::int32_t first_line = 0, last_line = 0, events = 0, gap_line = 0;
    std::int32_t length_ms = 0, gap_ms = 0;
    bool has_length = false, has_gap_from = false, has_gap_ms = false, has_quiet = false;
};

// A press's hold in the timeline.
struct PressRecord {
    std::uint64_t repeats = 0;
    std::int32_t press_line = 0, release_line = 0, ms = 0;
    bool released = false, has_ms = false, stuck = false, by_tool = false;
};

using StuckRecord = TextReport::StuckRecord;

// Appends a plain value.
template <typename T> std::uint64_t Put(Spill& spill, const T& value) {
    return spill.Append(&value, sizeof value);
}

// Appends a text record.
void PutText(Spill& spill, const std::string& text) {
    Put(spill, kTextRecord);
    Put(spill, static_cast<std::uint32_t>(text.size()));
    spill.Append(text.data(), text.size());
}

// Reads a text of SIZE bytes.
std::string GetText(Spill& spill, std::uint32_t size) {
    std::string text(size, '\0');
    spill.Read(text.data(), size);
    return text;
}

// A burst's line: where it is, how long, and how long after the row before it.
std::string BurstLine(const BurstRecord& b) {
    std::string out =
        "  burst " + std::to_string(b.number) + ": " +
        (b.first_line == b.last_line
             ? "line " + std::to_string(b.first_line)
             : "lines " + std::to_string(b.first_line) + "-" + std::to_string(b.last_line)) +
        ", " + Plural(b.events, "event", "events") + ", " +
        (b.has_length ? std::to_string(b.length_ms) + " ms" : "unknown time") + " long, ";
    if (b.has_gap_from)
        out += (b.has_gap_ms ? std::to_string(b.gap_ms) + " ms" : "an unknown time") +
               " after line " + std::to_string(b.gap_line);
    else
        out += "at the start of the file";
    return out + (b.has_quiet ? "" : ", no quiet mark before the end of the file") + "\n";
}

// The end of a press's line: its hold time and lines, repeats, whether stuck.
std::string PressLine(const PressRecord& p) {
    std::string out;
    if (p.released) {
        out = (p.has_ms ? Format("held %6d ms  ", p.ms) : std::string("held unknown   ")) +
              Format("lines %d-%d", p.press_line, p.release_line);
    } else {
        out = Format("not released   line %d", p.press_line);
    }
    if (p.by_tool)
        out += ", released by the tool itself (the real release is not logged)";
    if (p.repeats > 0)
        out += ", " + Plural(p.repeats, "repeat", "repeats");
    return out + (p.stuck ? ", stuck" : "") + "\n";
}

// A stuck key's finding from its record.
FindingFacts StuckFacts(const StuckRecord& r) {
    FindingFacts f;
    f.finding.kind = FindingKind::Stuck;
    f.row.row.vk = r.vk;
    f.row.row.mods = r.mods;
    f.row.row.line = r.press_line;
    if (r.quiet_line > 0) {
        f.other.emplace();
        f.other->row.line = r.quiet_line;
    }
    if (r.released) {
        f.release.emplace();
        f.release->row.line = r.release_line;
        if (r.has_ms)
            f.held_ms = r.ms;
    }
    return f;
}

// One line of the findings list.
std::string FindingLine(FindingKind kind, int line, const std::string& text) {
    return Format("  line %-6d %-22s ", line, FindingLabel(kind).c_str()) + text + "\n";
}

} // namespace

TextReport::TextReport(std::string source, bool summary)
    : source_(std::move(source)), summary_(summary) {}

TextReport::~TextReport() = default;

// A burst's line, to be filled in when it ends.
void TextReport::OnBurstOpened(const BurstState&) {
    Put(timeline_, kBurstRecord);
    burst_at_ = Put(timeline_, BurstRecord{});
}

// Fills in the burst's line.
void TextReport::OnBurstClosed(const BurstState& b) {
    BurstRecord r;
    r.number = b.id + 1;
    r.first_line = b.first.row.line;
    r.last_line = b.last.row.line;
    r.events = b.events;
    std::optional<std::int32_t> length = b.LengthMs();
    r.has_length = length.has_value();
    r.length_ms = length.value_or(0);
    r.has_gap_from = b.gap_from.has_value();
    r.gap_line = b.gap_from ? b.gap_from->row.line : 0;
    r.has_gap_ms = b.gap_ms.has_value();
    r.gap_ms = b.gap_ms.value_or(0);
    r.has_quiet = b.quiet.has_value();
    timeline_.Patch(burst_at_, &r, sizeof r);
}

// One line per press (its hold filled in at the release), one per echo, and one per
// release that does not close a press of this burst.
void TextReport::OnRow(const Seen& s, Role role, const HoldState* hold, const EchoFacts* echo,
                       const BurstState* burst) {
    if (s.row.kind != RowKind::Press && s.row.kind != RowKind::Release)
        return;
    std::optional<std::int32_t> at = Elapsed(burst->first, s);
    std::string combo = ComboOf(s.row);
    std::string head = at ? Format("    %+8d ms  %-20s ", *at, combo.c_str())
                          : Format("    %8s ms  %-20s ", "?", combo.c_str());
    switch (role) {
    case Role::EchoRow:
        if (echo->press.index == s.index) {
            PutText(timeline_, head + "echo of the pass-through at line " +
                                   std::to_string(echo->passed.row.line) + ", lines " +
                                   std::to_string(s.row.line) + "-" +
                                   std::to_string(echo->release.row.line) + "\n");
        }
        break;
    case Role::Press:
        PutText(timeline_, head);
        Put(timeline_, kPressRecord);
        press_at_[s.row] = Put(timeline_, PressRecord{}) + 1;
        break;
    case Role::Unpaired:
        PutText(timeline_,
                head + "release without press, line " + std::to_string(s.row.line) + "\n");
        break;
    case Role::Release:
    case Role::ToolRelease:
        if (hold && hold->press.index < burst->first.index) {
            PutText(timeline_,
                    head + (role == Role::Release ? "released" : "released by the tool") +
                        ", pressed at line " + std::to_string(hold->press.row.line) + "\n");
        }
        break;
    default:
        break;
    }
}

// Kept aside in row order; a stuck key in a list of its own, filled in at its release.
void TextReport::OnFinding(const FindingFacts& f) {
    if (f.finding.kind == FindingKind::Stuck) {
        StuckRecord r;
        r.row_index = f.row.index;
        r.vk = f.row.row.vk;
        r.mods = f.row.row.mods;
        r.press_line = f.row.row.line;
        r.quiet_line = f.other ? f.other->row.line : 0;
        stuck_at_[f.row.row] = Put(stuck_, r) + 1;
        return;
    }
    std::string line = FindingLine(f.finding.kind, f.row.row.line, FindingText(f));
    Put(findings_, static_cast<std::uint64_t>(f.row.index));
    Put(findings_, static_cast<std::uint32_t>(line.size()));
    findings_.Append(line.data(), line.size());
}

// Fills in the press's line and its stuck finding.
void TextReport::OnHoldClosed(const HoldState& hold) {
    if (std::uint64_t& at = press_at_[hold.press.row]; at != 0) {
        PressRecord r;
        r.repeats = hold.repeats;
        r.press_line = hold.press.row.line;
        r.released = hold.release.has_value();
        r.release_line = hold.release ? hold.release->row.line : 0;
        r.has_ms = hold.ms.has_value();
        r.ms = hold.ms.value_or(0);
        r.stuck = hold.stuck;
        r.by_tool = hold.by_tool;
        timeline_.Patch(at - 1, &r, sizeof r);
        at = 0;
    }
    if (std::uint64_t& at = stuck_at_[hold.press.row]; at != 0) {
        if (hold.release && !hold.by_tool) {
            auto patch = [&](std::size_t field, const auto& value) {
                stuck_.Patch(at - 1 + field, &value, sizeof value);
            };
            patch(offsetof(StuckRecord, release_line), std::int32_t{hold.release->row.line});
            patch(offsetof(StuckRecord, ms), std::int32_t{hold.ms.value_or(0)});
            patch(offsetof(StuckRecord, released), true);
            patch(offsetof(StuckRecord, has_ms), hold.ms.has_value());
        }
        at = 0;
    }
}

// A wrap is named in the first lines.
void TextReport::OnWrap(const Seen& before, const Seen& row) {
    PutText(wraps_, "Tick count wraps round at line " + std::to_string(row.row.line) + " (" +
                        std::to_string(before.row.tick) + " to " + std::to_string(row.row.tick) +
                        "), not a fault\n");
}

void TextReport::OnEnd(const Totals& totals) {
    totals_ = totals;
}

// Copies the text records of SPILL, filling in the others.
void TextReport::CopyRecords(Spill& spill, std::ostream& out) {
    spill.Rewind();
    for (char tag; spill.Read(&tag, 1);) {
        if (tag == kTextRecord) {
            std::uint32_t size = 0;
            spill.Read(&size, sizeof size);
            out << GetText(spill, size);
        } else if (tag == kBurstRecord) {
            BurstRecord r;
            spill.Read(&r, sizeof r);
            out << BurstLine(r);
        } else {
            PressRecord r;
            spill.Read(&r, sizeof r);
            out << PressLine(r);
        }
    }
}

// The findings in row order: the list kept in order, with the stuck keys merged in.
void TextReport::WriteFindings(std::ostream& out) {
    out << (summary_ ? "" : "\n");
    if (totals_.findings == 0) {
        out << "Findings: none\n";
        return;
    }
    out << "Findings: " << totals_.findings << " (" << Plural(totals_.faults, "fault", "faults");
    if (totals_.echoes > 0)
        out << ", " << Plural(totals_.echoes, "echo", "echoes") << " of the pass-through";
    out << ")\n";
    findings_.Rewind();
    stuck_.Rewind();
    std::uint64_t index = 0;
    std::uint32_t size = 0;
    bool have_line = findings_.Read(&index, sizeof index) && findings_.Read(&size, sizeof size);
    StuckRecord stuck;
    bool have_stuck = stuck_.Read(&stuck, sizeof stuck);
    while (have_line || have_stuck) {
        if (have_line && (!have_stuck || index <= stuck.row_index)) {
            out << GetText(findings_, size);
            have_line = findings_.Read(&index, sizeof index) && findings_.Read(&size, sizeof size);
        } else {
            out << FindingLine(FindingKind::Stuck, stuck.press_line,
                               FindingText(StuckFacts(stuck)));
            have_stuck = stuck_.Read(&stuck, sizeof stuck);
        }
    }
}

// The first lines, then the sections of the full report or the short form's counts.
void TextReport::Write(std::ostream& out) {
    const Totals& t = totals_;
    out << "Data file " << source_ << ": " << Plural(t.rows, "row", "rows") << " (" << t.taken_rows
        << " taken, " << Plural(t.key_events, "key event", "key events") << ", "
        << Plural(t.quiet_marks, "quiet mark", "quiet marks") << ")\n";
    if (t.first) {
        std::optional<std::int64_t> span = t.SpanMs();
        out << "Ticks " << t.first->row.tick << " to " << t.last->row.tick << ", "
            << (span ? std::to_string(*span) + " ms"
                     : std::string("time unknown: a tick goes back"))
            << "\n";
    }
    CopyRecords(wraps_, out);
    if (cut_line_ > 0)
        out << "Cut short: line " << cut_line_ << " has no line end and is left out\n";
    if (summary_) {
        out << "Taken: " << t.occupancy.total << " of 2048 combinations\n"
            << "Key events: " << Plural(t.holds, "press", "presses") << " with their releases, "
            << Plural(t.echoes, "echo", "echoes") << ", " << Plural(t.bursts, "burst", "bursts")
            << "\n";
    } else {
        RenderOccupancy(out, t.occupancy);
        out << "\nKey timeline: " << Plural(t.key_events, "key event", "key events") << ", "
            << Plural(t.holds, "press", "presses") << " with their releases, "
            << (t.echoes == 0 ? "" : Plural(t.echoes, "echo", "echoes") + ", ")
            << Plural(t.bursts, "burst", "bursts") << "\n";
        CopyRecords(timeline_, out);
    }
    WriteFindings(out);
}

namespace {

// The report on rows in memory, as the command would print it.
std::string ReportOf(const std::vector<Row>& rows, const std::string& source, bool summary) {
    TextReport report(source, summary);
    RunPass(rows, {&report});
    std::ostringstream out;
    report.Write(out);
    return out.str();
}

} // namespace

// All sections of the terminal report, in order.
std::string RenderText(const std::vector<Row>& rows, const std::string& source) {
    return ReportOf(rows, source, false);
}

// The counts and the findings, nothing else.
std::string RenderSummary(const std::vector<Row>& rows, const std::string& source) {
    return ReportOf(rows, source, true);
}

} // namespace report
