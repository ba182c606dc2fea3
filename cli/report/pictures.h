// pictures.h - the report's two pictures, as standalone SVG documents: the grid of taken
// combinations and the timeline of key events.
#pragma once

#include "analysis.h"
#include "kept.h"

#include <cstddef>
#include <string>
#include <vector>

namespace report {

// The taken combinations: key code across, modifier set down, in two halves of the codes.
std::string RenderGridSvg(const Totals& totals, const std::string& source);

// The same for rows in memory.
std::string RenderGridSvg(const std::vector<Row>& rows, const std::string& source);

// One lane per key, a bar from each press to its release, quiet marks as lines, time in
// seconds along the bottom; the first rows only, as TimelineRows says.
std::string RenderTimelineSvg(const Kept& kept, const std::string& source);

// The same for rows in memory.
std::string RenderTimelineSvg(const std::vector<Row>& rows, const std::string& source,
                              std::size_t max_key_events = kTimelineKeyEvents);

// TEXT with the five XML special characters escaped.
std::string XmlEscaped(const std::string& text);

// The title line both pictures share: the first and last tick of the file.
std::string TicksText(const Totals& totals);

} // namespace report
