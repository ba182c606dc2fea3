// render.h - the report as terminal text, its short form, and the names it uses (those
// of cli/common/keys.h, and combinations).
#pragma once

#include "analysis.h"
#include "datafile.h"
#include "spill.h"

#include <iosfwd>

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

// A taken combination as the report names it, every modifier of the set written: "Shift+F3".
std::string TakenName(unsigned vk, unsigned mods);

// COUNT and the noun in the right number: "1 row", "2 rows".
std::string Plural(std::size_t count, const char* one, const char* many);

// A finding kind as a short label for COUNT of them: "stuck key", "stuck keys", "chatter".
std::string FindingLabel(FindingKind kind, std::size_t count = 1);

// A finding as one sentence naming the keys and modifiers of its rows.
std::string FindingText(const FindingFacts& facts);

// The report for the terminal, built as the rows pass (the full report or its short form):
// what is not known until later rows (a hold's release, a burst's end) is kept aside in a
// spill and filled in there, so memory does not grow with the file.
class TextReport : public AnalysisListener {
  public:
    // A stuck key among the findings, as kept aside.
    struct StuckRecord {
        std::uint64_t row_index = 0;
        std::uint32_t vk = 0, mods = 0;
        std::int32_t press_line = 0, quiet_line = 0, release_line = 0, ms = 0;
        bool released = false, has_ms = false;
    };

    // A report on the data file named SOURCE; SUMMARY: only the counts and the findings.
    TextReport(std::string source, bool summary);
    ~TextReport() override;
    // Names LINE as the line the file was cut short at.
    void SetCut(int line) { cut_line_ = line; }
    // Prints the report, once the pass has ended.
    void Write(std::ostream& out);

    bool WantsEveryRow() const override { return !summary_; }
    void OnRow(const Seen& row, Role role, const HoldState* hold, const EchoFacts* echo,
               const BurstState* burst) override;
    void OnFinding(const FindingFacts& facts) override;
    void OnHoldClosed(const HoldState& hold) override;
    void OnBurstOpened(const BurstState& burst) override;
    void OnBurstClosed(const BurstState& burst) override;
    void OnWrap(const Seen& before, const Seen& row) override;
    void OnEnd(const Totals& totals) override;

  private:
    void CopyRecords(Spill& spill, std::ostream& out);
    void WriteFindings(std::ostream& out);

    std::string source_;
    bool summary_;
    int cut_line_ = 0;
    Totals totals_;
    Spill timeline_; // the key timeline's lines
    Spill findings_; // the findings other than stuck keys, in row order
    Spill stuck_;    // the stuck keys, in row order
    Spill wraps_;    // the lines naming wraps of the tick
    std::uint64_t burst_at_ = 0;
    ComboTable<std::uint64_t> press_at_; // open hold's combination -> its record + 1
    ComboTable<std::uint64_t> stuck_at_; // the same for its stuck finding
};

// The whole report for the terminal, on rows in memory.
std::string RenderText(const std::vector<Row>& rows, const std::string& source);

// Only the counts and the findings, on rows in memory.
std::string RenderSummary(const std::vector<Row>& rows, const std::string& source);

} // namespace report
