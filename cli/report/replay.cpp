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
#include <deque>
#include <optional>
#include <set>
#include <sstream>

namespace report {

namespace {

// A press or a release row.
bool IsKeyEvent(const Row& row) {
    return row.kind == RowKind::Press || row.kind == RowKind::Release;
}

// Runs one pass of the analysis over ROWS, telling LISTENER.
void Analyse(const RowPass& rows, AnalysisListener& listener) {
    StreamAnalyser pass({&listener});
    rows([&](const Row& row) { pass.Add(row); });
    pass.Finish();
}

// What the profile and the scenario's first lines need of the whole file.
class ReplayFacts : public AnalysisListener {
  public:
    void OnRow(const Seen& s, Role, const HoldState*, const EchoFacts* echo,
               const BurstState*) override {
        const Row& row = s.row;
        // The device tick at which the tool started: that of the sweep's first taken row,
        // else of a leading quiet mark less the quiet period, else of the first key event.
        if (s.index == 0)
            start_tick =
                static_cast<std::uint32_t>(row.tick) - (row.kind == RowKind::Quiet ? 3001 : 1);
        if (deciding_ && row.kind == RowKind::Taken)
            start_tick = static_cast<std::uint32_t>(row.tick) - 1;
        deciding_ = deciding_ && row.kind == RowKind::Quiet;
        if (row.kind == RowKind::Taken)
            taken[row.vk][row.mods] = true;
        // An echo logged press first: that device kept its hot-key messages in the order made.
        if (echo && echo->First().index == s.index && echo->press.index < echo->release.index)
            press_first_echo = true;
        if (IsKeyEvent(row)) {
            modifier_rows_ = modifier_rows_ || ModifierOfKey(row.vk) != 0;
            with_mods_ = with_mods_ || row.mods != 0;
        }
    }
    void OnFinding(const FindingFacts&) override {}
    void OnEnd(const Totals&) override {}

    // Whether the file shows a device whose modifier keys fire no hot key of their own: keys
    // logged with modifiers held, and not one row of a modifier key.
    bool ModifiersFireNoHotKey() const { return with_mods_ && !modifier_rows_; }

    std::uint32_t start_tick = 0;
    std::array<std::array<bool, 8>, 256> taken{};
    bool press_first_echo = false;

  private:
    bool deciding_ = true; // no taken row or key event yet
    bool modifier_rows_ = false, with_mods_ = false;
};

// The device profile: the start tick, the executable, the hot-key queue order when the
// file's echoes show it is not the built-in's, modifier-hot-keys when its rows show a
// device whose modifiers fire none, and a "taken" line per combination.
std::string ProfileText(const ReplayFacts& facts, const std::string& exe,
                        const std::string& source) {
    std::ostringstream out;
    out << "# Device profile written by tapwatcher-report from " << source << ":\n"
        << "# the combinations its F rows list as taken, and the tick its capture started at.\n"
        << "start-tick = " << facts.start_tick << "\n"
        << "exe = " << exe << "\n";
    if (facts.press_first_echo) {
        out << "# its echoes come press first: hot-key messages kept in the order made\n"
            << "hotkey-queue = back\n";
    }
    if (facts.ModifiersFireNoHotKey()) {
        out << "# keys logged with modifiers held, never a modifier key itself\n"
            << "modifier-hot-keys = no\n";
    }
    for (unsigned vk = 0; vk < 256; ++vk) {
        const auto& sets = facts.taken[vk];
        if (std::count(sets.begin(), sets.end(), true) == 8) {
            out << "taken = Any+" << HexCode(vk) << "\n";
            continue;
        }
        for (unsigned set = 0; set < 8; ++set) {
            if (sets[set])
                out << "taken = " << (set ? ModsName(set) + "+" : "") << HexCode(vk) << "\n";
        }
    }
    return out.str();
}

// Writes the scenario's lines as the rows pass.
class ScenarioWriter : public AnalysisListener {
  public:
    ScenarioWriter(Replay& replay, bool hold_mods, std::ostream& out, const ReplayRowHook& hook)
        : replay_(replay), hold_mods_(hold_mods), out_(out), hook_(hook), now_(replay.start_tick) {}

