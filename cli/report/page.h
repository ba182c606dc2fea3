// page.h - the report as one self-contained HTML page.
#pragma once

#include "fleet.h"
#include "kept.h"

#include <string>
#include <vector>

namespace report {

// The summary, both pictures, the findings linked to their rows, and the rows in a table
// (a long file's first rows and those its listed findings link to); styles and pictures
// inline, nothing loaded from anywhere.
std::string RenderHtml(const Kept& kept, const std::string& source);

// The same for rows in memory.
std::string RenderHtml(const std::vector<Row>& rows, const std::string& source,
                       const PageLimits& limits = {});

// The fleet's page: how many files show each finding kind, the taken combinations on some
// files and not all, the keys with faults and on which files, and a row for each file.
std::string RenderFleetHtml(const std::vector<FleetFile>& files);

} // namespace report
