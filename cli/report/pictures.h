// pictures.h - the report's two pictures, as standalone SVG documents: the grid of taken
// combinations and the timeline of key events.
#pragma once

#include "analysis.h"
#include "datafile.h"

#include <string>
#include <vector>

namespace report {

// The taken combinations: key code across, modifier set down, in two halves of the codes.
std::string RenderGridSvg(const std::vector<Row>& rows, const Analysis& analysis,
                          const std::string& source);

// One lane per key, a bar from each press to its release, quiet marks as lines, time in
// seconds along the bottom.
std::string RenderTimelineSvg(const std::vector<Row>& rows, const Analysis& analysis,
                              const std::string& source);

// TEXT with the five XML special characters escaped.
std::string XmlEscaped(const std::string& text);

// The title line both pictures share: the data file's path and its first and last tick.
std::string TicksText(const std::vector<Row>& rows);

} // namespace report
