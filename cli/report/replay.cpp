// replay.cpp - replay of a data file on the simulated device.
//
// The rule: every key row ("D" or "U") becomes a press or release of that row's key, in
// row order, each after a wait equal to the tick difference from the row before. Nothing
// else is added, and an echo of the pass-through is left out: the tool makes it itself
// when it passes the key before it on. In particular no modifier is pressed around a key: the tool
// logs the modifier keys themselves (pressing Ctrl gives a row "11 D C"), so their presses and
// releases are rows of the file already and are replayed in their place. When the tool
// passes a released key on, it releases the held modifiers itself, and the device logs
// that as a "U" row of the modifier; the replay then runs the same pass-through, which
// makes the same row, and the scenario's own release of that modifier finds the key up
// and goes to the system. A file with no row of a modifier key but keys logged with
// modifiers came from a device whose modifier keys fire no hot key: its profile says
// "modifier-hot-keys = no", and the replay presses and releases the modifiers so that
// each press is made with those its row shows. The waits place the key events at the file's ticks
// when the device starts at the profile's start tick: the tick of the first "F" row less 1 (the
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

#include "analysis.h"
#include "render.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <set>
#include <sstream>

namespace report {

namespace {

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

// Whether the file shows a device whose modifier keys fire no hot key of their own: keys
// logged with modifiers held, and not one row of a modifier key.
bool ModifiersFireNoHotKey(const std::vector<Row>& rows) {
    bool with_mods = false;
    for (const Row& row : rows) {
        if (!IsKeyEvent(row))
            continue;
        if (ModifierOfKey(row.vk) != 0)
            return false;
        with_mods = with_mods || row.mods != 0;
    }
    return with_mods;
}

// The device profile: the start tick, the executable, the hot-key queue order when the
// file's echoes show it is not the built-in's, modifier-hot-keys when its rows show a
// device whose modifiers fire none, and a "taken" line per combination.
std::string ProfileText(const std::vector<Row>& rows, const Analysis& analysis,
                        std::uint32_t start_tick, const std::string& exe,
                        const std::string& source) {
    std::array<std::array<bool, 8>, 256> taken{};
    for (const Row& row : rows) {
        if (row.kind == RowKind::Taken)
            taken[row.vk][row.mods] = true;
    }
    std::ostringstream out;
    out << "# Device profile written by tapwatcher-report from " << source << ":\n"
        << "# the combinations its F rows list as taken, and the tick its capture started at.\n"
        << "start-tick = " << start_tick << "\n"
        << "exe = " << exe << "\n";
    // An echo logged press first: that device kept its hot-key messages in the order made.
    for (const Echo& echo : analysis.echoes) {
        if (echo.press < echo.release) {
            out << "# its echoes come press first: hot-key messages kept in the order made\n"
                << "hotkey-queue = back\n";
            break;
        }
    }
    if (ModifiersFireNoHotKey(rows)) {
        out << "# keys logged with modifiers held, never a modifier key itself\n"
            << "modifier-hot-keys = no\n";
    }
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

// Whether rows A and B are of the same kind, key and modifiers, at any tick.
bool SimilarRow(const Row& a, const Row& b) {
    return a.kind == b.kind && a.vk == b.vk && a.mods == b.mods;
}

// Whether the replay's row B stands for the file's row A (taken rows at any tick).
bool SameRow(const Row& a, const Row& b) {
    return SimilarRow(a, b) && (a.kind == RowKind::Taken || a.tick == b.tick);
}

} // namespace

// A row in words.
std::string RowText(const Row& row) {
    std::string at = " at " + std::to_string(row.tick);
    switch (row.kind) {
    case RowKind::Press:
        return ComboName(row.vk, row.mods) + " down" + at;
    case RowKind::Release:
        return ComboName(row.vk, row.mods) + " up" + at;
    case RowKind::Taken:
        return TakenName(row.vk, row.mods) + " taken";
    case RowKind::Quiet:
        return "quiet mark" + at;
    }
    return "";
}

// The scenario and profile that make the device log the same rows.
Replay BuildReplay(const std::vector<Row>& rows, const std::string& source,
                   const std::string& exe) {
    Replay replay;
    replay.exe = exe;
    replay.start_tick = StartTickOf(rows);
    Analysis analysis = Analyse(rows);
    replay.profile = ProfileText(rows, analysis, replay.start_tick, exe, source);

    std::ostringstream out;
    out << "# Scenario written by tapwatcher-report from " << source << ".\n"
        << "# Each key row of the file is a press or release here, in row order, after a\n"
        << "# wait of its tick difference. Run it with the device profile written from the\n"
        << "# same file (start-tick " << replay.start_tick << ", exe " << exe << ").\n";

    std::uint32_t now = replay.start_tick;
    // An echo is made by the tool itself when it passes the key before it on: not replayed.
    std::vector<const Echo*> echo_of(rows.size(), nullptr);
    for (const Echo& echo : analysis.echoes)
        echo_of[echo.First()] = &echo;

    std::set<unsigned> down; // keys down on the device as the replay leaves them
    // No row of a modifier key: the replay holds the modifiers each press shows, and lets go
    // before a release those an echo shows were let go before it.
    const bool hold_mods = ModifiersFireNoHotKey(rows);
    std::vector<unsigned> let_go(rows.size(), 0);
    for (const Echo& echo : analysis.echoes)
        let_go[echo.passed] = rows[echo.passed].mods & ~rows[echo.press].mods;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        if (!IsKeyEvent(row))
            continue;
        // The tool's own release of a modifier is replayed: the replay's pass-through makes
        // that row again, and the release then finds the key up.
        if (analysis.is_echo[i] && ModifierOfKey(row.vk) == 0) {
            if (echo_of[i] != nullptr) {
                out << "# lines " << row.line << "-" << rows[echo_of[i]->Last()].line
                    << ": echo of the pass-through at line " << rows[echo_of[i]->passed].line
                    << "; the tool makes it itself\n";
            }
            continue;
        }
        if (row.vk > 0xFF) {
            replay.left_out.push_back(row.line);
            out << "# line " << row.line << ": "
                << (row.kind == RowKind::Press ? "press" : "release") << " of key code "
                << HexCode(row.vk) << " left out: the device keyboard has codes 0x00 to 0xFF\n";
            continue;
        }
        std::int32_t wait = TickDiff(static_cast<std::int32_t>(now), row.tick);
        if (wait < 0) {
            out << "# line " << row.line << ": the tick goes back by " << -std::int64_t{wait}
                << " ms; no wait\n";
        } else if (wait > 0) {
            out << "wait " << wait << "\n";
        }
        now = static_cast<std::uint32_t>(row.tick);

        if (hold_mods) {
            for (unsigned key : {kVkShift, kVkCtrl, kVkAlt}) {
                bool held = down.count(key) != 0;
                unsigned bit = ModifierOfKey(key);
                bool want =
                    row.kind == RowKind::Press ? (row.mods & bit) != 0 : held && !(let_go[i] & bit);
                if (want != held) {
                    out << (want ? "press " : "release ") << KeyName(key) << "\n";
                    if (want)
                        down.insert(key);
                    else
                        down.erase(key);
                }
            }
        }
        if (row.kind == RowKind::Press) {
            unsigned held = ModifierOfKey(row.vk);
            for (unsigned key : down)
                held |= ModifierOfKey(key);
            if (down.count(row.vk)) {
                replay.why[row.line] =
                    "the key is already down (an auto-repeat); the device decides whether a "
                    "second press makes a row";
            } else if (row.mods != held) {
                replay.why[row.line] = "the row shows modifiers " + ModsName(row.mods) +
                                       ", the replay held " + ModsName(held) +
                                       " (a modifier with no press row in the file)";
            }
            down.insert(row.vk);
            out << "press " << KeyName(row.vk) << "\n";
        } else {
            if (!down.count(row.vk))
                replay.why[row.line] = "no press of this key before it, so its release finds "
                                       "the key up and goes to the system";
            down.erase(row.vk);
            out << "release " << KeyName(row.vk) << "\n";
            // Passing the key on, the tool released the modifiers it was logged with.
            for (unsigned key : {kVkShift, kVkCtrl, kVkAlt})
                if (hold_mods && (row.mods & ModifierOfKey(key)))
                    down.erase(key);
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

// Lines the two row lists up and names the rows that differ.
Verdict CompareReplay(const std::vector<Row>& file_rows, const std::vector<Row>& replayed,
                      const Replay& replay) {
    constexpr std::size_t kLookAhead = 16;
    std::set<int> left_out(replay.left_out.begin(), replay.left_out.end());
    std::vector<const Row*> file;
    for (const Row& row : file_rows) {
        if (!left_out.count(row.line))
            file.push_back(&row);
    }
    auto why_of = [&](const Row& row, const std::string& otherwise) {
        auto it = replay.why.find(row.line);
        return it != replay.why.end() ? it->second : otherwise;
    };

    // Why a quiet mark came at another time: it follows the last row before it by 3000 ms.
    std::set<int> missing_lines;
    auto quiet_why = [&](std::size_t at, std::int32_t late) {
        std::string when = "the replay made it " +
                           std::to_string(late < 0 ? -std::int64_t{late} : late) + " ms " +
                           (late < 0 ? "earlier" : "later");
        std::size_t k = at;
        while (k > 0 && file[k - 1]->kind == RowKind::Quiet)
            --k;
        if (k == 0)
            return when;
        const Row& before = *file[k - 1];
        if (missing_lines.count(before.line)) {
            return when +
                   ": it comes 3000 ms after the last key event, and the replay did not "
                   "make line " +
                   std::to_string(before.line);
        }
        if (before.kind == RowKind::Taken) {
            return when + ": it comes 3000 ms after the sweep of the hot keys, which took " +
                   std::to_string(TickDiff(file.front()->tick, before.tick)) +
                   " ms on the device and no time on the simulated one";
        }
        return when;
    };

    Verdict verdict;
    std::size_t i = 0, j = 0;
    while (i < file.size() || j < replayed.size()) {
        if (i < file.size() && j < replayed.size() && SameRow(*file[i], replayed[j])) {
            ++verdict.same;
            ++i;
            ++j;
            continue;
        }
        // The nearest row the two have in common again: exactly, else of the same kind.
        std::size_t missing = 0, extra = 0;
        for (auto same : {SameRow, SimilarRow}) {
            for (std::size_t d = 1; d <= kLookAhead && !missing && !extra; ++d) {
                if (i + d < file.size() && j < replayed.size() && same(*file[i + d], replayed[j]))
                    missing = d;
                else if (j + d < replayed.size() && i < file.size() &&
                         same(*file[i], replayed[j + d]))
                    extra = d;
            }
            if (i < file.size() && j < replayed.size() && SimilarRow(*file[i], replayed[j]))
                break; // the same row at another time: a change, not a gap
        }
        if (!extra && i < file.size() && (missing || j >= replayed.size())) {
            for (std::size_t n = 0; n < std::max<std::size_t>(missing, 1); ++n, ++i) {
                missing_lines.insert(file[i]->line);
                verdict.differences.push_back({file[i]->line, RowText(*file[i]), "",
                                               why_of(*file[i], "the replay made no such row")});
            }
        } else if (!missing && j < replayed.size() && (extra || i >= file.size())) {
            for (std::size_t n = 0; n < std::max<std::size_t>(extra, 1); ++n, ++j) {
                verdict.differences.push_back(
                    {0, "", RowText(replayed[j]), "the file has no such row"});
            }
        } else {
            const Row& a = *file[i];
            const Row& b = replayed[j];
            std::string otherwise = "the replay made another row";
            if (SimilarRow(a, b)) {
                std::int32_t late = TickDiff(a.tick, b.tick);
                otherwise = a.kind == RowKind::Quiet
                                ? quiet_why(i, late)
                                : "the replay made it " +
                                      std::to_string(late < 0 ? -std::int64_t{late} : late) +
                                      " ms " + (late < 0 ? "earlier" : "later");
            } else if (a.kind == b.kind && a.vk == b.vk) {
                otherwise = "the modifiers differ";
            }
            verdict.differences.push_back({a.line, RowText(a), RowText(b), why_of(a, otherwise)});
            ++i;
            ++j;
        }
    }
    return verdict;
}

} // namespace report
