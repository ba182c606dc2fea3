// analysis.h - what the rows of a data file mean: which combinations the device keeps for itself,
// each press paired with its release, the bursts of key events, and the faults.
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

// Milliseconds from one tick to a later one. Ticks are a 32-bit count that wraps, so the
// difference is taken modulo 2^32 and read as signed: a negative result is a step back.
std::int32_t TickDiff(std::int32_t from, std::int32_t to);

// The taken combinations ("F" rows), key code by modifier set.
struct Occupancy {
    std::array<std::array<bool, 8>, 256> taken{}; // [vk][modifier set]
    std::array<int, 8> per_set{};                 // taken keys per modifier set
    int total = 0;                                // distinct taken combinations
};

// One press with its release.
struct Hold {
    std::size_t press = 0;              // row index of the press
    std::optional<std::size_t> release; // row index of the release; none if never released
    int repeats = 0;                    // further presses before the release (auto-repeat)
    std::int32_t ms = 0;                // hold time, press to release
    bool stuck = false;                 // still down at a quiet mark or at the end of the file
};

// Key events up to the quiet mark that ends them.
struct Burst {
    std::size_t first = 0;               // row index of its first key event
    std::size_t last = 0;                // row index of its last key event
    std::optional<std::size_t> quiet;    // the quiet mark that ends it; none at end of file
    int events = 0;                      // key event rows, presses and releases
    std::int32_t length_ms = 0;          // first to last key event
    std::optional<std::size_t> gap_from; // the row before it that is not a quiet mark
    std::int32_t gap_ms = 0;             // from that row to the first key event
};

enum class FaultKind {
    Stuck,               // a press not released before the next quiet mark or end of file
    Chatter,             // the same key pressed again within kChatterMs of its release
    ReleaseWithoutPress, // a release with no open press of the same key and modifier set
    TickBackwards,       // a row whose tick is earlier than the row before it
};

struct Fault {
    FaultKind kind = FaultKind::Stuck;
    std::size_t row = 0;              // row the fault is reported at (for Stuck, the press)
    std::optional<std::size_t> other; // Stuck: the quiet mark (none: end of file);
                                      // Chatter: the release; TickBackwards: the row before
    std::int32_t ms = 0;              // Chatter: release to press; TickBackwards: the step
    std::optional<std::size_t> hold;  // Stuck: index into Analysis::holds
};

struct Analysis {
    Occupancy occupancy;
    std::vector<Hold> holds;        // in order of the presses
    std::vector<Burst> bursts;      // in file order
    std::vector<Fault> faults;      // in row order
    std::vector<std::size_t> wraps; // rows whose tick text wrapped round (not a fault)
    int key_events = 0;
    int taken_rows = 0;
    int quiet_marks = 0;
};

// Pairs presses with releases, finds the bursts and the faults, counts the taken cells.
Analysis Analyse(const std::vector<Row>& rows);

} // namespace report
