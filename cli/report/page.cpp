// page.cpp - the report as one self-contained HTML page.
//
// Choices: no script at all (nothing to fail in a browser's console); the pictures are the
// same SVG documents as --svg and --timeline write, inline; each row in the table has an
// anchor "line-N" that the findings link to; an empty icon link keeps the browser from
// asking for a favicon.
// A long file's page is cut to what a browser loads in a few seconds (PageLimits): the
// table holds the first 5,000 rows and every row a listed finding links to, with one line
// for each stretch left out; the first 1,000 findings are listed; the timeline draws its
// first bursts. Each cut is said where it is made, and the counts cover every row. With
// every row, a page of 100,000 rows was 22 MB and took Chromium over a minute to show; one
// of a million rows was 226 MB, and Chromium had not shown it after ten minutes and 10 GB.
#include "page.h"

#include "pictures.h"
#include "render.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace report {

namespace {

constexpr const char* kStyle = R"(
body { font-family: "DejaVu Sans", Verdana, sans-serif; color: #1a1a1a; background: #fff;
       margin: 24px; line-height: 1.4; }
h1 { font-size: 24px; margin: 0 0 4px; }
h2 { font-size: 19px; margin: 28px 0 8px; border-bottom: 1px solid #c9d1d9; }
.path { color: #333; margin: 0; font-size: 14px; word-break: break-all; }
table.counts td { padding: 2px 14px 2px 0; }
table.counts td.n { text-align: right; font-weight: bold; }
ol.findings li { margin: 4px 0; }
.kind { font-weight: bold; }
li.fault .kind { color: #b71c1c; }
li.echo .kind { color: #6a2c91; }
.note { max-width: 60em; color: #333; }
.picture { border: 1px solid #c9d1d9; margin: 8px 0; }
.picture svg { display: block; max-width: 100%; height: auto; }
table.rows { border-collapse: collapse; font-family: "DejaVu Sans Mono", monospace;
             font-size: 13px; }
table.rows th, table.rows td { border: 1px solid #d0d7de; padding: 2px 8px; text-align: left; }
table.rows th { background: #eef1f4; position: sticky; top: 0; }
tr.fault td { background: #fdecea; }
tr.echo td { background: #f3ebf9; }
tr.quiet td { color: #444; }
tr.repeat td { color: #0d2c54; font-style: italic; }
tr.gap td { background: #f6f7f9; color: #333; font-style: italic; text-align: center; }
tr:target td { background: #fff2a8; }
table.rows tr { scroll-margin-top: 2.5em; }
.cut { font-weight: bold; }
a { color: #0b57d0; }
)";

// TEXT made safe for HTML.
std::string Html(const std::string& text) {
    return XmlEscaped(text);
}

// A link to the row at INDEX: "line N".
std::string RowLink(const std::vector<Row>& rows, std::size_t index) {
    std::string line = std::to_string(rows[index].line);
    return "<a href=\"#line-" + line + "\">line " + line + "</a>";
}

// An SVG document without its XML declaration, to sit inside the page.
std::string Inline(const std::string& svg) {
    std::size_t start = svg.find("<svg");
    return start == std::string::npos ? svg : svg.substr(start);
}

// What the table says about each row: the finding it carries, or what it is.
std::vector<std::pair<std::string, std::string>> RowNotes(const std::vector<Row>& rows,
                                                          const Analysis& a) {
    std::vector<std::pair<std::string, std::string>> notes(rows.size()); // class, text
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].kind == RowKind::Taken)
            notes[i] = {"taken", "taken"};
        else if (rows[i].kind == RowKind::Quiet)
            notes[i] = {"quiet", "quiet mark"};
    }
    for (const Hold& hold : a.holds) {
        std::string press_line = std::to_string(rows[hold.press].line);
        for (std::size_t r : hold.repeats)
            notes[r] = {"repeat", "auto-repeat of the press at line " + press_line};
        if (!hold.release)
            continue;
        std::string held = hold.ms ? std::to_string(*hold.ms) + " ms" : "an unknown time";
        notes[hold.press].second =
            "held " + held +
            (hold.repeats.empty()
                 ? ""
                 : ", " + Plural(hold.repeats.size(), "auto-repeat", "auto-repeats")) +
            ", released at line " + std::to_string(rows[*hold.release].line);
        notes[*hold.release].second = "pressed at line " + press_line;
    }
    for (const Echo& echo : a.echoes) {
        std::string text =
            "echo of the pass-through at line " + std::to_string(rows[echo.passed].line);
        notes[echo.press] = {"echo", text};
        notes[echo.release] = {"echo", text};
    }
    for (const Finding& f : a.findings) {
        if (f.kind == FindingKind::Echo)
            continue;
        notes[f.row] = {"fault", FindingLabel(f.kind) + ": " + FindingText(rows, a, f)};
    }
    return notes;
}

} // namespace

// The page: head with inline styles, then summary, findings, pictures and rows.
std::string RenderHtml(const std::vector<Row>& rows, const Analysis& a, const std::string& source,
                       const PageLimits& limits) {
    std::ostringstream out;
    out << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        << "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        << "<title>Tapwatcher report: " << Html(source) << "</title>\n"
        << "<link rel=\"icon\" href=\"data:,\">\n<style>" << kStyle << "</style>\n</head>\n<body>\n"
        << "<h1>Tapwatcher report</h1>\n<p class=\"path\">" << Html(source) << ", "
        << Html(TicksText(rows)) << "</p>\n";

    // Summary.
    std::optional<std::int32_t> span =
        rows.empty() ? std::optional<std::int32_t>(0) : a.Elapsed(rows, 0, rows.size() - 1);
    std::size_t repeats = 0;
    for (const Hold& hold : a.holds)
        repeats += hold.repeats.size();
    auto count = [](std::size_t n, const char* one, const char* many) {
        return std::pair<std::string, std::string>{std::to_string(n), n == 1 ? one : many};
    };
    const std::pair<std::string, std::string> counts[] = {
        count(rows.size(), "row", "rows"),
        {span ? std::to_string(*span) + " ms" : "unknown", "from the first row to the last"},
        {std::to_string(a.occupancy.total) + " of 2048", "taken combinations"},
        count(a.key_events, "key event", "key events"),
        count(a.holds.size(), "press with its release", "presses with their releases"),
        count(repeats, "auto-repeat press", "auto-repeat presses"),
        count(a.echoes.size(), "echo of the pass-through", "echoes of the pass-through"),
        count(a.bursts.size(), "burst", "bursts"),
        count(a.quiet_marks, "quiet mark", "quiet marks"),
        count(a.Faults(), "fault", "faults"),
    };
    out << "<section id=\"summary\">\n<h2>Summary</h2>\n<table class=\"counts\">\n";
    for (const auto& [what, count] : counts)
        out << "<tr><td class=\"n\">" << Html(count) << "</td><td>" << Html(what) << "</td></tr>\n";
    out << "</table>\n";
    for (std::size_t row : a.wraps) {
        out << "<p>The tick count wraps round at " << RowLink(rows, row) << " ("
            << rows[row - 1].tick << " to " << rows[row].tick << "); not a fault.</p>\n";
    }
    out << "</section>\n";

    // Findings.
    const std::size_t listed = std::min(a.findings.size(), limits.findings);
    out << "<section id=\"findings\">\n<h2>Findings: " << a.findings.size() << "</h2>\n";
    if (a.findings.empty()) {
        out << "<p>None.</p>\n";
    } else {
        out << "<ol class=\"findings\">\n";
        for (std::size_t n = 0; n < listed; ++n) {
            const Finding& f = a.findings[n];
            out << "<li class=\"" << (f.kind == FindingKind::Echo ? "echo" : "fault") << "\">"
                << RowLink(rows, f.row) << ": <span class=\"kind\">" << Html(FindingLabel(f.kind))
                << "</span> " << Html(FindingText(rows, a, f));
            if (f.other)
                out << " (see " << RowLink(rows, *f.other) << ")";
            out << "</li>\n";
        }
        out << "</ol>\n";
        if (listed < a.findings.size()) {
            out << "<p class=\"note cut\">Only the first " << listed << " of " << a.findings.size()
                << " findings are listed: <code>tapwatcher-report FILE --summary</code> prints "
                   "them all.</p>\n";
        }
    }
    if (!a.echoes.empty()) {
        out << "<p class=\"note\">An echo is not a fault of the keyboard. When a modifier is "
               "released before the key (Shift down, B down, Shift up, B up), the tool logs B's "
               "release with the modifiers of its press and passes B on. By then Shift is up, so "
               "the tool's own B finds B without Shift, one of the tool's own hot keys: it comes "
               "back to the tool, which logs it as a press and a release of its own, and the "
               "system receives B without Shift. The echo rows are left out of the pairing and "
               "of the chatter check.</p>\n";
    }
    out << "</section>\n";

    // Pictures.
    out << "<section id=\"timeline\">\n<h2>Key timeline</h2>\n<div class=\"picture\">"
        << Inline(RenderTimelineSvg(rows, a, source, limits.timeline_key_events))
        << "</div>\n</section>\n"
        << "<section id=\"grid\">\n<h2>Taken combinations</h2>\n<div class=\"picture\">"
        << Inline(RenderGridSvg(rows, a, source)) << "</div>\n</section>\n";

    // Rows.
    std::vector<std::pair<std::string, std::string>> notes = RowNotes(rows, a);
    std::vector<bool> shown(rows.size(), false);
    std::fill_n(shown.begin(), std::min(rows.size(), limits.rows), true);
    for (std::size_t n = 0; n < listed; ++n) {
        shown[a.findings[n].row] = true;
        if (a.findings[n].other)
            shown[*a.findings[n].other] = true;
    }
    for (std::size_t row : a.wraps)
        shown[row] = true;
    out << "<section id=\"rows\">\n<h2>Rows</h2>\n";
    if (rows.size() > limits.rows) {
        out << "<p class=\"note cut\">The file has " << rows.size() << " rows: the table holds "
            << "the first " << limits.rows << " and the rows the findings above link to. "
            << "<code>tapwatcher-report FILE</code> lists every key event.</p>\n";
    }
    // Milliseconds since the previous key row of the same burst.
    std::vector<std::string> since(rows.size());
    for (std::size_t i = 1; i < rows.size(); ++i) {
        auto key = [&](std::size_t k) {
            return rows[k].kind == RowKind::Press || rows[k].kind == RowKind::Release;
        };
        if (key(i) && key(i - 1))
            since[i] =
                "+" + std::to_string((std::uint32_t)rows[i].tick - (std::uint32_t)rows[i - 1].tick);
    }
    out << "<table class=\"rows\">\n<thead><tr><th>Line</th>"
        << "<th>SysTime</th><th>ms since</th><th>VK</th><th>Key</th><th>U/D</th><th>Shift</th>"
        << "<th>Ctrl</th><th>Alt</th><th>Note</th></tr></thead>\n<tbody>\n";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (!shown[i]) {
            std::size_t first = i;
            while (i + 1 < rows.size() && !shown[i + 1])
                ++i;
            out << "<tr class=\"gap\"><td colspan=\"10\">"
                << (i == first ? "1 row not shown, line " + std::to_string(rows[i].line)
                               : std::to_string(i - first + 1) + " rows not shown, lines " +
                                     std::to_string(rows[first].line) + " to " +
                                     std::to_string(rows[i].line))
                << "</td></tr>\n";
            continue;
        }
        const Row& row = rows[i];
        bool quiet = row.kind == RowKind::Quiet;
        const char* ud = row.kind == RowKind::Press     ? "D"
                         : row.kind == RowKind::Release ? "U"
                         : row.kind == RowKind::Taken   ? "F"
                                                        : "";
        char vk[8] = "";
        if (!quiet)
            std::snprintf(vk, sizeof vk, "%02X", row.vk);
        out << "<tr id=\"line-" << row.line << "\""
            << (notes[i].first.empty() ? "" : " class=\"" + notes[i].first + "\"") << "><td>"
            << row.line << "</td><td>" << row.tick << "</td><td>" << since[i] << "</td><td>" << vk
            << "</td><td>" << (quiet ? "" : Html(KeyName(row.vk))) << "</td><td>" << ud
            << "</td><td>" << (row.mods & kModShift ? "S" : "") << "</td><td>"
            << (row.mods & kModCtrl ? "C" : "") << "</td><td>" << (row.mods & kModAlt ? "A" : "")
            << "</td><td>" << Html(notes[i].second) << "</td></tr>\n";
    }
    out << "</tbody>\n</table>\n</section>\n</body>\n</html>\n";
    return out.str();
}

} // namespace report
