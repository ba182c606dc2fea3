// pictures.cpp - the grid of taken combinations and the timeline of key events, as SVG.
//
// Choices:
//  - Every text is at least 11 px and near black (#333 or darker) on white or light grey.
//  - The timeline's time is the time since the first row, with a tick that goes backwards
//    counted as no time, so the picture always runs forward. A stretch of more than
//    kBreakMs with no row is drawn as a narrow break with its length written on it, so that
//    bursts hours apart stay readable; the axis goes on in seconds after it.
//  - The timeline's scale puts the rest of the time in about 1200 px; a press and its
//    release closer than that can show are drawn at least 3 px wide.
//  - A lane per key code; a bar's colour says held (released before its burst ended) or
//    stuck (still down at a quiet mark or the end of the file, drawn to its late release or
//    to the end). Auto-repeat presses (the key pressed again while down) are short dark
//    ticks standing on the top edge of their bar, one path per bar. Echoes, chatter and
//    releases without a press are marks on the key's lane; quiet marks and ticks that go
//    backwards are lines across all lanes.
//  - A long file's timeline is drawn for its first rows only: whole bursts up to
//    kTimelineKeyEvents key events (a burst that goes on for another fifth of that is cut at
//    the limit), with a line under the title naming the lines drawn. Drawing every event of a
//    file of 100,000 rows made an SVG of 7 MB, 11,000 px wide, whose bars were all 3 px
//    slivers; the counts and findings always cover every row.
#include "pictures.h"

#include "render.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>

