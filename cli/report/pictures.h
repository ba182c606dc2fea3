// pictures.h - the report's two pictures, as standalone SVG documents: the grid of taken
// combinations and the timeline of key events.
#pragma once

#include "analysis.h"
#include "datafile.h"

#include <cstddef>
#include <string>
#include <vector>

namespace report {

// The taken combinations: key code across, modifier set down, in two halves of the codes.
std::string RenderGridSvg(const std::vector<Row>& rows, const Analysis& analysis,
                          const std::string& source);

// The timeline draws whole bursts until it has drawn this many key events: beyond that
// a picture is too large to read or for a browser to load; a note says what is left out.
inline constexpr std::size_t kTimelineKeyEvents = 2000;

// How many of the rows, from the first, the timeline draws.
std::size_t TimelineRows(const std::vector<Row>& rows,
                         std::size_t max_key_events = kTimelineKeyEvents);

// One lane per key, a bar from each press to its release, quiet marks as lines, time in
// seconds along the bottom; the first rows only, as TimelineRows says.
std::string RenderTimelineSvg(const std::vector<Row>& rows, const Analysis& analysis,
                              const std::string& source,
                              std::size_t max_key_events = kTimelineKeyEvents);

// TEXT with the five XML special characters escaped.
std::string XmlEscaped(const std::string& text);

// The title line both pictures share: the data file's path and its first and last tick.
std::string TicksText(const std::vector<Row>& rows);

} // namespace report
