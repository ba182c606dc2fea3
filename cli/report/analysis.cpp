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
    explicit Impl(std::vector<AnalysisListener*> listeners) : listeners_(std::move(listeners)) {
        for (AnalysisListener* l : listeners_) {
            if (l->WantsEveryRow())
                row_listeners_.push_back(l);
        }
    }

    // Takes the next row into the window and settles what can be settled.
    void Add(const Row& row) {
        if (next_index_ - first_ == mask_ + 1)
            Grow();
        Entry& entry = At(next_index_);
        entry.seen.row = row;
        entry.seen.index = static_cast<std::uint32_t>(next_index_++);
        if (started_ && TickDiff(last_tick_, row.tick) < 0)
            ++steps_back_;
        started_ = true;
        last_tick_ = row.tick;
        entry.seen.steps_back = steps_back_;
        entry.modifier = static_cast<std::uint8_t>(ModifierOfKey(row.vk));
        entry.is_echo = entry.by_tool = false;
        entry.modifier_released = modifier_released_;
        if (row.kind == RowKind::Release) {
            for (int bit = 0; bit < 3; ++bit) {
                if (entry.modifier & (1u << bit))
                    modifier_released_[bit] = row.line;
            }
        }
        if (next_index_ - first_ >= retry_at_)
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
            HoldClosed(View(holds_[slot]));
        totals_.last = last_;
        for (AnalysisListener* l : listeners_)
            l->OnEnd(totals_);
    }

  private:
    struct Entry {
        Seen seen;
        std::uint8_t modifier = 0; // the modifier bit of the row's key, 0 for another key
        bool is_echo = false;
        bool by_tool = false;                   // the tool's own release of a modifier
        std::shared_ptr<EchoFacts> echo;        // at both rows of an echo and the release passed on
        std::array<int, 3> modifier_released{}; // the line of each modifier's last release
                                                // before this row (bit order), 0: none
    };

    // An open hold as the pool keeps it: its press without the parts every press shares.
    struct OpenHold {
        std::uint32_t id = 0, repeats = 0, index = 0;
        std::int32_t line = 0, tick = 0, steps_back = 0;
        std::int32_t first_repeat_line = 0, last_repeat_line = 0;
        std::uint16_t vk = 0;
        std::uint8_t mods = 0;
        bool stuck = false;
    };

    // A finding at the row being paired, made into its facts only when there is one.
    struct Fault {
        FindingKind kind;
        std::optional<Seen> other;
        std::int32_t ms = 0;
    };

    // The window position of absolute row INDEX: the window is a ring of a power of two.
    Entry& At(std::size_t index) { return ring_[index & mask_]; }

    // Doubles the ring, each row of the window moving to its place in the larger one.
    void Grow() {
        std::vector<Entry> larger(ring_.empty() ? 64 : 2 * ring_.size());
        for (std::size_t i = first_; i < next_index_; ++i)
            larger[i & (larger.size() - 1)] = std::move(At(i));
        ring_ = std::move(larger);
        mask_ = ring_.size() - 1;
    }

    // Whether row B follows row A within kEchoMs.
    static bool Close(const Seen& a, const Seen& b) {
        std::optional<std::int32_t> ms = Elapsed(a, b);
        return ms && *ms >= 0 && *ms <= kEchoMs;
    }

    enum class Walk { Done, NeedMore };

    // The next row after FROM that is not the release of a modifier key made close to it;
    // NeedMore when the window ends first and more rows may come.
    Walk SkipModifierReleases(std::size_t from, std::size_t limit, bool end, std::size_t& next) {
        next = from + 1;
        while (next < next_index_ && next < limit) {
            const Entry& e = At(next);
            if (e.seen.row.kind != RowKind::Release || e.modifier == 0 ||
                !Close(At(from).seen, e.seen))
                return Walk::Done;
            ++next;
        }
        if (next >= limit)
            return Walk::Done; // looked far enough: no echo
        return end ? Walk::Done : Walk::NeedMore;
    }

    // Follows the chain of echoes from the release at START; commits it once it is known.
    Walk EchoChain(std::size_t start, bool end) {
        const std::size_t end_index = next_index_;
        std::size_t limit = start + kLookAhead;
        std::vector<std::pair<std::size_t, std::size_t>> found; // {at, press/release first}
        std::vector<std::size_t> seconds;
        for (std::size_t at = start;;) {
            std::size_t first = 0, second = 0;
            if (SkipModifierReleases(at, limit, end, first) == Walk::NeedMore)
                return Walk::NeedMore;
            for (std::size_t k = at + 1; k < first && k < end_index; ++k) {
                if (At(k).modifier & At(at).seen.row.mods)
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
                if (r.kind == RowKind::Release && (At(k).modifier & dropped))
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
            if (!At(at).echo)
                At(at).echo = echo; // the release passed on; an echo row keeps its own
            before = echo;
        }
        return Walk::Done;
    }

    // Whether the row after INDEX is of another key that is no modifier: then no echo
    // starts at INDEX, and the chain need not be walked.
    bool OtherKeyNext(std::size_t index) {
        if (index + 1 >= next_index_)
            return false;
        const Entry& next = At(index + 1);
        return next.seen.row.vk != At(index).seen.row.vk && next.modifier == 0;
    }

    // Walks the echo chains that the window can decide and pairs the rows before them.
    void Settle(bool end) {
        while (first_ < next_index_) {
            while (scan_ < next_index_) {
                const Entry& e = At(scan_);
                if (e.seen.row.kind == RowKind::Release && e.modifier == 0 && !e.is_echo &&
                    !OtherKeyNext(scan_) && EchoChain(scan_, end) == Walk::NeedMore)
                    break;
                ++scan_;
            }
            for (; first_ < scan_; ++first_) {
                Entry& e = At(first_);
                Process(e);
                e.echo.reset();
            }
            if (scan_ >= next_index_ || !end)
                break;
        }
        // Try again when the window has doubled, so a long wait costs no more than its rows.
        retry_at_ = std::max<std::size_t>(2, (next_index_ - first_) * 2);
    }

    // Tells every listener.
    template <typename F> void Tell(F&& f) {
        for (AnalysisListener* l : listeners_)
            f(*l);
    }

    // Tells the listeners that want every row.
    template <typename F> void TellRows(F&& f) {
        for (AnalysisListener* l : row_listeners_)
            f(*l);
    }

    // Pairs one settled row, counts it and tells the listeners what it is.
    void Process(const Entry& e) {
        const Seen& s = e.seen;
        const Row& row = s.row;
        ++totals_.rows;
        if (!totals_.first)
            totals_.first = s;
        std::optional<Fault> tick_back, fault;
        bool wrap = false;
        if (last_) {
            std::int32_t step = TickDiff(last_->row.tick, row.tick);
            if (step < 0)
                tick_back = Fault{FindingKind::TickBackwards, *last_, step};
            else
                totals_.forward_ms += step;
            if (step >= 0 && row.tick < last_->row.tick)
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
        TellRows([&](AnalysisListener& l) {
            l.OnRow(s, role, hold, e.echo.get(), burst_ ? &*burst_ : nullptr);
        });
        if (wrap) {
            ++totals_.wraps;
            Tell([&](AnalysisListener& l) { l.OnWrap(*last_, s); });
        }
        if (tick_back)
            Found(Facts(s, *tick_back));
        if (e.echo && e.echo->First().index == s.index)
            Found(EchoFinding(*e.echo));
        if (fault)
            Found(Facts(s, *fault));
        if (row.kind == RowKind::Quiet)
            MarkStuck(s);
        if (closes) {
            if (hold)
                HoldClosed(*hold);
            Free(row);
        }
        last_ = s;
    }

    // A finding with its rows.
    static FindingFacts Facts(const Finding& f, const Seen& row, std::optional<Seen> other) {
        FindingFacts facts;
        facts.finding = f;
        facts.row = row;
        facts.other = other;
        return facts;
    }

    // The facts of a fault found at ROW.
    static FindingFacts Facts(const Seen& row, const Fault& fault) {
        std::optional<std::size_t> other;
        if (fault.other)
            other = fault.other->index;
        return Facts({fault.kind, row.index, other, fault.ms, std::nullopt}, row, fault.other);
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

    // A hold closed: told to every listener when it was found stuck, else to those that
    // want every row.
    void HoldClosed(const HoldState& hold) {
        for (AnalysisListener* l : hold.stuck ? listeners_ : row_listeners_)
            l->OnHoldClosed(hold);
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
            TellRows([&](AnalysisListener& l) { l.OnBurstOpened(*burst_); });
        }
        burst_->last = s;
        ++burst_->events;
        last_non_quiet_ = s;
    }

    // The hold the listeners see of an open hold.
    static HoldState View(const OpenHold& open) {
        HoldState hold;
        hold.id = open.id;
        hold.repeats = open.repeats;
        hold.press.row = {open.line, open.tick, open.vk, RowKind::Press, open.mods};
        hold.press.index = open.index;
        hold.press.steps_back = open.steps_back;
        hold.first_repeat_line = open.first_repeat_line;
        hold.last_repeat_line = open.last_repeat_line;
        hold.stuck = open.stuck;
        return hold;
    }

    // The open hold of the combination of ROW, or none.
    OpenHold* OpenHoldOf(const Row& row) {
        std::uint32_t slot = open_[row];
        return slot == 0 ? nullptr : &holds_[slot - 1];
    }

    // The hold the listeners are told of, from OPEN; none when no listener wants rows.
    HoldState* Told(const OpenHold& open) {
        if (row_listeners_.empty())
            return nullptr;
        told_ = View(open);
        return &told_;
    }

    // Slots of the pool in the order of their holds' presses.
    void SortById(std::vector<std::uint32_t>& slots) const {
        std::sort(slots.begin(), slots.end(),
                  [&](std::uint32_t a, std::uint32_t b) { return holds_[a].id < holds_[b].id; });
    }

    // Whether a slot of the pool holds no open hold.
    bool IsFree(std::size_t slot) const { return holds_[slot].id == kFree; }

    // A new open hold for the combination of ROW, in a free slot of the pool.
    OpenHold& OpenNew(const Row& row) {
        std::uint32_t slot;
        if (!free_.empty()) {
            slot = free_.back();
            free_.pop_back();
        } else {
            slot = static_cast<std::uint32_t>(holds_.size());
            holds_.emplace_back();
        }
        open_[row] = slot + 1;
        holds_[slot] = OpenHold{};
        unmarked_.push_back(slot);
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
    Role Press(const Seen& s, HoldState*& hold, std::optional<Fault>& fault) {
        const Row& row = s.row;
        if (std::optional<Seen>& rel = last_release_.At(row.vk); rel) {
            std::optional<std::int32_t> gap = Elapsed(*rel, s);
            if (gap && *gap >= 0 && *gap <= kChatterMs)
                fault = Fault{FindingKind::Chatter, *rel, *gap};
            rel.reset();
        }
        if (OpenHold* open = OpenHoldOf(row)) {
            ++open->repeats;
            ++totals_.repeats;
            if (open->first_repeat_line == 0)
                open->first_repeat_line = row.line;
            open->last_repeat_line = row.line;
            hold = Told(*open);
            return Role::Repeat;
        }
        OpenHold& open = OpenNew(row);
        open.id = static_cast<std::uint32_t>(totals_.holds++);
        open.index = s.index;
        open.line = row.line;
        open.tick = row.tick;
        open.steps_back = s.steps_back;
        open.vk = row.vk;
        open.mods = row.mods;
        hold = Told(open);
        return Role::Press;
    }

    // Closes the open hold of the same key and modifier set, if there is one.
    Role Release(const Seen& s, HoldState*& hold, std::optional<Fault>& fault, bool& closes) {
        const Row& row = s.row;
        last_release_.At(row.vk) = s;
        OpenHold* open = OpenHoldOf(row);
        if (!open) {
            fault = Fault{FindingKind::ReleaseWithoutPress, std::nullopt, 0};
            return Role::Unpaired;
        }
        closes = true;
        if (row_listeners_.empty() && !open->stuck)
            return Role::Release; // no one to tell
        told_ = View(*open);
        told_.release = s;
        told_.ms = Elapsed(told_.press, s);
        hold = &told_;
        return Role::Release;
    }

    // Closes the open hold of the modifier the tool released itself, its time unknown.
    Role ToolRelease(const Seen& s, HoldState*& hold, bool& closes) {
        if (OpenHold* open = OpenHoldOf(s.row)) {
            told_ = View(*open);
            told_.release = s;
            told_.by_tool = closes = true;
            hold = &told_;
        }
        return Role::ToolRelease;
    }

    // Ends the open burst at QUIET (none: the end of the file).
    void CloseBurst(std::optional<Seen> quiet) {
        if (!burst_)
            return;
        burst_->quiet = quiet;
        TellRows([&](AnalysisListener& l) { l.OnBurstClosed(*burst_); });
        burst_.reset();
    }

    // Presses made since the last quiet mark and still down are stuck. They stay open, so
    // that a late release is paired with them rather than reported on its own.
    void MarkStuck(std::optional<Seen> quiet) {
        // The slots still open and not yet stuck, kept in place; a slot freed and taken
        // again is listed twice, and the sort by press puts its hold where it belongs.
        std::size_t stuck = 0;
        for (std::uint32_t slot : unmarked_) {
            if (!IsFree(slot) && !holds_[slot].stuck) {
                holds_[slot].stuck = true;
                unmarked_[stuck++] = slot;
            }
        }
        unmarked_.resize(stuck);
        SortById(unmarked_);
        for (std::uint32_t slot : unmarked_) {
            const OpenHold& hold = holds_[slot];
            FindingFacts facts =
                Facts({FindingKind::Stuck, hold.index,
                       quiet ? std::optional(quiet->index) : std::nullopt, 0, hold.id},
                      View(hold).press, quiet);
            facts.hold_id = hold.id;
            Found(facts);
        }
        unmarked_.clear();
    }

    std::vector<AnalysisListener*> listeners_;
    std::vector<AnalysisListener*> row_listeners_; // those that want every row
    std::vector<Entry> ring_;                      // the window: rows first_ to next_index_
    std::size_t mask_ = SIZE_MAX;                  // its size less one
    std::size_t first_ = 0;                        // the window's first row
    std::size_t next_index_ = 0;
    std::size_t scan_ = 0;     // the next row the echo search starts from
    std::size_t retry_at_ = 2; // window size at which to settle again
    bool started_ = false;     // a row was added
    std::int32_t last_tick_ = 0;
    int steps_back_ = 0;
    std::array<int, 3> modifier_released_{};
    std::size_t echoes_ = 0;

    Totals totals_;
    std::optional<Seen> last_;
    std::optional<Seen> last_non_quiet_;
    std::optional<BurstState> burst_;
    static constexpr std::uint32_t kFree = UINT32_MAX; // the id of a free slot
    std::deque<OpenHold> holds_;                       // the pool the open holds are in
    std::vector<std::uint32_t> free_;                  // its free slots
    ComboTable<std::uint32_t> open_;                   // combination -> its slot + 1
    ComboTable<std::optional<Seen>> last_release_;     // key code -> its last release
    std::vector<std::uint32_t> unmarked_; // slots of holds opened since the last quiet mark
    HoldState told_;                      // the hold the listeners are told of
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
