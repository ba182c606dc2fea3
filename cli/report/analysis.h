// analysis.h - what the rows of a data file mean: which combinations the device keeps for
// itself, each press paired with its release, the bursts of key events, the echoes of the
// tool's pass-through, and the faults. The rows flow through one pass (StreamAnalyser) that
// keeps only the keys held at once and a short look-ahead; Analyse collects everything it
// says about a whole file that is already in memory.
#pragma once

#include "datafile.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace report {

// A press of the same key released this soon, or sooner, counts as chatter.
inline constexpr std::int32_t kChatterMs = 30;

// The rows of an echo follow the release that the tool passed on within this time.
inline constexpr std::int32_t kEchoMs = 10;

// Milliseconds from one tick to a later one. Ticks are a 32-bit count that wraps, so the
// difference is taken modulo 2^32 and read as signed: a negative result is a step back.
std::int32_t TickDiff(std::int32_t from, std::int32_t to);

// The taken combinations ("F" rows), key code by modifier set.
struct Occupancy {
    std::array<std::array<bool, 8>, 256> taken{}; // [vk][modifier set]
    std::array<int, 8> per_set{};                 // taken keys per modifier set
    std::array<std::array<int, 8>, 2> per_half{}; // the same for codes 00-7F and 80-FF
    int total = 0;                                // distinct taken combinations
};

// One press with its release.
struct Hold {
    std::size_t press = 0;              // row index of the press
    std::optional<std::size_t> release; // row index of the release; none if never released
    std::vector<std::size_t> repeats;   // rows of further presses before the release
                                        // (auto-repeat), in file order
    std::optional<std::int32_t> ms;     // hold time; none when released never, across a
                                        // tick that goes backwards, or by the tool
    bool stuck = false;                 // still down at a quiet mark or at the end of the file
    bool by_tool = false;               // its release is the tool's own (a modifier released
                                        // by the pass-through): the real release is not logged
};

// Key events up to the quiet mark that ends them.
struct Burst {
    std::size_t first = 0;                 // row index of its first key event
    std::size_t last = 0;                  // row index of its last key event
    std::optional<std::size_t> quiet;      // the quiet mark that ends it; none at end of file
    int events = 0;                        // key event rows, presses and releases
    std::optional<std::int32_t> length_ms; // first to last key event; none: unknown
    std::optional<std::size_t> gap_from;   // the row before it that is not a quiet mark
    std::optional<std::int32_t> gap_ms;    // from that row to the first key event
};

// A key the tool passed on that came back to it: the user let go of a modifier before the
// key, so the tool's own press and release of the key found the key's combination without
// that modifier registered, and logged them as key events of their own.
// Its two rows come press first where the device keeps hot-key messages in the order made,
// release first where each new one goes to the top of the queue (hotkey-queue = top).
struct Echo {
    std::size_t passed = 0;  // the release the tool passed on
    std::size_t press = 0;   // the echo's press row
    std::size_t release = 0; // the echo's release row
    std::size_t First() const { return press < release ? press : release; }
    std::size_t Last() const { return press < release ? release : press; }
};

enum class FindingKind {
    Stuck,               // a press not released before the next quiet mark or end of file
    Chatter,             // the same key pressed again within kChatterMs of its release
    ReleaseWithoutPress, // a release with no open press of the same key and modifier set
    TickBackwards,       // a row whose tick is earlier than the row before it
    Echo,                // the tool's pass-through came back as key events (not a fault)
};

struct Finding {
    FindingKind kind = FindingKind::Stuck;
    std::size_t row = 0;              // row it is reported at (Stuck: the press; Echo: its press)
    std::optional<std::size_t> other; // Stuck: the quiet mark (none: end of file); Chatter:
                                      // the release; TickBackwards: the row before; Echo: the
                                      // release passed on
    std::int32_t ms = 0;              // Chatter: release to press; TickBackwards: the step
    std::optional<std::size_t> index; // Stuck: into Analysis::holds; Echo: into echoes
};

