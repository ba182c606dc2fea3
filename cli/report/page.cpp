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
#include <optional>
#include <sstream>
#include <utility>

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
table.fleet td { vertical-align: top; }
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

// A link to a row: "line N".
std::string RowLink(int line) {
    std::string text = std::to_string(line);
    return "<a href=\"#line-" + text + "\">line " + text + "</a>";
}

// An SVG document without its XML declaration, to sit inside the page.
std::string Inline(const std::string& svg) {
    std::size_t start = svg.find("<svg");
    return start == std::string::npos ? svg : svg.substr(start);
}

// The summary's counts, and the wraps of the tick.
void WriteSummary(std::ostream& out, const Kept& kept) {
    const Totals& a = kept.All();
    std::optional<std::int64_t> span = a.SpanMs();
    auto count = [](std::size_t n, const char* one, const char* many) {
        return std::pair<std::string, std::string>{std::to_string(n), n == 1 ? one : many};
    };
    const std::pair<std::string, std::string> counts[] = {
        count(a.rows, "row", "rows"),
        {span ? std::to_string(*span) + " ms" : "unknown", "from the first row to the last"},
        {std::to_string(a.occupancy.total) + " of 2048", "taken combinations"},
        count(a.key_events, "key event", "key events"),
        count(a.holds, "press with its release", "presses with their releases"),
        count(a.repeats, "auto-repeat press", "auto-repeat presses"),
        count(a.echoes, "echo of the pass-through", "echoes of the pass-through"),
        count(a.bursts, "burst", "bursts"),
        count(a.quiet_marks, "quiet mark", "quiet marks"),
        count(a.faults, "fault", "faults"),
    };
    out << "<section id=\"summary\">\n<h2>Summary</h2>\n<table class=\"counts\">\n";
    for (const auto& [what, count] : counts)
        out << "<tr><td class=\"n\">" << Html(count) << "</td><td>" << Html(what) << "</td></tr>\n";
    out << "</table>\n";
    for (const auto& [before, row] : kept.Wraps()) {
        out << "<p>The tick count wraps round at " << RowLink(row.row.line) << " ("
            << before.row.tick << " to " << row.row.tick << "); not a fault.</p>\n";
    }
    out << "</section>\n";
}

// The first findings, each linked to its rows.
void WriteFindings(std::ostream& out, const Kept& kept) {
    const Totals& a = kept.All();
    out << "<section id=\"findings\">\n<h2>Findings: " << a.findings << "</h2>\n";
    if (a.findings == 0) {
        out << "<p>None.</p>\n";
    } else {
        out << "<ol class=\"findings\">\n";
        for (const auto& [index, f] : kept.Listed()) {
            out << "<li class=\"" << (f.finding.kind == FindingKind::Echo ? "echo" : "fault")
                << "\">" << RowLink(f.row.row.line) << ": <span class=\"kind\">"
                << Html(FindingLabel(f.finding.kind)) << "</span> " << Html(FindingText(f));
            if (f.other)
                out << " (see " << RowLink(f.other->row.line) << ")";
            out << "</li>\n";
        }
        out << "</ol>\n";
        if (kept.Listed().size() < a.findings) {
            out << "<p class=\"note cut\">Only the first " << kept.Listed().size() << " of "
                << a.findings
                << " findings are listed: <code>tapwatcher-report FILE --summary</code> prints "
                   "them all.</p>\n";
        }
    }
    if (a.echoes > 0) {
        out << "<p class=\"note\">An echo is not a fault of the keyboard. When a modifier is "
               "released before the key (Shift down, B down, Shift up, B up), the tool logs B's "
               "release with the modifiers of its press and passes B on. By then Shift is up, so "
               "the tool's own B finds B without Shift, one of the tool's own hot keys: it comes "
               "back to the tool, which logs it as a press and a release of its own, and the "
               "system receives B without Shift. The echo rows are left out of the pairing and "
               "of the chatter check.</p>\n";
    }
    out << "</section>\n";
}

// "1 row not shown, line N" or "K rows not shown, lines A to B", for rows FIRST to LAST.
void WriteGap(std::ostream& out, std::size_t first, std::size_t last) {
    auto line = [](std::size_t index) { return std::to_string(index + 2); };
    out << "<tr class=\"gap\"><td colspan=\"10\">"
        << (first == last ? "1 row not shown, line " + line(first)
                          : std::to_string(last - first + 1) + " rows not shown, lines " +
                                line(first) + " to " + line(last))
        << "</td></tr>\n";
}

