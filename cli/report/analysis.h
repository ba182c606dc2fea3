// analysis.h - what the rows of a data file mean: which combinations the device keeps for
// itself, each press paired with its release, the bursts of key events, the echoes of the
// tool's pass-through, and the faults.
#pragma once

#include "datafile.h"

#include <array>
#include <cstddef>
#include <cstdint>
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
    std::optional<std::int32_t> ms;     // hold time; none when released never or across a
                                        // tick that goes backwards
    bool stuck = false;                 // still down at a quiet mark or at the end of the file
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

struct Analysis {
    Occupancy occupancy;
    std::vector<Hold> holds;        // in order of the presses
    std::vector<Burst> bursts;      // in file order
    std::vector<Echo> echoes;       // in file order
    std::vector<Finding> findings;  // in row order
    std::vector<std::size_t> wraps; // rows whose tick text wrapped round (not a fault)
    std::vector<bool> is_echo;      // per row: a row of an echo, left out of the pairing
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

// Finds the echoes, pairs presses with releases, finds the bursts and the faults, counts
// the taken cells.
Analysis Analyse(const std::vector<Row>& rows);

} // namespace report
