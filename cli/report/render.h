// render.h - the report as terminal text, its short form, and the names it uses.
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

// COUNT and the noun in the right number: "1 row", "2 rows".
std::string Plural(std::size_t count, const char* one, const char* many);

// A finding's kind as a short label: "chatter", "stuck key", "echo", ...
std::string FindingLabel(FindingKind kind);

// A finding as one sentence naming the keys and modifiers of its rows.
std::string FindingText(const std::vector<Row>& rows, const Analysis& analysis,
                        const Finding& finding);

// The whole report for the terminal.
std::string RenderText(const std::vector<Row>& rows, const Analysis& analysis,
                       const std::string& source);

// Only the counts and the findings.
std::string RenderSummary(const std::vector<Row>& rows, const Analysis& analysis,
                          const std::string& source);

} // namespace report