// One row of the table, with its note.
// One row; `before` is the row above it when that one is shown too, for the time
// since the previous key row of the burst.
void WriteRow(std::ostream& out, const KeptRow& kept, const KeptRow* before) {
    const Row& row = kept.seen.row;
    auto is_key = [](const Row& r) {
        return r.kind == RowKind::Press || r.kind == RowKind::Release;
    };
    std::string since;
    if (before && is_key(row) && is_key(before->seen.row))
        since =
            "+" + std::to_string((std::uint32_t)row.tick - (std::uint32_t)before->seen.row.tick);
    bool quiet = row.kind == RowKind::Quiet;
    const char* ud = row.kind == RowKind::Press     ? "D"
                     : row.kind == RowKind::Release ? "U"
                     : row.kind == RowKind::Taken   ? "F"
                                                    : "";
    char vk[8] = "";
    if (!quiet)
        std::snprintf(vk, sizeof vk, "%02X", row.vk);
    std::string cls = kept.fault ? "fault" : kept.cls;
    std::string note =
        kept.fault ? FindingLabel(kept.fault->finding.kind) + ": " + FindingText(*kept.fault)
                   : kept.note;
    out << "<tr id=\"line-" << row.line << "\"" << (cls.empty() ? "" : " class=\"" + cls + "\"")
        << "><td>" << row.line << "</td><td>" << row.tick << "</td><td>" << since << "</td><td>"
        << vk << "</td><td>" << (quiet ? "" : Html(KeyName(row.vk))) << "</td><td>" << ud
        << "</td><td>" << (row.mods & kModShift ? "S" : "") << "</td><td>"
        << (row.mods & kModCtrl ? "C" : "") << "</td><td>" << (row.mods & kModAlt ? "A" : "")
        << "</td><td>" << Html(note) << "</td></tr>\n";
}

// The table: the first rows and those the findings link to, a line for each stretch between.
void WriteRows(std::ostream& out, const Kept& kept) {
    const Totals& a = kept.All();
    const PageLimits& limits = kept.Limits();
    out << "<section id=\"rows\">\n<h2>Rows</h2>\n";
    if (a.rows > limits.rows) {
        out << "<p class=\"note cut\">The file has " << a.rows << " rows: the table holds "
            << "the first " << limits.rows << " and the rows the findings above link to. "
            << "<code>tapwatcher-report FILE</code> lists every key event.</p>\n";
    }
    out << "<table class=\"rows\">\n<thead><tr><th>Line</th>"
        << "<th>SysTime</th><th>ms since</th><th>VK</th><th>Key</th><th>U/D</th><th>Shift</th>"
        << "<th>Ctrl</th><th>Alt</th><th>Note</th></tr></thead>\n<tbody>\n";
    std::size_t next = 0;            // the first row not yet written or skipped
    const KeptRow* before = nullptr; // the row written just before, when it is the one above
    for (const auto& [index, row] : kept.Rows()) {
        if (index >= limits.rows && !row.linked)
            continue;
        if (index > next) {
            WriteGap(out, next, index - 1);
            before = nullptr;
        }
        WriteRow(out, row, before);
        before = &row;
        next = index + 1;
    }
    if (next < a.rows)
        WriteGap(out, next, a.rows - 1);
    out << "</tbody>\n</table>\n</section>\n";
}

// The page's head with inline styles, its HEADING (and ABOUT in its title) and the line
// under it.
void WriteHead(std::ostream& out, const std::string& heading, const std::string& about,
               const std::string& subtitle) {
    out << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        << "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        << "<title>" << Html(heading + ": " + about) << "</title>\n"
        << "<link rel=\"icon\" href=\"data:,\">\n<style>" << kStyle << "</style>\n</head>\n<body>\n"
        << "<h1>" << Html(heading) << "</h1>\n<p class=\"path\">" << Html(subtitle) << "</p>\n";
}

// The names of the files at INDICES, comma-separated, for the page.
std::string NamesHtml(const std::vector<FleetFile>& files, const std::vector<std::size_t>& at) {
    std::string out;
    for (std::size_t i : at)
        out += (out.empty() ? "" : ", ") + Html(files[i].name);
    return out;
}

// The counts across the files: files with each finding kind, and the files not read.
void WriteFleetSummary(std::ostream& out, const std::vector<FleetFile>& files,
                       const FleetView& view) {
    out << "<section id=\"summary\">\n<h2>" << view.read << " files</h2>\n"
        << "<table class=\"counts\">\n";
    for (std::size_t kind = 0; kind < kFindingKinds; ++kind) {
        out << "<tr><td class=\"n\">" << view.with_kind[kind] << " of " << view.read
            << "</td><td>with " << Html(FindingLabel(static_cast<FindingKind>(kind)))
            << "</td></tr>\n";
    }
    out << "</table>\n";
    if (!view.skipped.empty()) {
        out << "<p class=\"cut\">Not read: " << NamesHtml(files, view.skipped)
            << " (see the files below).</p>\n";
    }
    out << "</section>\n";
}