namespace report {

// TEXT with the five XML special characters escaped; bytes XML cannot hold (control bytes,
// broken UTF-8) are written as \xNN.
std::string XmlEscaped(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        auto byte = static_cast<unsigned char>(c);
        std::size_t length = byte < 0x80                   ? 1
                             : byte >= 0xC2 && byte < 0xE0 ? 2
                             : byte >= 0xE0 && byte < 0xF0 ? 3
                             : byte >= 0xF0 && byte < 0xF5 ? 4
                                                           : 0;
        bool whole = length > 0 && i + length <= text.size();
        for (std::size_t k = 1; whole && k < length; ++k)
            whole = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if ((byte < 0x20 && c != '\t' && c != '\n') || byte == 0x7F || !whole) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            out += hex;
            continue;
        }
        if (length > 1) {
            out.append(text, i, length);
            i += length - 1;
            continue;
        }
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

// "ticks A to B", or "no rows".
std::string TicksText(const Totals& totals) {
    if (!totals.first)
        return "no rows";
    return "ticks " + std::to_string(totals.first->row.tick) + " to " +
           std::to_string(totals.last->row.tick);
}

namespace {

constexpr const char* kInk = "#1a1a1a";     // text
constexpr const char* kSoftInk = "#333333"; // secondary text, still dark enough to read
constexpr const char* kTaken = "#c0392b";   // a taken cell
constexpr const char* kHeld = "#2f6db5";    // a press released in its burst
constexpr const char* kStuck = "#e07b00";   // a stuck key
constexpr const char* kEcho = "#7b3fa0";    // an echo of the pass-through
constexpr const char* kFault = "#c62828";   // chatter, a release without press, tick back
constexpr const char* kQuiet = "#7d8590";   // a quiet mark
constexpr const char* kRepeat = "#0d2c54";  // an auto-repeat press on its bar
constexpr std::int64_t kBreakMs = 20000;    // longer stretches without a row are cut short

// The document's opening: XML declaration, size and font.
std::string SvgOpen(int width, int height, const std::string& title) {
    std::ostringstream out;
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
        << "\" viewBox=\"0 0 " << width << " " << height
        << "\" font-family=\"DejaVu Sans, Verdana, sans-serif\" fill=\"" << kInk << "\">\n"
        << "<title>" << XmlEscaped(title) << "</title>\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
    return out.str();
}

// A text element at X, Y with the given size and extra attributes.
std::string Text(double x, double y, int size, const std::string& text,
                 const std::string& attributes = "") {
    char head[160];
    std::snprintf(head, sizeof head, "<text x=\"%.1f\" y=\"%.1f\" font-size=\"%d\"", x, y, size);
    return std::string(head) + (attributes.empty() ? "" : " " + attributes) + ">" +
           XmlEscaped(text) + "</text>\n";
}

} // namespace

namespace {

// The grid's layout: two bands of 128 key codes, one column per code with its name on the
// axis above; the eight modifier sets are the rows of each band, each with its count at the
// right.
constexpr int kCodesPerBand = 128;
constexpr int kCell = 14;
constexpr int kGridRow = 22;
constexpr int kGridLeft = 130;
constexpr int kLabels = 64;                        // room for the turned key names
constexpr int kBand = kLabels + 8 * kGridRow + 34; // one band with its hex axis
constexpr int kGridTop = 62;
constexpr int kGridWidth = kCodesPerBand * kCell;

// One band of the grid: key names, modifier set rows with their counts, the hex axis and
// the taken cells.
void DrawGridBand(std::ostream& out, const Occupancy& occ, int band) {
    const unsigned first_code = static_cast<unsigned>(band * kCodesPerBand);
    const int grid_top = kGridTop + band * kBand + kLabels;
    auto column_x = [&](unsigned vk) {
        return kGridLeft + static_cast<int>(vk - first_code) * kCell;
    };

    // Key names, turned to run upwards; keys with a taken cell in bold.
    for (unsigned vk = first_code; vk < first_code + kCodesPerBand; ++vk) {
        bool any = false;
        for (unsigned set = 0; set < 8; ++set)
            any = any || occ.taken[vk][set];
        out << "<text transform=\"translate(" << column_x(vk) + kCell / 2 + 4 << "," << grid_top - 4
            << ") rotate(-90)\" font-size=\"11\""
            << (any ? " font-weight=\"bold\"" : " fill=\"#3a3a3a\"") << ">"
            << XmlEscaped(KeyLabel(vk)) << "</text>\n";
    }
    for (unsigned set = 0; set < 8; ++set) {
        int y = grid_top + static_cast<int>(set) * kGridRow;
        out << "<rect x=\"" << kGridLeft << "\" y=\"" << y << "\" width=\"" << kGridWidth
            << "\" height=\"" << kGridRow << "\" fill=\"" << (set % 2 ? "#e9edf1" : "#f6f7f9")
            << "\"/>\n"
            << Text(kGridLeft - 8, y + 15, 12, ModsName(set), "text-anchor=\"end\"")
            << Text(kGridLeft + kGridWidth + 12, y + 15, 12,
                    std::to_string(occ.per_half[band][set]), "class=\"count\"");
    }
    out << Text(kGridLeft + kGridWidth + 12, grid_top - 6, 11, "taken",
                "fill=\"" + std::string(kSoftInk) + "\"");
    for (unsigned code = first_code; code <= first_code + kCodesPerBand; code += 16) {
        int x = column_x(code);
        out << "<line x1=\"" << x << "\" y1=\"" << grid_top << "\" x2=\"" << x << "\" y2=\""
            << grid_top + 8 * kGridRow << "\" stroke=\"#9aa2ab\"/>\n";
        if (code < first_code + kCodesPerBand)
            out << Text(x + 2, grid_top + 8 * kGridRow + 15, 11, HexCode(code),
                        "fill=\"" + std::string(kSoftInk) + "\"");
    }
    for (unsigned vk = first_code; vk < first_code + kCodesPerBand; ++vk) {
        for (unsigned set = 0; set < 8; ++set) {
            if (!occ.taken[vk][set])
                continue;
            out << "<rect class=\"taken\" x=\"" << column_x(vk) + 1 << "\" y=\""
                << grid_top + static_cast<int>(set) * kGridRow + 2 << "\" width=\"" << kCell - 2
                << "\" height=\"" << kGridRow - 4 << "\" fill=\"" << kTaken << "\"><title>"
                << XmlEscaped(set ? ModsName(set) + "+" + KeyName(vk) : KeyName(vk)) << " ("
                << HexCode(vk) << ") taken</title></rect>\n";
        }
    }
}

} // namespace

// The occupancy grid as an SVG document.
std::string RenderGridSvg(const Totals& totals, const std::string& source) {
    constexpr int kRight = 80;
    constexpr int kWidth = kGridLeft + kGridWidth + kRight;
    constexpr int kHeight = kGridTop + 2 * kBand + 34;
    const Occupancy& occ = totals.occupancy;

    std::ostringstream out;
    out << SvgOpen(kWidth, kHeight, "Taken combinations in " + source)
        << Text(kGridLeft, 26, 17,
                "Taken hot-key combinations: " + std::to_string(occ.total) + " of 2048",
                "font-weight=\"bold\"")
        << Text(kGridLeft, 46, 13, source + ", " + TicksText(totals),
                "fill=\"" + std::string(kSoftInk) + "\"");
    for (int band = 0; band < 2; ++band)
        DrawGridBand(out, occ, band);

    int legend_y = kGridTop + 2 * kBand + 16;
    out << "<rect x=\"" << kGridLeft << "\" y=\"" << legend_y - 11
        << "\" width=\"12\" height=\"14\" fill=\"" << kTaken << "\"/>\n"
        << Text(kGridLeft + 18, legend_y, 12,
                "taken: the tool could not register this combination (key code across, "
                "modifier set down); at the right, the count of each row of each half")
        << "</svg>\n";
    return out.str();
}

namespace {

// Where the timeline puts a time: segments of the time line, with long empty stretches cut.
class TimeScale {
  public:
    // Lays out ELAPSED (ms since the first row, one per row, never decreasing).
    explicit TimeScale(const std::vector<std::int64_t>& elapsed) {
        std::int64_t shown = 0;
        std::int64_t start = elapsed.empty() ? 0 : elapsed.front();
        for (std::size_t i = 1; i < elapsed.size(); ++i) {
            if (elapsed[i] - elapsed[i - 1] > kBreakMs) {
                segments_.push_back({start, elapsed[i - 1], 0});
                shown += elapsed[i - 1] - start;
                start = elapsed[i];
            }
        }
        std::int64_t end = elapsed.empty() ? 0 : elapsed.back();
        segments_.push_back({start, end, 0});
        shown += end - start;
        px_per_ms_ = std::min(1.0, 1200.0 / static_cast<double>(std::max<std::int64_t>(shown, 1)));
        double x = 0;
        for (Segment& s : segments_) {
            s.x = x;
            x += static_cast<double>(s.to - s.from) * px_per_ms_ + kBreakPx;
        }
        width_ = x - kBreakPx;
    }