// A row as one pass sees it: where it is and what it is.
struct Seen {
    Row row;
    std::uint32_t index = 0; // from 0, in file order (a file has fewer than 2^31 lines)
    int steps_back = 0;      // ticks that went backwards up to this row
};

// A value per combination (key code and modifier set), in pages made when first used: as
// small as the combinations in use, and never a hash table's nodes.
template <typename T> class ComboTable {
  public:
    // The value of the combination of ROW, made (as T{}) if it was never set.
    T& operator[](const Row& row) { return At(static_cast<std::uint32_t>(row.vk) << 3 | row.mods); }

    // The value at KEY, below 2^19.
    T& At(std::uint32_t key) {
        std::unique_ptr<T[]>& page = pages_[key >> kPageBits];
        if (!page)
            page = std::make_unique<T[]>(std::size_t{1} << kPageBits);
        return page[key & ((1u << kPageBits) - 1)];
    }

  private:
    static constexpr int kPageBits = 11;
    std::array<std::unique_ptr<T[]>, (1u << 19 >> kPageBits)> pages_;
};

// Milliseconds from A to the later B; none when a tick goes backwards between them.
std::optional<std::int32_t> Elapsed(const Seen& a, const Seen& b);

// What a finding's sentence needs, whatever rows are still kept. Stuck: the release is
// filled in when it comes. Echo: the rows that explain it.
struct FindingFacts {
    Finding finding; // its indices
    Seen row;
    std::optional<Seen> other;
    std::optional<Seen> release;           // Stuck: its late release
    std::optional<std::int32_t> held_ms;   // Stuck: press to that release
    int echo_last_line = 0;                // Echo: the line of its second row
    std::optional<int> tool_released_line; // Echo: a modifier the tool released itself
    std::optional<int> user_released_line; // Echo: the user's last release of it before
    std::optional<int> echoed_again_line;  // Echo: its release passed on and echoed again
    std::size_t hold_id = 0;               // Stuck: the hold
};

// A press with its release, as far as the pass has come.
struct HoldState {
    std::uint32_t id = 0;      // in order of the presses
    std::uint32_t repeats = 0; // auto-repeat presses
    Seen press;
    std::optional<Seen> release;
    int first_repeat_line = 0, last_repeat_line = 0;
    std::optional<std::int32_t> ms;
    bool stuck = false;
    bool by_tool = false; // released by the tool itself: the real hold is unknown
};

// A burst as far as the pass has come.
struct BurstState {
    std::size_t id = 0; // from 0
    Seen first, last;
    std::optional<Seen> quiet;
    int events = 0;
    std::optional<Seen> gap_from;
    std::optional<std::int32_t> gap_ms;
    std::optional<std::int32_t> LengthMs() const { return Elapsed(first, last); }
};

// What a key row turned out to be.
enum class Role {
    Other,   // a taken row or a quiet mark
    Press,   // opens a hold
    Repeat,  // a further press of an open hold
    Release, // closes a hold
    Unpaired,
    EchoRow, // a row of an echo, left out of the pairing
    // The tool's own release of a held modifier, made as it passed a key on: an echo row too.
    // It closes the modifier's hold with an unknown time; the user's release is not logged.
    ToolRelease,
};

// An echo with the rows that explain it.
struct EchoFacts {
    std::size_t id = 0;
    Seen passed, press, release;
    std::optional<int> tool_released_line, user_released_line, echoed_again_line;
    const Seen& First() const { return press.index < release.index ? press : release; }
    const Seen& Last() const { return press.index < release.index ? release : press; }
};

