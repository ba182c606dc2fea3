// page.cpp - the report as one self-contained HTML page.
//
// Choices: no script at all (nothing to fail in a browser's console); the pictures are the
// same SVG documents as --svg and --timeline write, inline; every row of the file is in the
// table, however long, each with an anchor "line-N" that the findings link to; an empty
// icon link keeps the browser from asking for a favicon.
#include "page.h"

#include "pictures.h"
#include "render.h"

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
.picture { overflow-x: auto; border: 1px solid #c9d1d9; margin: 8px 0; }
.picture svg { display: block; }
table.rows { border-collapse: collapse; font-family: "DejaVu Sans Mono", monospace;
             font-size: 13px; }
table.rows th, table.rows td { border: 1px solid #d0d7de; padding: 2px 8px; text-align: left; }
table.rows th { background: #eef1f4; position: sticky; top: 0; }
tr.fault td { background: #fdecea; }
tr.echo td { background: #f3ebf9; }
tr.quiet td { color: #444; }
tr.repeat td { color: #0d2c54; font-style: italic; }
tr:target td { background: #fff2a8; }
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
std::string RenderHtml(const std::vector<Row>& rows, const Analysis& a, const std::string& source) {
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
    out << "<section id=\"findings\">\n<h2>Findings: " << a.findings.size() << "</h2>\n";
    if (a.findings.empty()) {
        out << "<p>None.</p>\n";
    } else {
        out << "<ol class=\"findings\">\n";
        for (const Finding& f : a.findings) {
            out << "<li class=\"" << (f.kind == FindingKind::Echo ? "echo" : "fault") << "\">"
                << RowLink(rows, f.row) << ": <span class=\"kind\">" << Html(FindingLabel(f.kind))
                << "</span> " << Html(FindingText(rows, a, f));
            if (f.other)
                out << " (see " << RowLink(rows, *f.other) << ")";
            out << "</li>\n";
        }
        out << "</ol>\n";
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
        << Inline(RenderTimelineSvg(rows, a, source)) << "</div>\n</section>\n"
        << "<section id=\"grid\">\n<h2>Taken combinations</h2>\n<div class=\"picture\">"
        << Inline(RenderGridSvg(rows, a, source)) << "</div>\n</section>\n";

    // Rows.
    std::vector<std::pair<std::string, std::string>> notes = RowNotes(rows, a);
    out << "<section id=\"rows\">\n<h2>Rows</h2>\n<table class=\"rows\">\n<thead><tr><th>Line</th>"
        << "<th>SysTime</th><th>VK</th><th>Key</th><th>U/D</th><th>Shift</th><th>Ctrl</th>"
        << "<th>Alt</th><th>Note</th></tr></thead>\n<tbody>\n";
    for (std::size_t i = 0; i < rows.size(); ++i) {
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
            << row.line << "</td><td>" << row.tick << "</td><td>" << vk << "</td><td>"
            << (quiet ? "" : Html(KeyName(row.vk))) << "</td><td>" << ud << "</td><td>"
            << (row.mods & kModShift ? "S" : "") << "</td><td>" << (row.mods & kModCtrl ? "C" : "")
            << "</td><td>" << (row.mods & kModAlt ? "A" : "") << "</td><td>"
            << Html(notes[i].second) << "</td></tr>\n";
    }
    out << "</tbody>\n</table>\n</section>\n</body>\n</html>\n";
    return out.str();
}

} // namespace report