    // The x of a time, from the left of the plot: in the first segment that ends at or
    // after it (found by halving: a file of hours has thousands of segments).
    double X(std::int64_t ms) const {
        auto s = std::lower_bound(segments_.begin(), segments_.end(), ms,
                                  [](const Segment& seg, std::int64_t t) { return seg.to < t; });
        if (s == segments_.end())
            return width_;
        return s->x + static_cast<double>(std::max(ms, s->from) - s->from) * px_per_ms_;
    }

    double Width() const { return width_; }

    // Draws the axis below the plot at Y, and the breaks across it from TOP.
    void DrawAxis(std::ostream& out, double left, double top, double y) const {
        static constexpr std::int64_t kSteps[] = {10,    20,     50,     100,    200,     500,
                                                  1000,  2000,   5000,   10000,  20000,   30000,
                                                  60000, 120000, 300000, 600000, 1800000, 3600000};
        std::int64_t step = kSteps[0];
        for (std::int64_t s : kSteps) {
            step = s;
            if (static_cast<double>(s) * px_per_ms_ >= 70)
                break;
        }
        out << "<line x1=\"" << left << "\" y1=\"" << y << "\" x2=\"" << left + width_ << "\" y2=\""
            << y << "\" stroke=\"" << kSoftInk << "\"/>\n";
        for (std::size_t n = 0; n < segments_.size(); ++n) {
            const Segment& s = segments_[n];
            for (std::int64_t t = (s.from + step - 1) / step * step; t <= s.to; t += step) {
                double x = left + X(t);
                out << "<line x1=\"" << x << "\" y1=\"" << y << "\" x2=\"" << x << "\" y2=\""
                    << y + 5 << "\" stroke=\"" << kSoftInk << "\"/>\n"
                    << Text(x, y + 18, 11, Seconds(t, step), "text-anchor=\"middle\"");
            }
            if (n + 1 < segments_.size()) {
                double x = left + s.x + static_cast<double>(s.to - s.from) * px_per_ms_;
                std::int64_t gap = segments_[n + 1].from - s.to;
                out << "<rect x=\"" << x + 4 << "\" y=\"" << top << "\" width=\"" << kBreakPx - 8
                    << "\" height=\"" << y - top << "\" fill=\"#eceff3\"><title>"
                    << XmlEscaped(Duration(gap) + " without a row, cut short")
                    << "</title></rect>\n"
                    << "<text transform=\"translate(" << x + kBreakPx / 2 + 4 << "," << y - 6
                    << ") rotate(-90)\" font-size=\"11\" fill=\"" << kSoftInk << "\">"
                    << XmlEscaped("+" + Duration(gap)) << "</text>\n";
            }
        }
    }

