// kept.h - what the page and the timeline picture keep of a pass over the rows: the first
// rows with what each is, the first findings with the rows they link to, and the counts.
// Memory is bounded by the limits, not by the file.
#pragma once

#include "analysis.h"

#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace report {

// The timeline draws whole bursts until it has drawn this many key events: beyond that
// a picture is too large to read or for a browser to load; a note says what is left out.
inline constexpr std::size_t kTimelineKeyEvents = 2000;

// How much of a long file the page shows; its counts always cover every row.
struct PageLimits {
    std::size_t rows = 5000;                              // the first rows in the table
    std::size_t findings = 1000;                          // the first findings listed
    std::size_t timeline_key_events = kTimelineKeyEvents; // drawn on the timeline
    std::size_t wraps = 1000;                             // wraps of the tick named
};

// A row the page shows, with the note the table gives it.
struct KeptRow {
    Seen seen;
    std::string cls;                   // the row's class: "taken", "quiet", "echo", ...
    std::string note;                  // what it is, when no fault is at it
    std::optional<FindingFacts> fault; // the last fault at it
    bool linked = false;               // shown because a listed finding or a wrap names it
};

// Keeps what the page and the timeline need as the rows pass.
class Kept : public AnalysisListener {
  public:
    explicit Kept(const PageLimits& limits = {});

    const PageLimits& Limits() const { return limits_; }
    const Totals& All() const { return totals_; }
    // Rows kept for the table (and those the findings link to), by row index.
    const std::map<std::size_t, KeptRow>& Rows() const { return rows_; }
    // The first findings, in row order.
    const std::multimap<std::size_t, FindingFacts>& Listed() const { return listed_; }
    // The first wraps of the tick: the row before and the row.
    const std::vector<std::pair<Seen, Seen>>& Wraps() const { return wraps_; }
    // The rows the timeline may draw, from the first.
    const std::vector<Seen>& TimelineRows() const { return prefix_; }
    // Holds pressed on those rows, by id.
    const std::map<std::size_t, HoldState>& TimelineHolds() const { return holds_; }
    // The auto-repeat rows of those holds, by hold id.
    const std::map<std::size_t, std::vector<std::size_t>>& TimelineRepeats() const {
        return repeats_;
    }
    // Findings other than stuck keys on those rows, in row order.
    const std::vector<FindingFacts>& TimelineFindings() const { return marks_; }
    // The releases that echoed, on those rows.
    const std::set<std::size_t>& Echoed() const { return echoed_; }

    void OnRow(const Seen& row, Role role, const HoldState* hold, const EchoFacts* echo,
               const BurstState* burst) override;
    void OnFinding(const FindingFacts& facts) override;
    void OnHoldClosed(const HoldState& hold) override;
    void OnBurstOpened(const BurstState&) override {}
    void OnBurstClosed(const BurstState&) override {}
    void OnWrap(const Seen& before, const Seen& row) override;
    void OnEnd(const Totals& totals) override { totals_ = totals; }

  private:
    void KeepForTimeline(const Seen& s);
    KeptRow& Link(const Seen& s);
    static void SetFault(KeptRow& row, const FindingFacts& facts);

    PageLimits limits_;
    Totals totals_;
    std::map<std::size_t, KeptRow> rows_;
    std::deque<KeptRow> recent_;                         // the last rows, for a late link
    std::unordered_map<unsigned, KeptRow> last_release_; // key code -> its last release
    std::multimap<std::size_t, FindingFacts> listed_;
    std::unordered_multimap<std::size_t, std::multimap<std::size_t, FindingFacts>::iterator>
        listed_stuck_; // hold id -> its listed stuck finding
    std::vector<std::pair<Seen, Seen>> wraps_;

    std::vector<Seen> prefix_;
    bool prefix_done_ = false;
    std::size_t prefix_events_ = 0;       // key events kept
    std::optional<std::size_t> limit_at_; // the row after the last key event within the limit
    std::size_t beyond_ = 0;              // key events after it
    std::map<std::size_t, HoldState> holds_;
    std::map<std::size_t, std::vector<std::size_t>> repeats_;
    std::vector<FindingFacts> marks_;
    std::set<std::size_t> echoed_;
};

// The rows of a timeline: whole bursts up to MAX_KEY_EVENTS key events (a burst that goes on
// for another fifth of that is cut at the limit).
std::size_t TimelineRows(const std::vector<Row>& rows,
                         std::size_t max_key_events = kTimelineKeyEvents);

} // namespace report
