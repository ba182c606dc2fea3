// render.cpp - the report as terminal text and the occupancy grid as SVG.
#include "render.h"

#include <cstdio>
#include <optional>
#include <sstream>
#include <utility>

namespace report {

// "0x" and at least two upper-case hex digits.
std::string HexCode(unsigned vk) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%02X", vk);
    return text;
}

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

// TEXT with the five XML special characters escaped.
std::string XmlEscaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

} // namespace

// The key's usual name, or its hex code.
std::string KeyName(unsigned vk) {
    if ((vk >= '0' && vk <= '9') || (vk >= 'A' && vk <= 'Z'))
        return std::string(1, static_cast<char>(vk));
    if (vk >= 0x60 && vk <= 0x69)
        return "Num" + std::to_string(vk - 0x60);
    if (vk >= 0x70 && vk <= 0x87)
        return "F" + std::to_string(vk - 0x70 + 1);
    if (vk >= 0xC1 && vk <= 0xC6)
        return "App" + std::to_string(vk - 0xC1 + 1);
    // The other named keys, one by one.
    static constexpr std::pair<unsigned, const char*> kNames[] = {
        {0x01, "LButton"},  {0x02, "RButton"}, {0x03, "Cancel"}, {0x04, "MButton"},
        {0x08, "Back"},     {0x09, "Tab"},     {0x0C, "Clear"},  {0x0D, "Enter"},
        {0x10, "Shift"},    {0x11, "Ctrl"},    {0x12, "Alt"},    {0x13, "Pause"},
        {0x14, "CapsLock"}, {0x1B, "Esc"},     {0x20, "Space"},  {0x21, "PgUp"},
        {0x22, "PgDn"},     {0x23, "End"},     {0x24, "Home"},   {0x25, "Left"},
        {0x26, "Up"},       {0x27, "Right"},   {0x28, "Down"},   {0x29, "Select"},
        {0x2A, "Print"},    {0x2B, "Execute"}, {0x2C, "PrtSc"},  {0x2D, "Insert"},
        {0x2E, "Delete"},   {0x2F, "Help"},    {0x5B, "LWin"},   {0x5C, "RWin"},
        {0x5D, "Apps"},     {0x5F, "Sleep"},   {0x6A, "Num*"},   {0x6B, "Num+"},
        {0x6C, "Sep"},      {0x6D, "Num-"},    {0x6E, "Num."},   {0x6F, "Num/"},
        {0x90, "NumLock"},  {0x91, "ScrLock"}, {0xA0, "LShift"}, {0xA1, "RShift"},
        {0xA2, "LCtrl"},    {0xA3, "RCtrl"},   {0xA4, "LAlt"},   {0xA5, "RAlt"},
        {0xBA, ";"},        {0xBB, "="},       {0xBC, ","},      {0xBD, "-"},
        {0xBE, "."},        {0xBF, "/"},       {0xC0, "`"},      {0xDB, "["},
        {0xDC, "\\"},       {0xDD, "]"},       {0xDE, "'"},
    };
    for (const auto& [code, name] : kNames) {
        if (code == vk)
            return name;
    }
    return HexCode(vk);
}

// The modifier names joined by "+", or "none".
std::string ModsName(unsigned mods) {
    if (mods == 0)
        return "none";
    std::string out;
    auto add = [&](unsigned bit, const char* name) {
        if (mods & bit)
            out += out.empty() ? name : std::string("+") + name;
    };
    add(kModShift, "Shift");
    add(kModCtrl, "Ctrl");
    add(kModAlt, "Alt");
    return out;
}

// The key with the other modifiers held before it.
std::string ComboName(unsigned vk, unsigned mods) {
    unsigned others = mods & ~ModifierOfKey(vk);
    return others == 0 ? KeyName(vk) : ModsName(others) + "+" + KeyName(vk);
}

