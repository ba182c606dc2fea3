// analysis.cpp - echoes, presses paired with releases, bursts, and the faults in a data
// file's rows, in one pass.
//
// Choices:
//  - An echo is a press and a release of the key that the tool just passed on, with fewer
//    modifiers (some were let go before the key), both within kEchoMs of the release passed on
//    (releases of modifier keys may come between: the tool releases the held modifiers when it
//    passes a key on). An echo's release can be passed on again and echo in turn, so they are
//    followed in a chain. Echo rows are not paired and not checked for chatter. Its two rows
//    come in either order: press first where the device kept the two hot-key messages in
//    the order made, release first where each new one went to the top of the queue.
//  - A release of a modifier key held with the key passed on, within kEchoMs after that
//    release and before any other row, is the tool's own: it releases the held modifiers as
//    it passes a key on. It is marked as an echo and closes the modifier's hold with an
//    unknown time: the user's own release came later and reached the system unlogged.
//  - The search for an echo looks ahead at most kLookAhead rows past the release passed on:
//    rows are held back only that long before they are paired, so a run of modifier
//    releases at one tick cannot make the pass keep the file.
//  - Chatter compares key codes only: a key that bounces is the same key, whatever
//    modifiers are down; the finding names both rows' combinations when they differ.
//  - A time measured across a tick that goes backwards is unknown, not negative.
//  - A quiet mark makes stuck only the presses made since the mark before it (those before
//    were made stuck then), so no row walks every key still down.
#include "analysis.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

namespace report {

namespace {

constexpr std::size_t kLookAhead = 4096;

} // namespace

// Milliseconds from one tick to the next, across the 32-bit wrap.
std::int32_t TickDiff(std::int32_t from, std::int32_t to) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(to) -
                                     static_cast<std::uint32_t>(from));
}

