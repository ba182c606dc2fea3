// render.h - the report as terminal text, its short form, and the names it uses (those
// of cli/common/keys.h, and combinations).
#pragma once

#include "analysis.h"
#include "datafile.h"

#include "cli/common/keys.h"

#include <string>
#include <vector>

namespace report {

// Codes, keys and modifier sets by the names every program uses; KeyLabel
// where room is short.
using keys::HexCode;
using keys::KeyLabel;
using keys::KeyName;
using keys::ModsName;

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