  private:
    struct Segment {
        std::int64_t from, to; // elapsed ms
        double x;              // where it starts
    };
    static constexpr double kBreakPx = 36;

    // "12 s", "12.5 s", "12.25 s": as many decimals as the step needs.
    static std::string Seconds(std::int64_t ms, std::int64_t step) {
        char text[32];
        int decimals = step >= 1000 ? 0 : step >= 100 ? 1 : 2;
        std::snprintf(text, sizeof text, "%.*f s", decimals, static_cast<double>(ms) / 1000.0);
        return text;
    }

    // "3 min 20 s", "2 h 5 min", "45 s".
    static std::string Duration(std::int64_t ms) {
        std::int64_t s = ms / 1000;
        if (s >= 3600)
            return std::to_string(s / 3600) + " h " + std::to_string(s % 3600 / 60) + " min";
        if (s >= 60)
            return std::to_string(s / 60) + " min " + std::to_string(s % 60) + " s";
        return std::to_string(s) + " s";
    }

    std::vector<Segment> segments_;
    double px_per_ms_ = 1;
    double width_ = 0;
};

// A mark on a lane: a small shape with a label above it and its finding as a tooltip.
std::string LaneMark(double x, double y, const char* colour, const std::string& shape,
                     const std::string& label, const std::string& tooltip) {
    char head[96];
    std::snprintf(head, sizeof head, "<g class=\"%s\" transform=\"translate(%.1f,%.1f)\">",
                  shape.c_str(), x, y);
    std::string body;
    if (shape == "echo") {
        body = std::string("<path d=\"M0,-7 L7,0 L0,7 L-7,0 Z\" fill=\"") + colour + "\"/>";
    } else if (shape == "chatter") {
        body = std::string("<path d=\"M0,-2 L6,-12 L-6,-12 Z\" fill=\"") + colour + "\"/>";
    } else {
        body = std::string("<path d=\"M-5,-5 L5,5 M5,-5 L-5,5\" stroke=\"") + colour +
               "\" stroke-width=\"2.5\"/>";
    }
    return std::string(head) + "<title>" + XmlEscaped(tooltip) + "</title>" + body +
           Text(8, -6, 11, label, std::string("fill=\"") + colour + "\" font-weight=\"bold\"") +
           "</g>\n";
}

} // namespace

// The grid of rows in memory.
std::string RenderGridSvg(const std::vector<Row>& rows, const std::string& source) {
    Kept kept;
    RunPass(rows, {&kept});
    return RenderGridSvg(kept.All(), source);
}

namespace {

constexpr int kTimelineLeft = 120;
constexpr int kLane = 30;

// What the timeline draws and where: the rows drawn, their times and the key lanes.
struct TimelinePlot {
    const Kept& kept;
    std::size_t drawn = 0;
    int top = 70;
    std::vector<std::int64_t> elapsed; // per row drawn: ms since the first, never back
    std::vector<unsigned> lanes;       // key codes, one lane each
    TimeScale scale;
    int plot_bottom = 0;
    double end_x = 0;