namespace {

// The first lines: counts, the span of ticks and any wrap of the tick count.
void RenderSummary(std::ostream& out, const std::vector<Row>& rows, const Analysis& a,
                   const std::string& source) {
    out << "Data file " << source << ": " << rows.size() << " rows (" << a.taken_rows << " taken, "
        << a.key_events << " key events, " << a.quiet_marks << " quiet marks)\n";
    if (rows.empty())
        return;
    out << "Ticks " << rows.front().tick << " to " << rows.back().tick << ", "
        << TickDiff(rows.front().tick, rows.back().tick) << " ms\n";
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

// COUNT and the noun in the right number.
std::string Plural(std::size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// The bursts, each with its presses, hold times and odd releases.
void RenderTimeline(std::ostream& out, const std::vector<Row>& rows, const Analysis& a) {
    out << "\nKey timeline: " << Plural(a.key_events, "key event", "key events") << ", "
        << Plural(a.holds.size(), "press", "presses") << " with their releases, "
        << Plural(a.bursts.size(), "burst", "bursts") << "\n";

    // Which hold each press and each release row belongs to.
    std::vector<std::optional<std::size_t>> hold_of(rows.size());
    for (std::size_t h = 0; h < a.holds.size(); ++h) {
        hold_of[a.holds[h].press] = h;
        if (a.holds[h].release)
            hold_of[*a.holds[h].release] = h;
    }

    for (std::size_t b = 0; b < a.bursts.size(); ++b) {
        const Burst& burst = a.bursts[b];
        int first_line = rows[burst.first].line;
        int last_line = rows[burst.last].line;
        out << "  burst " << b + 1 << ": "
            << (first_line == last_line
                    ? "line " + std::to_string(first_line)
                    : "lines " + std::to_string(first_line) + "-" + std::to_string(last_line))
            << ", " << Plural(burst.events, "event", "events") << ", " << burst.length_ms
            << " ms long, ";
        if (burst.gap_from)
            out << burst.gap_ms << " ms after " << LineOf(rows, *burst.gap_from);
        else
            out << "at the start of the file";
        out << (burst.quiet ? "" : ", no quiet mark before the end of the file") << "\n";

        // One line per press (with its release), and one per release that does not
        // close a press of this burst.
        for (std::size_t i = burst.first; i <= burst.last; ++i) {
            const Row& row = rows[i];
            if (row.kind != RowKind::Press && row.kind != RowKind::Release)
                continue;
            std::optional<std::size_t> h = hold_of[i];
            const Hold* hold = h ? &a.holds[*h] : nullptr;
            std::string head =
                Format("    %+8d ms  %-20s ", TickDiff(rows[burst.first].tick, row.tick),
                       ComboName(row.vk, row.mods).c_str());
            if (row.kind == RowKind::Press) {
                if (!hold || hold->press != i)
                    continue; // an auto-repeat, counted on its hold
                out << head;
                if (hold->release) {
                    out << Format("held %6d ms  lines %d-%d", hold->ms, row.line,
                                  rows[*hold->release].line);
                } else {
                    out << Format("not released   line %d", row.line);
                }
                if (hold->repeats > 0)
                    out << ", " << Plural(hold->repeats, "repeat", "repeats");
                out << (hold->stuck ? ", stuck" : "") << "\n";
            } else if (!hold) {
                out << head << "release without press, line " << row.line << "\n";
            } else if (hold->press < burst.first) {
                out << head << "released, pressed at line " << rows[hold->press].line << "\n";
            }
        }
    }
}

// One line per fault, at its line of the file.
void RenderFaults(std::ostream& out, const std::vector<Row>& rows, const Analysis& a) {
    if (a.faults.empty()) {
        out << "\nFaults: none\n";
        return;
    }
    out << "\nFaults: " << a.faults.size() << "\n";
    for (const Fault& fault : a.faults) {
        const Row& row = rows[fault.row];
        std::string key = ComboName(row.vk, row.mods);
        out << Format("  line %-6d ", row.line);
        switch (fault.kind) {
        case FaultKind::Stuck: {
            const Hold& hold = a.holds[*fault.hold];
            out << "stuck key              " << key << " still down at "
                << (fault.other ? "the quiet mark on " + LineOf(rows, *fault.other)
                                : std::string("the end of the file"));
            if (hold.release) {
                out << ", released at " << LineOf(rows, *hold.release) << " after " << hold.ms
                    << " ms";
            }
            break;
        }
        case FaultKind::Chatter:
            out << "chatter                " << key << " pressed " << fault.ms
                << " ms after its release at " << LineOf(rows, *fault.other);
            break;
        case FaultKind::ReleaseWithoutPress:
            out << "release without press  " << key;
            break;
        case FaultKind::TickBackwards:
            out << "tick jumps backwards   by " << -static_cast<std::int64_t>(fault.ms)
                << " ms from " << LineOf(rows, *fault.other) << " (" << rows[*fault.other].tick
                << " to " << row.tick << ")";
            break;
        }
        out << "\n";
    }
}

} // namespace

// All sections of the terminal report, in order.
std::string RenderText(const std::vector<Row>& rows, const Analysis& analysis,
                       const std::string& source) {
    std::ostringstream out;
    RenderSummary(out, rows, analysis, source);
    RenderOccupancy(out, analysis);
    RenderTimeline(out, rows, analysis);
    RenderFaults(out, rows, analysis);
    return out.str();
}

// The occupancy grid as an SVG document.
std::string RenderSvg(const Analysis& analysis, const std::string& source) {
    // Two bands of 128 key codes, one column per code with its name on the axis above;
    // the eight modifier sets are the rows of each band. Taken cells are filled.
    constexpr int kCodesPerBand = 128;
    constexpr int kCell = 12;
    constexpr int kRow = 22;
    constexpr int kLeft = 130;
    constexpr int kRight = 70;
    constexpr int kLabels = 58;                    // room for the turned key names
    constexpr int kBand = kLabels + 8 * kRow + 30; // one band with its hex axis
    constexpr int kTop = 40;
    constexpr int kGridWidth = kCodesPerBand * kCell;
    constexpr int kWidth = kLeft + kGridWidth + kRight;
    constexpr int kHeight = kTop + 2 * kBand + 30;
    const Occupancy& occ = analysis.occupancy;

    std::ostringstream out;
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\""
        << kHeight << "\" viewBox=\"0 0 " << kWidth << " " << kHeight
        << "\" font-family=\"DejaVu Sans Mono, monospace\">\n"
        << "<title>Taken combinations in " << XmlEscaped(source) << "</title>\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n"
        << "<text x=\"" << kLeft << "\" y=\"24\" font-size=\"16\" font-weight=\"bold\">"
        << "Taken hot-key combinations: " << occ.total << " of 2048 (" << XmlEscaped(source)
        << ")</text>\n";

    for (int band = 0; band < 2; ++band) {
        const unsigned first_code = static_cast<unsigned>(band * kCodesPerBand);
        const int grid_top = kTop + band * kBand + kLabels;
        auto column_x = [&](unsigned vk) {
            return kLeft + static_cast<int>(vk - first_code) * kCell;
        };

        // Key names, turned to run upwards; keys with a taken cell in bold black.
        for (unsigned vk = first_code; vk < first_code + kCodesPerBand; ++vk) {
            bool any = false;
            for (unsigned set = 0; set < 8; ++set)
                any = any || occ.taken[vk][set];
            out << "<text transform=\"translate(" << column_x(vk) + kCell / 2 + 3 << ","
                << grid_top - 4 << ") rotate(-90)\" font-size=\"9\" fill=\""
                << (any ? "#000000\" font-weight=\"bold\"" : "#8a8a8a\"") << ">"
                << XmlEscaped(KeyName(vk)) << "</text>\n";
        }
        for (unsigned set = 0; set < 8; ++set) {
            int y = grid_top + static_cast<int>(set) * kRow;
            out << "<rect x=\"" << kLeft << "\" y=\"" << y << "\" width=\"" << kGridWidth
                << "\" height=\"" << kRow << "\" fill=\"" << (set % 2 ? "#eef1f4" : "#f7f8fa")
                << "\"/>\n"
                << "<text x=\"" << kLeft - 8 << "\" y=\"" << y + 15
                << "\" font-size=\"12\" text-anchor=\"end\">" << ModsName(set) << "</text>\n";
            if (band == 0) {
                out << "<text x=\"" << kLeft + kGridWidth + 10 << "\" y=\"" << y + 15
                    << "\" font-size=\"12\">" << occ.per_set[set] << "</text>\n";
            }
        }
        if (band == 0) {
            out << "<text x=\"" << kLeft + kGridWidth + 10 << "\" y=\"" << grid_top - 6
                << "\" font-size=\"11\" fill=\"#555555\">taken</text>\n";
        }
        for (unsigned code = first_code; code <= first_code + kCodesPerBand; code += 16) {
            int x = column_x(code);
            out << "<line x1=\"" << x << "\" y1=\"" << grid_top << "\" x2=\"" << x << "\" y2=\""
                << grid_top + 8 * kRow << "\" stroke=\"#b0b6bd\"/>\n";
            if (code < first_code + kCodesPerBand) {
                out << "<text x=\"" << x + 2 << "\" y=\"" << grid_top + 8 * kRow + 14
                    << "\" font-size=\"11\" fill=\"#555555\">" << HexCode(code) << "</text>\n";
            }
        }
        for (unsigned vk = first_code; vk < first_code + kCodesPerBand; ++vk) {
            for (unsigned set = 0; set < 8; ++set) {
                if (!occ.taken[vk][set])
                    continue;
                out << "<rect class=\"taken\" x=\"" << column_x(vk) + 1 << "\" y=\""
                    << grid_top + static_cast<int>(set) * kRow + 2 << "\" width=\"" << kCell - 2
                    << "\" height=\"" << kRow - 4 << "\" fill=\"#c0392b\"><title>"
                    << XmlEscaped(set ? ModsName(set) + "+" + KeyName(vk) : KeyName(vk)) << " ("
                    << HexCode(vk) << ") taken</title></rect>\n";
            }
        }
    }

    int legend_y = kTop + 2 * kBand + 14;
    out << "<rect x=\"" << kLeft << "\" y=\"" << legend_y - 11
        << "\" width=\"12\" height=\"14\" fill=\"#c0392b\"/>\n"
        << "<text x=\"" << kLeft + 18 << "\" y=\"" << legend_y
        << "\" font-size=\"12\">taken: the tool could not register this combination "
           "(key code across, modifier set down)</text>\n"
        << "</svg>\n";
    return out.str();
}

} // namespace report
