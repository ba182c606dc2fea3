// analysis.cpp - echoes, presses paired with releases, bursts, and the faults in a data
// file's rows.
//
// Choices:
//  - An echo is a press and a release of the key that the tool just passed on, with fewer
//    modifiers (some were let go before the key), both within kEchoMs of the release passed on
//    (releases of modifier keys may come between: the tool releases the held modifiers when it
//    passes a key on). An echo's release can be passed on again and echo in turn, so they are
//    followed in a chain. Echo rows are not paired and not checked for chatter. Its two rows
//    come in either order: press first where the device kept the two hot-key messages in
//    the order made, release first where each new one went to the top of the queue.
//  - Chatter compares key codes only: a key that bounces is the same key, whatever
//    modifiers are down; the finding names both rows' combinations when they differ.
//  - A time measured across a tick that goes backwards is unknown, not negative.
#include "analysis.h"

#include <algorithm>
#include <map>
#include <utility>

namespace report {

// Milliseconds from one tick to the next, across the 32-bit wrap.
std::int32_t TickDiff(std::int32_t from, std::int32_t to) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(to) -
                                     static_cast<std::uint32_t>(from));
}

// The time from row A to row B, unless a tick went backwards in between.
std::optional<std::int32_t> Analysis::Elapsed(const std::vector<Row>& rows, std::size_t a,
                                              std::size_t b) const {
    if (steps_back[b] != steps_back[a])
        return std::nullopt;
    return TickDiff(rows[a].tick, rows[b].tick);
}

// Findings other than echoes.
int Analysis::Faults() const {
    return static_cast<int>(std::count_if(findings.begin(), findings.end(), [](const Finding& f) {
        return f.kind != FindingKind::Echo;
    }));
}

namespace {

// Walks the rows once, keeping the presses still down and the burst being built.
class Analyser {
  public:
    // Analyses ROWS, which must outlive it.
    explicit Analyser(const std::vector<Row>& rows) : rows_(rows) {}

    // Walks every row once and returns what it found, findings in row order.
    Analysis Run() {
        CountStepsBack();
        FindEchoes();
        for (std::size_t i = 0; i < rows_.size(); ++i) {
            CheckTick(i);
            switch (rows_[i].kind) {
            case RowKind::Taken:
                Taken(i);
                break;
            case RowKind::Press:
                KeyEvent(i);
                if (!out_.is_echo[i])
                    Press(i);
                break;
            case RowKind::Release:
                KeyEvent(i);
                if (!out_.is_echo[i])
                    Release(i);
                break;
            case RowKind::Quiet:
                Quiet(i);
                break;
            }
        }
        CloseBurst(std::nullopt);
        MarkStuck(std::nullopt);
        std::stable_sort(out_.findings.begin(), out_.findings.end(),
                         [](const Finding& a, const Finding& b) { return a.row < b.row; });
        return std::move(out_);
    }

  private:
    using Combo = std::pair<unsigned, unsigned>; // key code, modifier set

    // The running count of ticks that go backwards, so a time can tell it is unknown.
    void CountStepsBack() {
        out_.steps_back.assign(rows_.size(), 0);
        for (std::size_t i = 1; i < rows_.size(); ++i) {
            out_.steps_back[i] =
                out_.steps_back[i - 1] + (TickDiff(rows_[i - 1].tick, rows_[i].tick) < 0);
        }
    }

    // The next row after FROM that is not the release of a modifier key made close to it.
    std::size_t SkipModifierReleases(std::size_t from) const {
        std::size_t i = from + 1;
        while (i < rows_.size() && rows_[i].kind == RowKind::Release &&
               ModifierOfKey(rows_[i].vk) != 0 && Close(from, i))
            ++i;
        return i;
    }

    // Whether row B follows row A within kEchoMs.
    bool Close(std::size_t a, std::size_t b) const {
        std::int32_t ms = TickDiff(rows_[a].tick, rows_[b].tick);
        return out_.steps_back[a] == out_.steps_back[b] && ms >= 0 && ms <= kEchoMs;
    }

    // Marks the press and release pairs that echo a key the tool passed on.
    void FindEchoes() {
        out_.is_echo.assign(rows_.size(), false);
        for (std::size_t i = 0; i < rows_.size(); ++i) {
            const Row& passed = rows_[i];
            if (passed.kind != RowKind::Release || ModifierOfKey(passed.vk) != 0 || out_.is_echo[i])
                continue;
            for (std::size_t at = i;;) {
                std::size_t first = SkipModifierReleases(at);
                if (first >= rows_.size() || !Close(at, first))
                    break;
                const Row& f = rows_[first];
                if (f.vk != rows_[at].vk || f.mods == rows_[at].mods ||
                    (f.mods & ~rows_[at].mods) != 0)
                    break;
                std::size_t second = SkipModifierReleases(first);
                if (second >= rows_.size() || !Close(first, second))
                    break;
                const Row& s = rows_[second];
                bool press_first = f.kind == RowKind::Press && s.kind == RowKind::Release;
                bool release_first = f.kind == RowKind::Release && s.kind == RowKind::Press;
                if ((!press_first && !release_first) || s.vk != f.vk || s.mods != f.mods)
                    break;
                std::size_t press = press_first ? first : second;
                std::size_t release = press_first ? second : first;
                out_.is_echo[press] = out_.is_echo[release] = true;
                out_.findings.push_back({FindingKind::Echo, first, at, 0, out_.echoes.size()});
                out_.echoes.push_back({at, press, release});
                at = release;
            }
        }
    }

