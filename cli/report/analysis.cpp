// analysis.cpp - pairing presses with releases, bursts, and the faults in a data file's rows.
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

namespace {

// Walks the rows once, keeping the presses still down and the burst being built.
class Analyser {
  public:
    // Analyses ROWS, which must outlive it.
    explicit Analyser(const std::vector<Row>& rows) : rows_(rows) {}

    // Walks every row once and returns what it found, faults in row order.
    Analysis Run() {
        for (std::size_t i = 0; i < rows_.size(); ++i) {
            CheckTick(i);
            switch (rows_[i].kind) {
            case RowKind::Taken:
                Taken(i);
                break;
            case RowKind::Press:
                KeyEvent(i);
                Press(i);
                break;
            case RowKind::Release:
                KeyEvent(i);
                Release(i);
                break;
            case RowKind::Quiet:
                Quiet(i);
                break;
            }
        }
        CloseBurst(std::nullopt);
        MarkStuck(std::nullopt);
        std::stable_sort(out_.faults.begin(), out_.faults.end(),
                         [](const Fault& a, const Fault& b) { return a.row < b.row; });
        return std::move(out_);
    }

  private:
    using Combo = std::pair<unsigned, unsigned>; // key code, modifier set

    // A tick earlier than the row before is a fault; a text that turned negative is a wrap.
    void CheckTick(std::size_t i) {
        if (i == 0)
            return;
        std::int32_t before = rows_[i - 1].tick;
        std::int32_t now = rows_[i].tick;
        std::int32_t step = TickDiff(before, now);
        if (step < 0)
            out_.faults.push_back({FaultKind::TickBackwards, i, i - 1, step, std::nullopt});
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
                burst_->gap_ms = TickDiff(rows_[*last_non_quiet_].tick, rows_[i].tick);
        }
        burst_->last = i;
        ++burst_->events;
        last_non_quiet_ = i;
    }

    // Opens a hold, or counts an auto-repeat on the open one; checks for chatter.
    void Press(std::size_t i) {
        const Row& row = rows_[i];
        if (auto rel = last_release_.find(row.vk); rel != last_release_.end()) {
            std::int32_t gap = TickDiff(rows_[rel->second].tick, row.tick);
            if (gap >= 0 && gap <= kChatterMs)
                out_.faults.push_back({FaultKind::Chatter, i, rel->second, gap, std::nullopt});
            last_release_.erase(rel);
        }
        Combo combo{row.vk, row.mods};
        if (auto open = open_.find(combo); open != open_.end()) {
            ++out_.holds[open->second].repeats;
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
            out_.faults.push_back(
                {FaultKind::ReleaseWithoutPress, i, std::nullopt, 0, std::nullopt});
            return;
        }
        Hold& hold = out_.holds[open->second];
        hold.release = i;
        hold.ms = TickDiff(rows_[hold.press].tick, row.tick);
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
        burst_->length_ms = TickDiff(rows_[burst_->first].tick, rows_[burst_->last].tick);
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
            out_.faults.push_back({FaultKind::Stuck, hold.press, quiet_row, 0, index});
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
