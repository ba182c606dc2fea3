// render.h - the report as terminal text and as an SVG picture of the taken combinations.
#pragma once

#include "analysis.h"
#include "datafile.h"

#include <string>
#include <vector>

namespace report {

// A virtual-key code in hex: "0x41".
std::string HexCode(unsigned vk);

// Name of a virtual-key code ("A", "F3", "Ctrl", "App1"), or its hex code ("0x9A").
std::string KeyName(unsigned vk);

// Name of a modifier set: "none", "Alt", ..., "Shift+Ctrl+Alt".
std::string ModsName(unsigned mods);

// A key with the modifiers held, leaving out the key's own modifier: "Ctrl+A", "Ctrl".
std::string ComboName(unsigned vk, unsigned mods);

// The whole report for the terminal.
std::string RenderText(const std::vector<Row>& rows, const Analysis& analysis,
                       const std::string& source);

// The occupancy grid as a standalone SVG document.
std::string RenderSvg(const Analysis& analysis, const std::string& source);

} // namespace report