    void OnRow(const Seen& s, Role role, const HoldState*, const EchoFacts* echo,
               const BurstState*) override {
        last_tick_ = s.row.tick;
        std::string why;
        const bool left_out = Write(s, role, echo, why);
        if (hook_)
            hook_(s.row, left_out, why);
    }
    void OnFinding(const FindingFacts&) override {}
    // Lets the device run on to the last row, so that a closing quiet mark is made too.
    void OnEnd(const Totals& totals) override {
        std::int32_t rest = TickDiff(static_cast<std::int32_t>(now_), last_tick_);
        if (totals.rows > 0 && rest > 0)
            out_ << "wait " << rest << "\n";
    }

  private:
    // The lines of one row; true when the row is left out. WHY: why the replay may not make
    // the row the same.
    bool Write(const Seen& s, Role role, const EchoFacts* echo, std::string& why) {
        const Row& row = s.row;
        if (!IsKeyEvent(row))
            return false;
        // The tool's own release of a modifier is replayed: the replay's pass-through makes
        // that row again, and the release then finds the key up. An echo is made by the tool
        // itself when it passes the key before it on: not replayed.
        if ((role == Role::EchoRow || role == Role::ToolRelease) && ModifierOfKey(row.vk) == 0) {
            if (echo != nullptr && echo->First().index == s.index) {
                out_ << "# lines " << row.line << "-" << echo->Last().row.line
                     << ": echo of the pass-through at line " << echo->passed.row.line
                     << "; the tool makes it itself\n";
            }
            return false;
        }
        if (row.vk > 0xFF) {
            replay_.left_out.push_back(row.line);
            out_ << "# line " << row.line << ": "
                 << (row.kind == RowKind::Press ? "press" : "release") << " of key code "
                 << HexCode(row.vk) << " left out: the device keyboard has codes 0x00 to 0xFF\n";
            return true;
        }
        std::int32_t wait = TickDiff(static_cast<std::int32_t>(now_), row.tick);
        if (wait < 0) {
            out_ << "# line " << row.line << ": the tick goes back by " << -std::int64_t{wait}
                 << " ms; no wait\n";
        } else if (wait > 0) {
            out_ << "wait " << wait << "\n";
        }
        now_ = static_cast<std::uint32_t>(row.tick);

        if (hold_mods_) {
            // No row of a modifier key: the replay holds the modifiers each press shows, and
            // lets go before a release those an echo shows were let go before it.
            const unsigned let_go = echo != nullptr && echo->passed.index == s.index
                                        ? row.mods & ~echo->press.row.mods
                                        : 0;
            for (unsigned key : {kVkShift, kVkCtrl, kVkAlt}) {
                bool held = down_.count(key) != 0;
                unsigned bit = ModifierOfKey(key);
                bool want =
                    row.kind == RowKind::Press ? (row.mods & bit) != 0 : held && !(let_go & bit);
                if (want != held) {
                    out_ << (want ? "press " : "release ") << KeyName(key) << "\n";
                    if (want)
                        down_.insert(key);
                    else
                        down_.erase(key);
                }
            }
        }
        if (row.kind == RowKind::Press) {
            unsigned held = ModifierOfKey(row.vk);
            for (unsigned key : down_)
                held |= ModifierOfKey(key);
            if (down_.count(row.vk)) {
                why = "the key is already down (an auto-repeat); the device decides whether a "
                      "second press makes a row";
            } else if (row.mods != held) {
                why = "the row shows modifiers " + ModsName(row.mods) + ", the replay held " +
                      ModsName(held) + " (a modifier with no press row in the file)";
            }
            down_.insert(row.vk);
            out_ << "press " << KeyName(row.vk) << "\n";
        } else {
            if (!down_.count(row.vk))
                why = "no press of this key before it, so its release finds the key up and goes "
                      "to the system";
            down_.erase(row.vk);
            out_ << "release " << KeyName(row.vk) << "\n";
            // Passing the key on, the tool released the modifiers it was logged with.
            for (unsigned key : {kVkShift, kVkCtrl, kVkAlt})
                if (hold_mods_ && (row.mods & ModifierOfKey(key)))
                    down_.erase(key);
        }
        ++replay_.key_events;
        return false;
    }