    // The x of a row drawn.
    double X(std::size_t row) const { return kTimelineLeft + scale.X(elapsed[row]); }
    // The y of the middle of a key's lane.
    int LaneY(unsigned vk) const {
        auto at = std::lower_bound(lanes.begin(), lanes.end(), vk) - lanes.begin();
        return top + static_cast<int>(at) * kLane + kLane / 2;
    }
};

// Time since the first row, a step back counted as none.
std::vector<std::int64_t> ElapsedOf(const std::vector<Seen>& rows, std::size_t drawn) {
    std::vector<std::int64_t> elapsed(drawn, 0);
    for (std::size_t i = 1; i < drawn; ++i)
        elapsed[i] = elapsed[i - 1] + std::max(0, TickDiff(rows[i - 1].row.tick, rows[i].row.tick));
    return elapsed;
}

// The key codes with a key event among the first DRAWN rows, in order.
std::vector<unsigned> LanesOf(const std::vector<Seen>& rows, std::size_t drawn) {
    std::set<unsigned> keys;
    for (std::size_t i = 0; i < drawn; ++i) {
        if (rows[i].row.kind == RowKind::Press || rows[i].row.kind == RowKind::Release)
            keys.insert(rows[i].row.vk);
    }
    return {keys.begin(), keys.end()};
}

// Lanes with their key names, then quiet marks and ticks that go backwards across them.
void DrawLanesAndLines(std::ostream& out, const TimelinePlot& p) {
    const std::vector<Seen>& rows = p.kept.TimelineRows();
    for (std::size_t n = 0; n < p.lanes.size(); ++n) {
        int y = p.top + static_cast<int>(n) * kLane;
        out << "<rect x=\"" << kTimelineLeft << "\" y=\"" << y << "\" width=\"" << p.scale.Width()
            << "\" height=\"" << kLane << "\" fill=\"" << (n % 2 ? "#eef1f4" : "#f8f9fa")
            << "\"/>\n"
            << Text(kTimelineLeft - 10, y + kLane / 2 + 4, 12, KeyName(p.lanes[n]),
                    "text-anchor=\"end\" font-weight=\"bold\"");
    }
    if (p.lanes.empty())
        out << Text(kTimelineLeft + 8, p.top + 20, 12, "no key events");
    for (std::size_t i = 0; i < p.drawn; ++i) {
        if (rows[i].row.kind != RowKind::Quiet)
            continue;
        out << "<line class=\"quiet\" x1=\"" << p.X(i) << "\" y1=\"" << p.top - 6 << "\" x2=\""
            << p.X(i) << "\" y2=\"" << p.plot_bottom << "\" stroke=\"" << kQuiet
            << "\" stroke-width=\"1.5\" stroke-dasharray=\"4 3\"><title>quiet mark, line "
            << rows[i].row.line << "</title></line>\n";
    }
    for (const FindingFacts& f : p.kept.TimelineFindings()) {
        std::size_t row = f.row.index;
        if (f.finding.kind != FindingKind::TickBackwards || row >= p.drawn)
            continue;
        out << "<line class=\"back\" x1=\"" << p.X(row) << "\" y1=\"" << p.top - 6 << "\" x2=\""
            << p.X(row) << "\" y2=\"" << p.plot_bottom << "\" stroke=\"" << kFault
            << "\" stroke-width=\"2\" stroke-dasharray=\"1 3\"><title>"
            << XmlEscaped("line " + std::to_string(f.row.row.line) + ": " + FindingText(f))
            << "</title></line>\n";
    }
}

// The auto-repeat ticks on a bar, one path, with the lines of the repeats as its title.
void DrawRepeats(std::ostream& out, const TimelinePlot& p, const HoldState& hold) {
    const Row& press = hold.press.row;
    out << "<path class=\"repeat\" d=\"";
    auto repeats = p.kept.TimelineRepeats().find(hold.id);
    if (repeats != p.kept.TimelineRepeats().end()) {
        for (std::size_t r : repeats->second) {
            if (r >= p.drawn)
                break;
            out << "M" << p.X(r) << "," << p.LaneY(press.vk) - 12 << "v9";
        }
    }
    out << "\" stroke=\"" << kRepeat << "\" stroke-width=\"2\"><title>"
        << XmlEscaped(ComboName(press.vk, press.mods) + ": " +
                      Plural(hold.repeats, "auto-repeat", "auto-repeats") + " while held, line " +
                      std::to_string(hold.first_repeat_line) +
                      (hold.repeats > 1 ? "-" + std::to_string(hold.last_repeat_line) : ""))
        << "</title></path>\n";
}

// A bar per press, to its release or, for a key never released, to the end; its
// combination inside it, or beside it when it is too short and the lane has room.
void DrawHolds(std::ostream& out, const TimelinePlot& p) {
    std::vector<const HoldState*> holds; // in the order of their presses
    for (const auto& [id, hold] : p.kept.TimelineHolds()) {
        if (hold.press.index < p.drawn)
            holds.push_back(&hold);
    }
    std::vector<double> next_start(holds.size(), 1e9); // where the key's next bar starts
    std::map<unsigned, double> later;                  // key code -> its bar after the one at hand
    for (std::size_t h = holds.size(); h-- > 0;) {
        unsigned vk = holds[h]->press.row.vk;
        if (auto next = later.find(vk); next != later.end())
            next_start[h] = next->second;
        later[vk] = p.X(holds[h]->press.index);
    }
    for (std::size_t h = 0; h < holds.size(); ++h) {
        const HoldState& hold = *holds[h];
        const Row& press = hold.press.row;
        const bool released = hold.release && hold.release->index < p.drawn;
        double x1 = p.X(hold.press.index);
        double x2 = released ? p.X(hold.release->index) : p.end_x;
        double w = std::max(3.0, x2 - x1);
        std::string unknown =
            hold.by_tool ? "released by the tool, real hold unknown" : "held an unknown time";
        std::string what =
            ComboName(press.vk, press.mods) + ": " +
            (hold.release ? (hold.ms ? "held " + std::to_string(*hold.ms) + " ms" : unknown)
                          : std::string("never released")) +
            (hold.stuck ? ", stuck" : "") + ", line " + std::to_string(press.line) +
            (hold.release ? "-" + std::to_string(hold.release->row.line) : "");
        out << "<rect class=\"" << (hold.stuck ? "stuck" : "held") << "\" x=\"" << x1 << "\" y=\""
            << p.LaneY(press.vk) - 7 << "\" width=\"" << w << "\" height=\"14\" rx=\"2\" fill=\""
            << (hold.stuck ? kStuck : kHeld) << "\"><title>" << XmlEscaped(what)
            << "</title></rect>\n";
        if (hold.repeats > 0)
            DrawRepeats(out, p, hold);
        if (!hold.release) {
            out << "<path d=\"M" << p.end_x << "," << p.LaneY(press.vk) - 10
                << " l9,10 l-9,10 Z\" fill=\"" << kStuck << "\"/>\n";
        }
        std::string label = ComboName(press.vk, press.mods);
        double label_w = 7.0 * static_cast<double>(label.size()) + 6;
        bool echoed = hold.release && p.kept.Echoed().count(hold.release->index);
        double gap = echoed ? 12 : 4; // room for an echo mark
        if (w > label_w)
            out << Text(x1 + 4, p.LaneY(press.vk) + 4, 11, label, "fill=\"#ffffff\"");
        else if (released && x1 + w + gap + label_w < std::min(next_start[h], p.end_x + 30))
            out << Text(x1 + w + gap, p.LaneY(press.vk) + 4, 11, label);
    }
}

// Echoes, chatter and releases without a press, as marks on their lanes.
void DrawMarks(std::ostream& out, const TimelinePlot& p) {
    for (const FindingFacts& f : p.kept.TimelineFindings()) {
        std::size_t at = f.row.index;
        if (at >= p.drawn)
            break; // in row order
        const Row& row = f.row.row;
        std::string tooltip = "line " + std::to_string(row.line) + ": " + FindingText(f);
        if (f.finding.kind == FindingKind::Echo) {
            out << LaneMark(p.X(at), p.LaneY(row.vk), kEcho, "echo", "echo", tooltip);
        } else if (f.finding.kind == FindingKind::Chatter) {
            out << LaneMark(p.X(at), p.LaneY(row.vk) - 6, kFault, "chatter",
                            "chatter " + std::to_string(f.finding.ms) + " ms", tooltip);
        } else if (f.finding.kind == FindingKind::ReleaseWithoutPress) {
            out << LaneMark(p.X(at), p.LaneY(row.vk), kFault, "unpaired", "no press", tooltip);
        }
    }
}

// The axis, its caption and the legend below the plot.
void DrawTimelineFoot(std::ostream& out, const TimelinePlot& p) {
    constexpr int kLeft = kTimelineLeft;
    const int plot_bottom = p.plot_bottom;
    p.scale.DrawAxis(out, kLeft, p.top, plot_bottom + 8);
    out << Text(kLeft, plot_bottom + 46, 11, "seconds since the first row",
                "fill=\"" + std::string(kSoftInk) + "\"");

    // The legend.
    int y = plot_bottom + 74;
    double x = kLeft;
    auto swatch = [&](const std::string& shape, const std::string& text) {
        out << "<g transform=\"translate(" << x << "," << y << ")\">" << shape
            << Text(22, 4, 12, text) << "</g>\n";
        x += 34 + 7.2 * static_cast<double>(text.size());
    };
    swatch(std::string("<rect x=\"0\" y=\"-6\" width=\"16\" height=\"12\" fill=\"") + kHeld +
               "\"/>",
           "held");
    swatch(std::string("<rect x=\"0\" y=\"-6\" width=\"16\" height=\"12\" fill=\"") + kStuck +
               "\"/>",
           "stuck");
    swatch(std::string("<rect x=\"0\" y=\"-3\" width=\"16\" height=\"9\" fill=\"") + kHeld +
               "\"/><path d=\"M5,-8v9M11,-8v9\" stroke=\"" + kRepeat + "\" stroke-width=\"2\"/>",
           "auto-repeat");
    swatch(std::string("<path d=\"M8,-7 L15,0 L8,7 L1,0 Z\" fill=\"") + kEcho + "\"/>",
           "echo of the pass-through");
    swatch(std::string("<path d=\"M8,6 L14,-4 L2,-4 Z\" fill=\"") + kFault + "\"/>", "chatter");
    swatch(std::string("<path d=\"M3,-5 L13,5 M13,-5 L3,5\" stroke=\"") + kFault +
               "\" stroke-width=\"2.5\"/>",
           "release without press");
    swatch(std::string("<line x1=\"8\" y1=\"-8\" x2=\"8\" y2=\"8\" stroke=\"") + kQuiet +
               "\" stroke-width=\"1.5\" stroke-dasharray=\"4 3\"/>",
           "quiet mark");
    swatch(std::string("<line x1=\"8\" y1=\"-8\" x2=\"8\" y2=\"8\" stroke=\"") + kFault +
               "\" stroke-width=\"2\" stroke-dasharray=\"1 3\"/>",
           "tick goes back");
}

} // namespace

// The timeline of key events as an SVG document, from what the pass kept.
std::string RenderTimelineSvg(const Kept& kept, const std::string& source) {
    constexpr int kRight = 40;
    const Totals& all = kept.All();
    const std::vector<Seen>& rows = kept.TimelineRows();
    std::vector<Row> plain;
    for (const Seen& s : rows)
        plain.push_back(s.row);
    const std::size_t drawn = TimelineRows(plain, kept.Limits().timeline_key_events);
    const bool cut = drawn < all.rows;
    std::vector<std::int64_t> elapsed = ElapsedOf(rows, drawn);
    TimelinePlot p{kept, drawn, cut ? 88 : 70, elapsed, LanesOf(rows, drawn), TimeScale(elapsed),
                   0,    0};
    p.plot_bottom = p.top + std::max<int>(1, static_cast<int>(p.lanes.size())) * kLane;
    p.end_x = kTimelineLeft + p.scale.Width();
    const int width = kTimelineLeft + static_cast<int>(std::ceil(p.scale.Width())) + kRight;
    std::size_t drawn_events = 0;
    for (std::size_t i = 0; i < drawn; ++i)
        drawn_events += rows[i].row.kind == RowKind::Press || rows[i].row.kind == RowKind::Release;

    std::ostringstream out;
    out << SvgOpen(std::max(width, 1100), p.plot_bottom + 100, "Key timeline of " + source)
        << Text(kTimelineLeft, 26, 17,
                "Key timeline: " + Plural(all.key_events, "key event", "key events") + ", " +
                    Plural(all.holds, "press", "presses") + " with their releases",
                "font-weight=\"bold\"")
        << Text(kTimelineLeft, 46, 13, source + ", " + TicksText(all),
                "fill=\"" + std::string(kSoftInk) + "\"");
    if (cut) {
        out << Text(kTimelineLeft, 66, 13,
                    "Drawn: lines " + std::to_string(rows.front().row.line) + " to " +
                        std::to_string(rows[drawn - 1].row.line) + " only, " +
                        std::to_string(drawn_events) + " of " +
                        Plural(all.key_events, "key event", "key events") +
                        "; counts and findings cover every row",
                    "class=\"cut\" font-weight=\"bold\"");
    }
    DrawLanesAndLines(out, p);
    DrawHolds(out, p);
    DrawMarks(out, p);
    DrawTimelineFoot(out, p);
    out << "</svg>\n";
    return out.str();
}

// The timeline of rows in memory.
std::string RenderTimelineSvg(const std::vector<Row>& rows, const std::string& source,
                              std::size_t max_key_events) {
    PageLimits limits;
    limits.timeline_key_events = max_key_events;
    Kept kept(limits);
    RunPass(rows, {&kept});
    return RenderTimelineSvg(kept, source);
}

} // namespace report