// The counts over every row, known at the end.
struct Totals {
    std::size_t rows = 0;
    std::optional<Seen> first, last;
    int key_events = 0;
    int taken_rows = 0;
    int quiet_marks = 0;
    std::size_t holds = 0;
    std::size_t repeats = 0;
    std::size_t echoes = 0;
    std::size_t bursts = 0;
    std::size_t findings = 0;
    std::size_t faults = 0;
    std::size_t wraps = 0;
    std::int64_t forward_ms = 0; // the steps forward from each row to the next, summed
    Occupancy occupancy;
    // First to last row, none when a tick goes back between them. Summed step by step, so
    // that a file longer than the tick's range (24.8 days a sign, 49.7 a wrap) is right.
    std::optional<std::int64_t> SpanMs() const {
        if (!first)
            return 0;
        if (!Elapsed(*first, *last))
            return std::nullopt;
        return forward_ms;
    }
};

// Told about each row and what the pass finds, in file order, except that a stuck key is
// told at the quiet mark (or the end) that makes it stuck, and a hold closes at its release.
// A listener that does not want every row is told only of the findings, the wraps, the
// closing of holds found stuck, and the end: the pass then makes no call per row for it.
class AnalysisListener {
  public:
    virtual ~AnalysisListener() = default;
    // Whether OnRow, OnBurstOpened, OnBurstClosed and OnHoldClosed of every hold are wanted.
    virtual bool WantsEveryRow() const { return true; }
    // A row and its role. HOLD: the hold it opens, repeats or closes (already updated); ECHO:
    // the echo, at both of its rows and at the release passed on; BURST: the burst a key
    // event belongs to.
    virtual void OnRow(const Seen&, Role, const HoldState*, const EchoFacts*, const BurstState*) {}
    // A finding; a stuck one comes after its rows, the others at their row.
    virtual void OnFinding(const FindingFacts& facts) = 0;
    // A hold released (after its OnRow) or, at the end, never released.
    virtual void OnHoldClosed(const HoldState&) {}
    // A burst that starts at its first key event (before that row's OnRow).
    virtual void OnBurstOpened(const BurstState&) {}
    // A burst ended by a quiet mark (before the mark's OnRow) or by the end of the file.
    virtual void OnBurstClosed(const BurstState&) {}
    // A row whose tick text wrapped round (after its OnRow).
    virtual void OnWrap(const Seen&, const Seen&) {}
    // The end of the file.
    virtual void OnEnd(const Totals& totals) = 0;
};

// One pass over the rows: echoes, pairing, bursts, findings and counts. Memory grows with
// the keys held at once, not with the rows.
class StreamAnalyser {
  public:
    // Tells LISTENERS, which must outlive it.
    explicit StreamAnalyser(std::vector<AnalysisListener*> listeners);
    ~StreamAnalyser();
    // The next row of the file.
    void Add(const Row& row);
    // The end of the file.
    void Finish();

  private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

// Runs one pass over ROWS in memory, telling LISTENERS.
void RunPass(const std::vector<Row>& rows, std::vector<AnalysisListener*> listeners);

struct Analysis {
    Occupancy occupancy;
    std::vector<Hold> holds;        // in order of the presses
    std::vector<Burst> bursts;      // in file order
    std::vector<Echo> echoes;       // in file order
    std::vector<Finding> findings;  // in row order
    std::vector<std::size_t> wraps; // rows whose tick text wrapped round (not a fault)
    std::vector<bool> is_echo;      // per row: a row of an echo or the tool's own release
    std::vector<int> steps_back;    // per row: ticks that went backwards up to this row
    int key_events = 0;             // press and release rows, echoes included
    int taken_rows = 0;
    int quiet_marks = 0;

    // Milliseconds from row A to a later row B; none when a tick goes backwards between.
    std::optional<std::int32_t> Elapsed(const std::vector<Row>& rows, std::size_t a,
                                        std::size_t b) const;
    // Faults among the findings (echoes are not faults).
    int Faults() const;
};

// Everything the pass says about ROWS, findings in row order.
Analysis Analyse(const std::vector<Row>& rows);

} // namespace report
