#include "analysis.h"

#include <algorithm>
#include <map>
#include <utility>

namespace report {

std::int32_t tickDiff(std::int32_t from, std::int32_t to) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(to) -
                                     static_cast<std::uint32_t>(from));
}

namespace {

// Walks the rows once, keeping the presses still down and the burst being built.
class Analyser {
  public:
    explicit Analyser(const std::vector<Row>& rows) : rows_(rows) {}

    Analysis run() {
        for (std::size_t i = 0; i < rows_.size(); ++i) {
            checkTick(i);
            switch (rows_[i].kind) {
            case RowKind::Taken:
                taken(i);
                break;
            case RowKind::Press:
                keyEvent(i);
                press(i);
                break;
            case RowKind::Release:
                keyEvent(i);
                release(i);
                break;
            case RowKind::Quiet:
                quiet(i);
                break;
            }
        }
        closeBurst(std::nullopt);
        markStuck(std::nullopt);
        std::stable_sort(out_.faults.begin(), out_.faults.end(),
                         [](const Fault& a, const Fault& b) { return a.row < b.row; });
        return std::move(out_);
    }

  private:
    using Combo = std::pair<unsigned, unsigned>; // key code, modifier set

    void checkTick(std::size_t i) {
        if (i == 0)
            return;
        std::int32_t before = rows_[i - 1].tick;
        std::int32_t now = rows_[i].tick;
        std::int32_t step = tickDiff(before, now);
        if (step < 0)
            out_.faults.push_back({FaultKind::TickBackwards, i, i - 1, step, std::nullopt});
        else if (now < before)
            out_.wraps.push_back(i);
    }

    void taken(std::size_t i) {
        const Row& row = rows_[i];
        ++out_.takenRows;
        bool& cell = out_.occupancy.taken[row.vk][row.mods];
        if (!cell) {
            cell = true;
            ++out_.occupancy.perSet[row.mods];
            ++out_.occupancy.total;
        }
        lastNonQuiet_ = i;
    }

    void keyEvent(std::size_t i) {
        ++out_.keyEvents;
        if (!burst_) {
            burst_ = Burst{};
            burst_->first = i;
            burst_->gapFrom = lastNonQuiet_;
            if (lastNonQuiet_)
                burst_->gapMs = tickDiff(rows_[*lastNonQuiet_].tick, rows_[i].tick);
        }
        burst_->last = i;
        ++burst_->events;
        lastNonQuiet_ = i;
    }

    void press(std::size_t i) {
        const Row& row = rows_[i];
        if (auto rel = lastRelease_.find(row.vk); rel != lastRelease_.end()) {
            std::int32_t gap = tickDiff(rows_[rel->second].tick, row.tick);
            if (gap >= 0 && gap <= kChatterMs)
                out_.faults.push_back({FaultKind::Chatter, i, rel->second, gap, std::nullopt});
            lastRelease_.erase(rel);
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

    void release(std::size_t i) {
        const Row& row = rows_[i];
        lastRelease_[row.vk] = i;
        auto open = open_.find(Combo{row.vk, row.mods});
        if (open == open_.end()) {
            out_.faults.push_back(
                {FaultKind::ReleaseWithoutPress, i, std::nullopt, 0, std::nullopt});
            return;
        }
        Hold& hold = out_.holds[open->second];
        hold.release = i;
        hold.ms = tickDiff(rows_[hold.press].tick, row.tick);
        open_.erase(open);
    }

    void quiet(std::size_t i) {
        ++out_.quietMarks;
        closeBurst(i);
        markStuck(i);
    }

    void closeBurst(std::optional<std::size_t> quietRow) {
        if (!burst_)
            return;
        burst_->quiet = quietRow;
        burst_->lengthMs = tickDiff(rows_[burst_->first].tick, rows_[burst_->last].tick);
        out_.bursts.push_back(std::move(*burst_));
        burst_.reset();
    }

    // Presses still down at a quiet mark (or the end of the file) are stuck. They stay
    // open, so that a late release is paired with them rather than reported on its own.
    void markStuck(std::optional<std::size_t> quietRow) {
        for (const auto& [combo, index] : open_) {
            Hold& hold = out_.holds[index];
            if (hold.stuck)
                continue;
            hold.stuck = true;
            out_.faults.push_back({FaultKind::Stuck, hold.press, quietRow, 0, index});
        }
    }

    const std::vector<Row>& rows_;
    Analysis out_;
    std::map<Combo, std::size_t> open_;           // combination -> index into holds
    std::map<unsigned, std::size_t> lastRelease_; // key code -> row of its last release
    std::optional<Burst> burst_;
    std::optional<std::size_t> lastNonQuiet_;
};

} // namespace

Analysis analyse(const std::vector<Row>& rows) {
    return Analyser(rows).run();
}

} // namespace report