    // A tick earlier than the row before is a fault; a text that turned negative is a wrap.
    void CheckTick(std::size_t i) {
        if (i == 0)
            return;
        std::int32_t before = rows_[i - 1].tick;
        std::int32_t now = rows_[i].tick;
        std::int32_t step = TickDiff(before, now);
        if (step < 0)
            out_.findings.push_back({FindingKind::TickBackwards, i, i - 1, step, std::nullopt});
        else if (now < before)
            out_.wraps.push_back(i);
    }

    // Counts an "F" row, each combination once.
    void Taken(std::size_t i) {
        const Row& row = rows_[i];
        ++out_.taken_rows;
        bool& cell = out_.occupancy.taken[row.vk][row.mods];
        if (!cell) {
            cell = true;
            ++out_.occupancy.per_set[row.mods];
            ++out_.occupancy.per_half[row.vk / 128][row.mods];
            ++out_.occupancy.total;
        }
        last_non_quiet_ = i;
    }

    // Adds a press or release to the burst it belongs to, opening one if none is open.
    void KeyEvent(std::size_t i) {
        ++out_.key_events;
        if (!burst_) {
            burst_ = Burst{};
            burst_->first = i;
            burst_->gap_from = last_non_quiet_;
            if (last_non_quiet_)
                burst_->gap_ms = out_.Elapsed(rows_, *last_non_quiet_, i);
        }
        burst_->last = i;
        ++burst_->events;
        last_non_quiet_ = i;
    }

    // Opens a hold, or counts an auto-repeat on the open one; checks for chatter.
    void Press(std::size_t i) {
        const Row& row = rows_[i];
        if (auto rel = last_release_.find(row.vk); rel != last_release_.end()) {
            std::optional<std::int32_t> gap = out_.Elapsed(rows_, rel->second, i);
            if (gap && *gap >= 0 && *gap <= kChatterMs)
                out_.findings.push_back({FindingKind::Chatter, i, rel->second, *gap, std::nullopt});
            last_release_.erase(rel);
        }
        Combo combo{row.vk, row.mods};
        if (auto open = open_.find(combo); open != open_.end()) {
            out_.holds[open->second].repeats.push_back(i);
            return;
        }
        open_[combo] = out_.holds.size();
        Hold hold;
        hold.press = i;
        out_.holds.push_back(hold);
    }

    // Closes the open hold of the same key and modifier set, if there is one.
    void Release(std::size_t i) {
        const Row& row = rows_[i];
        last_release_[row.vk] = i;
        auto open = open_.find(Combo{row.vk, row.mods});
        if (open == open_.end()) {
            out_.findings.push_back(
                {FindingKind::ReleaseWithoutPress, i, std::nullopt, 0, std::nullopt});
            return;
        }
        Hold& hold = out_.holds[open->second];
        hold.release = i;
        hold.ms = out_.Elapsed(rows_, hold.press, i);
        open_.erase(open);
    }

    // A quiet mark ends the burst and makes the keys still down stuck.
    void Quiet(std::size_t i) {
        ++out_.quiet_marks;
        CloseBurst(i);
        MarkStuck(i);
    }

    // Ends the open burst at QUIET_ROW (none: the end of the file).
    void CloseBurst(std::optional<std::size_t> quiet_row) {
        if (!burst_)
            return;
        burst_->quiet = quiet_row;
        burst_->length_ms = out_.Elapsed(rows_, burst_->first, burst_->last);
        out_.bursts.push_back(std::move(*burst_));
        burst_.reset();
    }

    // Presses still down at a quiet mark (or the end of the file) are stuck. They stay
    // open, so that a late release is paired with them rather than reported on its own.
    void MarkStuck(std::optional<std::size_t> quiet_row) {
        for (const auto& [combo, index] : open_) {
            Hold& hold = out_.holds[index];
            if (hold.stuck)
                continue;
            hold.stuck = true;
            out_.findings.push_back({FindingKind::Stuck, hold.press, quiet_row, 0, index});
        }
    }

    const std::vector<Row>& rows_;
    Analysis out_;
    std::map<Combo, std::size_t> open_;            // combination -> index into holds
    std::map<unsigned, std::size_t> last_release_; // key code -> row of its last release
    std::optional<Burst> burst_;
    std::optional<std::size_t> last_non_quiet_;
};

} // namespace

// Analyses the rows of one data file.
Analysis Analyse(const std::vector<Row>& rows) {
    return Analyser(rows).Run();
}

} // namespace report