// The taken combinations on some files, not all, and the keys with faults on which files.
void WriteFleetDifferences(std::ostream& out, const std::vector<FleetFile>& files,
                           const FleetView& view) {
    out << "<section id=\"taken\">\n<h2>Taken on some files, not all: " << view.split.size()
        << "</h2>\n<table class=\"rows fleet\">\n<thead><tr><th>Combination</th><th>On</th>"
        << "<th>Files</th></tr></thead>\n<tbody>\n";
    for (const SplitCombo& combo : view.split) {
        const bool few = combo.on * 2 <= view.read;
        out << "<tr><td>" << Html(TakenName(combo.vk, combo.set)) << "</td><td>" << combo.on
            << " of " << view.read << "</td><td>" << (few ? "" : "not on: ")
            << NamesHtml(files, FilesWith(files, combo, few)) << "</td></tr>\n";
    }
    out << "</tbody>\n</table>\n</section>\n<section id=\"keys\">\n<h2>Faulty keys: "
        << view.faulty.size() << "</h2>\n<table class=\"rows fleet\">\n<thead><tr><th>Key</th>";
    const FindingKind kinds[] = {FindingKind::Stuck, FindingKind::Chatter,
                                 FindingKind::ReleaseWithoutPress};
    for (FindingKind kind : kinds)
        out << "<th>" << Html(FindingLabel(kind)) << "</th>";
    out << "</tr></thead>\n<tbody>\n";
    for (const FaultyKey& key : view.faulty) {
        out << "<tr class=\"fault\"><td>" << Html(KeyName(key.vk)) << "</td>";
        for (FindingKind kind : kinds)
            out << "<td>" << NamesHtml(files, key.files[static_cast<std::size_t>(kind)]) << "</td>";
        out << "</tr>\n";
    }
    out << "</tbody>\n</table>\n</section>\n";
}

// A row per file: its counts and findings by kind, or why it was not read.
void WriteFleetFiles(std::ostream& out, const std::vector<FleetFile>& files) {
    out << "<section id=\"files\">\n<h2>Files</h2>\n<table class=\"rows fleet\">\n<thead><tr>"
        << "<th>File</th><th>Rows</th><th>Taken</th>";
    for (std::size_t kind = 0; kind < kFindingKinds; ++kind)
        out << "<th>" << Html(FindingLabel(static_cast<FindingKind>(kind))) << "</th>";
    out << "<th>Note</th></tr></thead>\n<tbody>\n";
    for (const FleetFile& file : files) {
        std::size_t faults = 0;
        for (std::size_t kind = 0; kind < kFindingKinds; ++kind)
            faults += static_cast<FindingKind>(kind) == FindingKind::Echo ? 0 : file.found[kind];
        if (!file.Read()) {
            out << "<tr class=\"fault\"><td>" << Html(file.name) << "</td><td colspan=\""
                << kFindingKinds + 2 << "\"></td><td>not read: " << Html(file.error)
                << "</td></tr>\n";
            continue;
        }
        out << "<tr" << (faults > 0 ? " class=\"fault\"" : "") << "><td>" << Html(file.name)
            << "</td><td>" << file.rows << "</td><td>" << file.taken << "</td>";
        for (std::size_t kind = 0; kind < kFindingKinds; ++kind)
            out << "<td>" << file.found[kind] << "</td>";
        out << "<td>"
            << (file.cut_line > 0 ? "cut short at line " + std::to_string(file.cut_line) : "")
            << "</td></tr>\n";
    }
    out << "</tbody>\n</table>\n</section>\n";
}

} // namespace

// The fleet's page: the counts across the files, what differs between them, each file.
std::string RenderFleetHtml(const std::vector<FleetFile>& files) {
    std::ostringstream out;
    const FleetView view = ViewFleet(files);
    WriteHead(out, "Tapwatcher fleet report", std::to_string(view.read) + " files",
              Plural(files.size(), "data file", "data files") + " named, " +
                  std::to_string(view.read) + " read");
    WriteFleetSummary(out, files, view);
    WriteFleetDifferences(out, files, view);
    WriteFleetFiles(out, files);
    out << "</body>\n</html>\n";
    return out.str();
}

// The page: head with inline styles, then summary, findings, pictures and rows.
std::string RenderHtml(const Kept& kept, const std::string& source) {
    std::ostringstream out;
    WriteHead(out, "Tapwatcher report", source, source + ", " + TicksText(kept.All()));
    WriteSummary(out, kept);
    WriteFindings(out, kept);
    out << "<section id=\"timeline\">\n<h2>Key timeline</h2>\n<div class=\"picture\">"
        << Inline(RenderTimelineSvg(kept, source)) << "</div>\n</section>\n"
        << "<section id=\"grid\">\n<h2>Taken combinations</h2>\n<div class=\"picture\">"
        << Inline(RenderGridSvg(kept.All(), source)) << "</div>\n</section>\n";
    WriteRows(out, kept);
    out << "</body>\n</html>\n";
    return out.str();
}

// The page of rows in memory.
std::string RenderHtml(const std::vector<Row>& rows, const std::string& source,
                       const PageLimits& limits) {
    Kept kept(limits);
    RunPass(rows, {&kept});
    return RenderHtml(kept, source);
}

} // namespace report
