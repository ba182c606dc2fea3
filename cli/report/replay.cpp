// replay.cpp - replay of a data file on the simulated device.
//
// The rule: every key row ("D" or "U") becomes a press or release of that row's key, in
// row order, each after a wait equal to the tick difference from the row before. Nothing
// else is added. In particular no modifier is pressed around a key: the tool logs the
// modifier keys themselves (pressing Ctrl gives a row "11 D C"), so their presses and
// releases are rows of the file already and are replayed in their place. When the tool
// passes a released key on, it releases the held modifiers itself, and the device logs
// that as a "U" row of the modifier; the replay then runs the same pass-through, which
// makes the same row, and the scenario's own release of that modifier finds the key up
// and goes to the system. The waits place the key events at the file's ticks when the
// device starts at the profile's start tick: the tick of the first "F" row less 1 (the
// sweep runs 1 ms after start), else that of a leading quiet mark less 3001 (the sweep
// plus the 3000 ms quiet period), else that of the first key event less 1.
//
// Limits: a key that was already down, or a modifier whose own combination is taken, has
// no press row, so the replayed rows lack its modifier; a release with no press before
// it finds the key up and makes no row; auto-repeat presses are replayed as presses of a
// key that is already down, which the device may treat differently. The scenario lists
// each such row in a comment. The replay has to run under the same executable name
// (capture-only or not), since only pass-through makes the modifier release rows at the
// key's own tick. Taken combinations only match when the device runs with the profile
// written from the same file.
#include "replay.h"

#include "render.h"

#include <array>
#include <cstdio>
#include <set>
#include <sstream>

namespace report {

namespace {

// Key as a scenario names it: the modifier keys by name, every other key by its code.
std::string ScenarioKey(unsigned vk) {
    switch (vk) {
    case kVkShift:
        return "Shift";
    case kVkCtrl:
        return "Ctrl";
    case kVkAlt:
        return "Alt";
    default:
        return HexCode(vk);
    }
}

// A press or a release row.
bool IsKeyEvent(const Row& row) {
    return row.kind == RowKind::Press || row.kind == RowKind::Release;
}

// The device tick at which the tool started, as far as the rows tell.
std::uint32_t StartTickOf(const std::vector<Row>& rows) {
    if (rows.empty())
        return 0;
    for (const Row& row : rows) {
        if (IsKeyEvent(row))
            break;
        if (row.kind == RowKind::Taken)
            return static_cast<std::uint32_t>(row.tick) - 1;
    }
    if (rows.front().kind == RowKind::Quiet)
        return static_cast<std::uint32_t>(rows.front().tick) - 3001;
    return static_cast<std::uint32_t>(rows.front().tick) - 1;
}

// The device profile: the start tick and a "taken" line per taken combination.
std::string ProfileText(const std::vector<Row>& rows, std::uint32_t start_tick,
                        const std::string& source) {
    std::array<std::array<bool, 8>, 256> taken{};
    for (const Row& row : rows) {
        if (row.kind == RowKind::Taken)
            taken[row.vk][row.mods] = true;
    }
    std::ostringstream out;
    out << "# Device profile written by tapwatcher-report from " << source << ":\n"
        << "# the combinations its F rows list as taken, and the tick its capture started at.\n"
        << "start-tick = " << start_tick << "\n";
    for (unsigned vk = 0; vk < 256; ++vk) {
        int count = 0;
        for (bool cell : taken[vk])
            count += cell ? 1 : 0;
        if (count == 8) {
            out << "taken = Any+" << HexCode(vk) << "\n";
            continue;
        }
        for (unsigned set = 0; set < 8; ++set) {
            if (taken[vk][set])
                out << "taken = " << (set ? ModsName(set) + "+" : "") << HexCode(vk) << "\n";
        }
    }
    return out.str();
}

} // namespace

// The scenario and profile that make the device log the same rows.
Replay BuildReplay(const std::vector<Row>& rows, const std::string& source) {
    Replay replay;
    replay.start_tick = StartTickOf(rows);
    replay.profile = ProfileText(rows, replay.start_tick, source);

    std::ostringstream out;
    out << "# Scenario written by tapwatcher-report from " << source << ".\n"
        << "# Each key row of the file is a press or release here, in row order, after a\n"
        << "# wait of its tick difference. Run it under the same executable name, with the\n"
        << "# device profile written from the same file (start-tick " << replay.start_tick
        << ").\n";

    std::uint32_t now = replay.start_tick;
    std::set<unsigned> down; // keys down on the device as the replay leaves them
    for (const Row& row : rows) {
        if (!IsKeyEvent(row))
            continue;
        if (row.vk > 0xFF) {
            throw ReplayError(row.line, "key code " + HexCode(row.vk) +
                                            " cannot be replayed: the device keyboard has "
                                            "codes 0x00 to 0xFF");
        }
        std::int32_t wait = TickDiff(static_cast<std::int32_t>(now), row.tick);
        if (wait < 0) {
            out << "# line " << row.line << ": the tick goes back by " << -std::int64_t{wait}
                << " ms; no wait\n";
        } else if (wait > 0) {
            out << "wait " << wait << "\n";
        }
        now = static_cast<std::uint32_t>(row.tick);

        auto differs = [&](const std::string& why) {
            replay.differences.push_back(row.line);
            out << "# line " << row.line << ": " << why << "\n";
        };
        if (row.kind == RowKind::Press) {
            unsigned held = ModifierOfKey(row.vk);
            for (unsigned key : down)
                held |= ModifierOfKey(key);
            if (down.count(row.vk)) {
                differs("the key is already down; the device decides whether this press "
                        "makes a row");
            } else if (row.mods != held) {
                differs("the row shows modifiers " + ModsName(row.mods) +
                        ", the replayed press will show " + ModsName(held));
            }
            down.insert(row.vk);
            out << "press " << ScenarioKey(row.vk) << "\n";
        } else {
            if (!down.count(row.vk))
                differs("no press of this key before it; the release will make no row");
            down.erase(row.vk);
            out << "release " << ScenarioKey(row.vk) << "\n";
        }
        ++replay.key_events;
    }
    // Let the device run on to the last row, so that a closing quiet mark is made too.
    if (!rows.empty()) {
        std::int32_t rest = TickDiff(static_cast<std::int32_t>(now), rows.back().tick);
        if (rest > 0)
            out << "wait " << rest << "\n";
    }
    replay.scenario = out.str();
    return replay;
}

} // namespace report
