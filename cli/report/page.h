// page.h - the report as one self-contained HTML page.
#pragma once

#include "analysis.h"
#include "datafile.h"

#include <string>
#include <vector>

namespace report {

// The summary, both pictures, the findings linked to their rows, and every row in a table;
// styles and pictures inline, nothing loaded from anywhere.
std::string RenderHtml(const std::vector<Row>& rows, const Analysis& analysis,
                       const std::string& source);

} // namespace report