    Replay& replay_;
    const bool hold_mods_;
    std::ostream& out_;
    const ReplayRowHook& hook_;
    std::uint32_t now_;
    std::int32_t last_tick_ = 0;
    std::set<unsigned> down_; // keys down on the device as the replay leaves them
};

// Whether rows A and B are of the same kind, key and modifiers, at any tick.
bool SimilarRow(const Row& a, const Row& b) {
    return a.kind == b.kind && a.vk == b.vk && a.mods == b.mods;
}

// Whether the replay's row B stands for the file's row A (taken rows at any tick).
bool SameRow(const Row& a, const Row& b) {
    return SimilarRow(a, b) && (a.kind == RowKind::Taken || a.tick == b.tick);
}

// The rows of a vector, as a pass.
RowPass PassOver(const std::vector<Row>& rows) {
    return [&rows](const std::function<void(const Row&)>& each) {
        for (const Row& row : rows)
            each(row);
    };
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

// The profile, then the scenario that makes the device log the same rows.
Replay WriteReplay(const RowPass& rows, const std::string& source, const std::string& exe,
                   std::ostream& out, const ReplayRowHook& hook) {
    ReplayFacts facts;
    Analyse(rows, facts);
    Replay replay;
    replay.exe = exe;
    replay.start_tick = facts.start_tick;
    replay.profile = ProfileText(facts, exe, source);
    for (const auto& sets : facts.taken)
        replay.taken += static_cast<std::size_t>(std::count(sets.begin(), sets.end(), true));
    out << "# Scenario written by tapwatcher-report from " << source << ".\n"
        << "# Each key row of the file is a press or release here, in row order, after a\n"
        << "# wait of its tick difference. Run it with the device profile written from the\n"
        << "# same file (start-tick " << replay.start_tick << ", exe " << exe << ").\n";
    ScenarioWriter writer(replay, facts.ModifiersFireNoHotKey(), out, hook);
    Analyse(rows, writer);
    return replay;
}

// Both texts and the reasons, from rows in memory.
Replay BuildReplay(const std::vector<Row>& rows, const std::string& source,
                   const std::string& exe) {
    std::ostringstream out;
    std::map<int, std::string> why;
    Replay replay = WriteReplay(PassOver(rows), source, exe, out,
                                [&](const Row& row, bool, const std::string& reason) {
                                    if (!reason.empty())
                                        why[row.line] = reason;
                                });
    replay.scenario = out.str();
    replay.why = std::move(why);
    return replay;
}

// The comparison: the file's rows from the one not yet lined up, the replay's likewise.
class ReplayComparer::Impl {
  public:
    static constexpr std::size_t kLookAhead = 16;

    Impl(std::function<bool(Row&)> next, std::size_t keep) : next_(std::move(next)), keep_(keep) {}

    void Add(const Row& row, const std::string& why) {
        if (!first_tick_)
            first_tick_ = row.tick;
        file_.push_back({row, why});
        while (file_.size() > kLookAhead)
            Step();
    }

    Verdict Finish() {
        while (!file_.empty() || Replayed(0))
            Step();
        return std::move(verdict_);
    }

  private:
    struct FileRow {
        Row row;
        std::string why;
    };

    // The file's row I places on; null past its end (the window holds kLookAhead more).
    const Row* File(std::size_t i) const { return i < file_.size() ? &file_[i].row : nullptr; }

    // The replay's row J places on, read when first needed; null past its end.
    const Row* Replayed(std::size_t j) {
        while (replayed_.size() <= j && !replay_done_) {
            Row row;
            if (next_(row))
                replayed_.push_back(row);
            else
                replay_done_ = true;
        }
        return j < replayed_.size() ? &replayed_[j] : nullptr;
    }

    // Takes the file's first row off, as lined up.
    void TakeFile(bool missing) {
        if (file_.front().row.kind != RowKind::Quiet) {
            before_quiet_ = file_.front().row;
            before_missing_ = missing;
        }
        file_.pop_front();
    }

    void Differ(Difference d) {
        if (verdict_.differ++ < keep_)
            verdict_.differences.push_back(std::move(d));
    }

    // Why a quiet mark came at another time: it follows the last row before it by 3000 ms.
    std::string QuietWhy(std::int32_t late) const {
        std::string when = "the replay made it " +
                           std::to_string(late < 0 ? -std::int64_t{late} : late) + " ms " +
                           (late < 0 ? "earlier" : "later");
        if (!before_quiet_)
            return when;
        if (before_missing_) {
            return when +
                   ": it comes 3000 ms after the last key event, and the replay did not "
                   "make line " +
                   std::to_string(before_quiet_->line);
        }
        if (before_quiet_->kind == RowKind::Taken) {
            return when + ": it comes 3000 ms after the sweep of the hot keys, which took " +
                   std::to_string(TickDiff(*first_tick_, before_quiet_->tick)) +
                   " ms on the device and no time on the simulated one";
        }
        return when;
    }

    // Lines up the first rows of each side: the same, or a difference.
    void Step() {
        const Row* a = File(0);
        const Row* b = Replayed(0);
        if (a && b && SameRow(*a, *b)) {
            ++verdict_.same;
            TakeFile(false);
            replayed_.pop_front();
            return;
        }
        // The nearest row the two have in common again: exactly, else of the same kind.
        std::size_t missing = 0, extra = 0;
        for (auto same : {SameRow, SimilarRow}) {
            for (std::size_t d = 1; d <= kLookAhead && !missing && !extra; ++d) {
                if (File(d) && b && same(*File(d), *b))
                    missing = d;
                else if (Replayed(d) && a && same(*a, *Replayed(d)))
                    extra = d;
            }
            if (a && b && SimilarRow(*a, *b))
                break; // the same row at another time: a change, not a gap
        }
        if (!extra && a && (missing || !b)) {
            for (std::size_t n = 0; n < std::max<std::size_t>(missing, 1); ++n) {
                const FileRow& f = file_.front();
                Differ({f.row.line, RowText(f.row), "",
                        f.why.empty() ? "the replay made no such row" : f.why});
                TakeFile(true);
            }
        } else if (!missing && b && (extra || !a)) {
            for (std::size_t n = 0; n < std::max<std::size_t>(extra, 1); ++n) {
                Differ({0, "", RowText(replayed_.front()), "the file has no such row"});
                replayed_.pop_front();
            }
        } else {
            const FileRow& f = file_.front();
            std::string otherwise = "the replay made another row";
            if (SimilarRow(*a, *b)) {
                std::int32_t late = TickDiff(a->tick, b->tick);
                otherwise = a->kind == RowKind::Quiet
                                ? QuietWhy(late)
                                : "the replay made it " +
                                      std::to_string(late < 0 ? -std::int64_t{late} : late) +
                                      " ms " + (late < 0 ? "earlier" : "later");
            } else if (a->kind == b->kind && a->vk == b->vk) {
                otherwise = "the modifiers differ";
            }
            Differ({a->line, RowText(*a), RowText(*b), f.why.empty() ? otherwise : f.why});
            TakeFile(false);
            replayed_.pop_front();
        }
    }

    std::function<bool(Row&)> next_;
    const std::size_t keep_;
    std::deque<FileRow> file_; // the file's rows not lined up yet
    std::deque<Row> replayed_; // the replay's rows not lined up yet
    bool replay_done_ = false;
    std::optional<std::int32_t> first_tick_; // of the file's first row
    std::optional<Row> before_quiet_;        // the last row lined up that is no quiet mark
    bool before_missing_ = false;            // and the replay did not make it
    Verdict verdict_;
};

ReplayComparer::ReplayComparer(std::function<bool(Row&)> next, std::size_t keep)
    : impl_(std::make_unique<Impl>(std::move(next), keep)) {}

ReplayComparer::~ReplayComparer() = default;

// Lines up what the window can decide.
void ReplayComparer::Add(const Row& row, const std::string& why) {
    impl_->Add(row, why);
}

// Lines up the rest.
Verdict ReplayComparer::Finish() {
    return impl_->Finish();
}

// Compares rows in memory, every difference kept.
Verdict CompareReplay(const std::vector<Row>& file_rows, const std::vector<Row>& replayed,
                      const Replay& replay) {
    std::size_t next = 0;
    ReplayComparer compare(
        [&](Row& row) {
            if (next == replayed.size())
                return false;
            row = replayed[next++];
            return true;
        },
        SIZE_MAX);
    std::set<int> left_out(replay.left_out.begin(), replay.left_out.end());
    for (const Row& row : file_rows) {
        if (left_out.count(row.line))
            continue;
        auto it = replay.why.find(row.line);
        compare.Add(row, it != replay.why.end() ? it->second : std::string());
    }
    return compare.Finish();
}

} // namespace report