// The time from A to B, unless a tick went backwards in between.
std::optional<std::int32_t> Elapsed(const Seen& a, const Seen& b) {
    if (a.steps_back != b.steps_back)
        return std::nullopt;
    return TickDiff(a.row.tick, b.row.tick);
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

// The pass: an echo search over a short window of rows, then the pairing of each row.
class StreamAnalyser::Impl {
  public:
    explicit Impl(std::vector<AnalysisListener*> listeners) : listeners_(std::move(listeners)) {}

    // Takes the next row into the window and settles what can be settled.
    void Add(const Row& row) {
        Entry entry;
        entry.seen.row = row;
        entry.seen.index = static_cast<std::uint32_t>(next_index_++);
        if (last_tick_ && TickDiff(*last_tick_, row.tick) < 0)
            ++steps_back_;
        last_tick_ = row.tick;
        entry.seen.steps_back = steps_back_;
        entry.modifier_released = modifier_released_;
        if (row.kind == RowKind::Release) {
            const unsigned modifier = ModifierOfKey(row.vk);
            for (int bit = 0; bit < 3; ++bit) {
                if (modifier & (1u << bit))
                    modifier_released_[bit] = row.line;
            }
        }
        window_.push_back(std::move(entry));
        if (window_.size() >= retry_at_)
            Settle(false);
    }

    // Settles every row left and closes what is open.
    void Finish() {
        Settle(true);
        CloseBurst(std::nullopt);
        MarkStuck(std::nullopt);
        std::vector<std::uint32_t> open;
        for (std::uint32_t slot = 0; slot < holds_.size(); ++slot) {
            if (!IsFree(slot))
                open.push_back(slot);
        }
        SortById(open);
        for (std::uint32_t slot : open)
            Tell([&](AnalysisListener& l) { l.OnHoldClosed(holds_[slot]); });
        for (AnalysisListener* l : listeners_)
            l->OnEnd(totals_);
    }

  private:
    struct Entry {
        Seen seen;
        bool is_echo = false;
        bool by_tool = false;                   // the tool's own release of a modifier
        std::shared_ptr<EchoFacts> echo;        // at both rows of an echo
        std::array<int, 3> modifier_released{}; // the line of each modifier's last release
                                                // before this row (bit order), 0: none
    };

    // The window position of absolute row INDEX.
    Entry& At(std::size_t index) { return window_[index - window_.front().seen.index]; }

    // Whether row B follows row A within kEchoMs.
    static bool Close(const Seen& a, const Seen& b) {
        std::optional<std::int32_t> ms = Elapsed(a, b);
        return ms && *ms >= 0 && *ms <= kEchoMs;
    }

    enum class Walk { Done, NeedMore };

    // The next row after FROM that is not the release of a modifier key made close to it;
    // NeedMore when the window ends first and more rows may come.
    Walk SkipModifierReleases(std::size_t from, std::size_t limit, bool end, std::size_t& next) {
        std::size_t end_index = window_.front().seen.index + window_.size();
        next = from + 1;
        while (next < end_index && next < limit) {
            const Seen& s = At(next).seen;
            if (s.row.kind != RowKind::Release || ModifierOfKey(s.row.vk) == 0 ||
                !Close(At(from).seen, s))
                return Walk::Done;
            ++next;
        }
        if (next >= limit)
            return Walk::Done; // looked far enough: no echo
        return end ? Walk::Done : Walk::NeedMore;
    }

    // Follows the chain of echoes from the release at START; commits it once it is known.
    Walk EchoChain(std::size_t start, bool end) {
        std::size_t end_index = window_.front().seen.index + window_.size();
        std::size_t limit = start + kLookAhead;
        std::vector<std::pair<std::size_t, std::size_t>> found; // {at, press/release first}
        std::vector<std::size_t> seconds;
        for (std::size_t at = start;;) {
            std::size_t first = 0, second = 0;
            if (SkipModifierReleases(at, limit, end, first) == Walk::NeedMore)
                return Walk::NeedMore;
            for (std::size_t k = at + 1; k < first && k < end_index; ++k) {
                if (ModifierOfKey(At(k).seen.row.vk) & At(at).seen.row.mods)
                    At(k).by_tool = true;
            }
            if (first >= end_index || first >= limit || !Close(At(at).seen, At(first).seen))
                break;
            const Row& a = At(at).seen.row;
            const Row& f = At(first).seen.row;
            if (f.vk != a.vk || f.mods == a.mods || (f.mods & ~a.mods) != 0)
                break;
            if (SkipModifierReleases(first, limit, end, second) == Walk::NeedMore)
                return Walk::NeedMore;
            if (second >= end_index || second >= limit || !Close(At(first).seen, At(second).seen))
                break;
            const Row& s = At(second).seen.row;
            bool press_first = f.kind == RowKind::Press && s.kind == RowKind::Release;
            bool release_first = f.kind == RowKind::Release && s.kind == RowKind::Press;
            if ((!press_first && !release_first) || s.vk != f.vk || s.mods != f.mods)
                break;
            found.push_back({at, first});
            seconds.push_back(second);
            at = press_first ? second : first;
        }
        std::shared_ptr<EchoFacts> before;
        for (std::size_t n = 0; n < found.size(); ++n) {
            auto [at, first] = found[n];
            std::size_t second = seconds[n];
            bool press_first = At(first).seen.row.kind == RowKind::Press;
            auto echo = std::make_shared<EchoFacts>();
            echo->id = echoes_++;
            echo->passed = At(at).seen;
            echo->press = At(press_first ? first : second).seen;
            echo->release = At(press_first ? second : first).seen;
            unsigned dropped = echo->passed.row.mods & ~echo->press.row.mods;
            // Released by the tool's own pass-through, or by the user before the key.
            for (std::size_t k = at + 1; k < first && !echo->tool_released_line; ++k) {
                const Row& r = At(k).seen.row;
                if (r.kind == RowKind::Release && (ModifierOfKey(r.vk) & dropped))
                    echo->tool_released_line = r.line;
            }
            if (!echo->tool_released_line) {
                int line = 0;
                for (int bit = 0; bit < 3; ++bit) {
                    if (dropped & (1u << bit))
                        line = std::max(line, At(at).modifier_released[bit]);
                }
                if (line > 0)
                    echo->user_released_line = line;
            }
            if (before)
                before->echoed_again_line = echo->press.row.line;
            At(first).is_echo = At(second).is_echo = true;
            At(first).echo = At(second).echo = echo;
            before = echo;
        }
        return Walk::Done;
    }

    // Whether the row after INDEX is of another key that is no modifier: then no echo
    // starts at INDEX, and the chain need not be walked.
    bool OtherKeyNext(std::size_t index, std::size_t end_index) {
        if (index + 1 >= end_index)
            return false;
        const Row& next = At(index + 1).seen.row;
        return next.vk != At(index).seen.row.vk && ModifierOfKey(next.vk) == 0;
    }

    // Walks the echo chains that the window can decide and pairs the rows before them.
    void Settle(bool end) {
        while (!window_.empty()) {
            std::size_t end_index = window_.front().seen.index + window_.size();
            while (scan_ < end_index) {
                const Entry& e = At(scan_);
                const Row& r = e.seen.row;
                if (r.kind == RowKind::Release && ModifierOfKey(r.vk) == 0 && !e.is_echo &&
                    !OtherKeyNext(scan_, end_index) && EchoChain(scan_, end) == Walk::NeedMore)
                    break;
                ++scan_;
            }
            while (!window_.empty() && window_.front().seen.index < scan_) {
                Process(window_.front());
                window_.pop_front();
            }
            if (scan_ >= end_index || !end)
                break;
        }
        // Try again when the window has doubled, so a long wait costs no more than its rows.
        retry_at_ = std::max<std::size_t>(2, window_.size() * 2);
    }

    // Tells every listener.
    template <typename F> void Tell(F&& f) {
        for (AnalysisListener* l : listeners_)
            f(*l);
    }

    // Pairs one settled row, counts it and tells the listeners what it is.
    void Process(const Entry& e) {
        const Seen& s = e.seen;
        const Row& row = s.row;
        ++totals_.rows;
        if (!totals_.first)
            totals_.first = s;
        std::optional<FindingFacts> tick_back, fault;
        bool wrap = false;
        if (last_) {
            std::int32_t step = TickDiff(last_->row.tick, row.tick);
            if (step < 0)
                tick_back =
                    Facts({FindingKind::TickBackwards, s.index, last_->index, step, std::nullopt},
                          s, *last_);
            else if (row.tick < last_->row.tick)
                wrap = true;
        }
        Role role = Role::Other;
        HoldState* hold = nullptr;
        bool closes = false;
        switch (row.kind) {
        case RowKind::Taken:
            Taken(row);
            last_non_quiet_ = s;
            break;
        case RowKind::Press:
        case RowKind::Release:
            KeyEvent(s);
            if (e.is_echo)
                role = Role::EchoRow;
            else if (e.by_tool)
                role = ToolRelease(s, hold, closes);
            else if (row.kind == RowKind::Press)
                role = Press(s, hold, fault);
            else
                role = Release(s, hold, fault, closes);
            break;
        case RowKind::Quiet:
            ++totals_.quiet_marks;
            CloseBurst(s);
            break;
        }
        Tell([&](AnalysisListener& l) {
            l.OnRow(s, role, hold, e.echo.get(), burst_ ? &*burst_ : nullptr);
        });
        if (wrap) {
            ++totals_.wraps;
            Tell([&](AnalysisListener& l) { l.OnWrap(*last_, s); });
        }
        if (tick_back)
            Found(*tick_back);
        if (e.echo && e.echo->First().index == s.index)
            Found(EchoFinding(*e.echo));
        if (fault)
            Found(*fault);
        if (row.kind == RowKind::Quiet)
            MarkStuck(s);
        if (closes) {
            Tell([&](AnalysisListener& l) { l.OnHoldClosed(*hold); });
            Free(row);
        }
        last_ = s;
        totals_.last = s;
    }

    // A finding with its rows.
    static FindingFacts Facts(const Finding& f, const Seen& row, std::optional<Seen> other) {
        FindingFacts facts;
        facts.finding = f;
        facts.row = row;
        facts.other = other;
        return facts;
    }

    // The finding of an echo, at its first row.
    static FindingFacts EchoFinding(const EchoFacts& echo) {
        FindingFacts facts =
            Facts({FindingKind::Echo, echo.First().index, echo.passed.index, 0, echo.id},
                  echo.First(), echo.passed);
        facts.echo_last_line = echo.Last().row.line;
        facts.tool_released_line = echo.tool_released_line;
        facts.user_released_line = echo.user_released_line;
        facts.echoed_again_line = echo.echoed_again_line;
        return facts;
    }

    // Counts a finding and tells the listeners.
    void Found(const FindingFacts& facts) {
        ++totals_.findings;
        if (facts.finding.kind == FindingKind::Echo)
            ++totals_.echoes;
        else
            ++totals_.faults;
        Tell([&](AnalysisListener& l) { l.OnFinding(facts); });
    }

    // Counts an "F" row, each combination once.
    void Taken(const Row& row) {
        ++totals_.taken_rows;
        Occupancy& occ = totals_.occupancy;
        bool& cell = occ.taken[row.vk][row.mods];
        if (!cell) {
            cell = true;
            ++occ.per_set[row.mods];
            ++occ.per_half[row.vk / 128][row.mods];
            ++occ.total;
        }
    }

    // Adds a press or release to the burst it belongs to, opening one if none is open.
    void KeyEvent(const Seen& s) {
        ++totals_.key_events;
        if (!burst_) {
            burst_ = BurstState{};
            burst_->id = totals_.bursts++;
            burst_->first = s;
            burst_->gap_from = last_non_quiet_;
            if (last_non_quiet_)
                burst_->gap_ms = Elapsed(*last_non_quiet_, s);
            burst_->last = s;
            Tell([&](AnalysisListener& l) { l.OnBurstOpened(*burst_); });
        }
        burst_->last = s;
        ++burst_->events;
        last_non_quiet_ = s;
    }

    // The open hold of the combination of ROW, or none.
    HoldState* OpenHold(const Row& row) {
        std::uint32_t slot = open_[row];
        return slot == 0 ? nullptr : &holds_[slot - 1];
    }

    // Slots of the pool in the order of their holds' presses.
    void SortById(std::vector<std::uint32_t>& slots) const {
        std::sort(slots.begin(), slots.end(),
                  [&](std::uint32_t a, std::uint32_t b) { return holds_[a].id < holds_[b].id; });
    }

    // Whether a slot of the pool holds no open hold.
    bool IsFree(std::size_t slot) const { return holds_[slot].id == kFree; }

    // A new open hold for the combination of ROW, in a free slot of the pool.
    HoldState& OpenNew(const Row& row) {
        std::uint32_t slot;
        if (!free_.empty()) {
            slot = free_.back();
            free_.pop_back();
        } else {
            slot = static_cast<std::uint32_t>(holds_.size());
            holds_.emplace_back();
        }
        open_[row] = slot + 1;
        holds_[slot] = HoldState{};
        return holds_[slot];
    }

    // Closes the open hold of the combination of ROW, freeing its slot.
    void Free(const Row& row) {
        std::uint32_t& slot = open_[row];
        holds_[slot - 1].id = kFree;
        free_.push_back(slot - 1);
        slot = 0;
    }

    // Opens a hold, or counts an auto-repeat on the open one; checks for chatter.
    Role Press(const Seen& s, HoldState*& hold, std::optional<FindingFacts>& fault) {
        const Row& row = s.row;
        if (std::optional<Seen>& rel = last_release_.At(row.vk); rel) {
            std::optional<std::int32_t> gap = Elapsed(*rel, s);
            if (gap && *gap >= 0 && *gap <= kChatterMs)
                fault =
                    Facts({FindingKind::Chatter, s.index, rel->index, *gap, std::nullopt}, s, *rel);
            rel.reset();
        }
        hold = OpenHold(row);
        if (hold) {
            ++hold->repeats;
            ++totals_.repeats;
            if (hold->first_repeat_line == 0)
                hold->first_repeat_line = row.line;
            hold->last_repeat_line = row.line;
            return Role::Repeat;
        }
        hold = &OpenNew(row);
        hold->id = static_cast<std::uint32_t>(totals_.holds++);
        hold->press = s;
        unmarked_.push_back(open_[row] - 1);
        return Role::Press;
    }

    // Closes the open hold of the same key and modifier set, if there is one.
    Role Release(const Seen& s, HoldState*& hold, std::optional<FindingFacts>& fault,
                 bool& closes) {
        const Row& row = s.row;
        last_release_.At(row.vk) = s;
        hold = OpenHold(row);
        if (!hold) {
            fault =
                Facts({FindingKind::ReleaseWithoutPress, s.index, std::nullopt, 0, std::nullopt}, s,
                      std::nullopt);
            return Role::Unpaired;
        }
        hold->release = s;
        hold->ms = Elapsed(hold->press, s);
        closes = true;
        return Role::Release;
    }

    // Closes the open hold of the modifier the tool released itself, its time unknown.
    Role ToolRelease(const Seen& s, HoldState*& hold, bool& closes) {
        hold = OpenHold(s.row);
        if (hold) {
            hold->release = s;
            hold->ms.reset();
            hold->by_tool = closes = true;
        }
        return Role::ToolRelease;
    }

    // Ends the open burst at QUIET (none: the end of the file).
    void CloseBurst(std::optional<Seen> quiet) {
        if (!burst_)
            return;
        burst_->quiet = quiet;
        Tell([&](AnalysisListener& l) { l.OnBurstClosed(*burst_); });
        burst_.reset();
    }

    // Presses made since the last quiet mark and still down are stuck. They stay open, so
    // that a late release is paired with them rather than reported on its own.
    void MarkStuck(std::optional<Seen> quiet) {
        std::vector<std::uint32_t> stuck;
        for (std::uint32_t slot : unmarked_) {
            if (!IsFree(slot) && !holds_[slot].stuck) {
                holds_[slot].stuck = true;
                stuck.push_back(slot);
            }
        }
        unmarked_.clear();
        SortById(stuck);
        for (std::uint32_t slot : stuck) {
            HoldState* hold = &holds_[slot];
            FindingFacts facts =
                Facts({FindingKind::Stuck, hold->press.index,
                       quiet ? std::optional(quiet->index) : std::nullopt, 0, hold->id},
                      hold->press, quiet);
            facts.hold_id = hold->id;
            Found(facts);
        }
    }

    std::vector<AnalysisListener*> listeners_;
    std::deque<Entry> window_;
    std::size_t next_index_ = 0;
    std::size_t scan_ = 0;     // the next row the echo search starts from
    std::size_t retry_at_ = 2; // window size at which to settle again
    std::optional<std::int32_t> last_tick_;
    int steps_back_ = 0;
    std::array<int, 3> modifier_released_{};
    std::size_t echoes_ = 0;

    Totals totals_;
    std::optional<Seen> last_;
    std::optional<Seen> last_non_quiet_;
    std::optional<BurstState> burst_;
    static constexpr std::uint32_t kFree = UINT32_MAX; // the id of a free slot
    std::deque<HoldState> holds_;                  // the pool the open holds are in (never moved)
    std::vector<std::uint32_t> free_;              // its free slots
    ComboTable<std::uint32_t> open_;               // combination -> its slot + 1
    ComboTable<std::optional<Seen>> last_release_; // key code -> its last release
    std::vector<std::uint32_t> unmarked_; // slots of holds opened since the last quiet mark
};

StreamAnalyser::StreamAnalyser(std::vector<AnalysisListener*> listeners)
    : impl_(std::make_unique<Impl>(std::move(listeners))) {}

StreamAnalyser::~StreamAnalyser() = default;

// Takes the next row.
void StreamAnalyser::Add(const Row& row) {
    impl_->Add(row);
}

// Ends the file.
void StreamAnalyser::Finish() {
    impl_->Finish();
}

namespace {

// Collects what the pass says into one Analysis of rows in memory.
class Collector : public AnalysisListener {
  public:
    // Fills OUT, sized for ROWS rows.
    Collector(Analysis& out, std::size_t rows) : out_(out) {
        out_.is_echo.assign(rows, false);
        out_.steps_back.assign(rows, 0);
    }
    void OnRow(const Seen& s, Role role, const HoldState* hold, const EchoFacts* echo,
               const BurstState*) override {
        out_.steps_back[s.index] = s.steps_back;
        out_.is_echo[s.index] = role == Role::EchoRow || role == Role::ToolRelease;
        if (echo && echo->First().index == s.index)
            out_.echoes.push_back({echo->passed.index, echo->press.index, echo->release.index});
        if (role == Role::Press) {
            out_.holds.push_back(Hold{});
            out_.holds.back().press = s.index;
        } else if (role == Role::Repeat) {
            out_.holds[hold->id].repeats.push_back(s.index);
        }
    }
    void OnFinding(const FindingFacts& facts) override {
        out_.findings.push_back(facts.finding);
        if (facts.finding.kind == FindingKind::Stuck)
            out_.holds[facts.hold_id].stuck = true;
    }
    void OnHoldClosed(const HoldState& hold) override {
        Hold& h = out_.holds[hold.id];
        if (hold.release)
            h.release = hold.release->index;
        h.ms = hold.ms;
        h.by_tool = hold.by_tool;
    }
    void OnBurstOpened(const BurstState&) override {}
    void OnBurstClosed(const BurstState& b) override {
        Burst burst;
        burst.first = b.first.index;
        burst.last = b.last.index;
        if (b.quiet)
            burst.quiet = b.quiet->index;
        burst.events = b.events;
        burst.length_ms = b.LengthMs();
        if (b.gap_from)
            burst.gap_from = b.gap_from->index;
        burst.gap_ms = b.gap_ms;
        out_.bursts.push_back(burst);
    }
    void OnWrap(const Seen&, const Seen& row) override { out_.wraps.push_back(row.index); }
    void OnEnd(const Totals& totals) override {
        out_.occupancy = totals.occupancy;
        out_.key_events = totals.key_events;
        out_.taken_rows = totals.taken_rows;
        out_.quiet_marks = totals.quiet_marks;
        std::stable_sort(out_.findings.begin(), out_.findings.end(),
                         [](const Finding& a, const Finding& b) { return a.row < b.row; });
    }

  private:
    Analysis& out_;
};

} // namespace

// Feeds the rows to one pass.
void RunPass(const std::vector<Row>& rows, std::vector<AnalysisListener*> listeners) {
    StreamAnalyser pass(std::move(listeners));
    for (const Row& row : rows)
        pass.Add(row);
    pass.Finish();
}

// Analyses the rows of one data file.
Analysis Analyse(const std::vector<Row>& rows) {
    Analysis out;
    Collector collector(out, rows.size());
    RunPass(rows, {&collector});
    return out;
}

} // namespace report
