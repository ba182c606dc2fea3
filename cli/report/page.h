// page.h - the report as one self-contained HTML page.
#pragma once

#include "analysis.h"
#include "datafile.h"
#include "pictures.h"

#include <cstddef>
#include <string>
#include <vector>

namespace report {

// How much of a long file the page shows; its counts always cover every row.
struct PageLimits {
    std::size_t rows = 5000;                              // the first rows in the table
    std::size_t findings = 1000;                          // the first findings listed
    std::size_t timeline_key_events = kTimelineKeyEvents; // drawn on the timeline
};

// The summary, both pictures, the findings linked to their rows, and the rows in a table
// (a long file's first rows and those its listed findings link to); styles and pictures
// inline, nothing loaded from anywhere.
std::string RenderHtml(const std::vector<Row>& rows, const Analysis& analysis,
                       const std::string& source, const PageLimits& limits = {});

} // namespace report
