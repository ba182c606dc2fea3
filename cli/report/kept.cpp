// kept.cpp - what the page and the timeline picture keep of a pass over the rows.
//
// Choices:
//  - A row a listed finding links to is mostly one just passed (the row before, the release
//    a chatter follows, the release an echo follows, the quiet mark that made a key stuck),
//    so the last kRecent rows and the last release of each key are kept with their notes;
//    a stuck key's press is named by its own finding.
//  - The timeline keeps at most kTimelineRows rows, whatever they are (a file of taken rows
//    alone would otherwise keep them all before its first key event).
#include "kept.h"

#include "render.h"

#include <algorithm>

namespace report {

namespace {

constexpr std::size_t kRecent = 64;
constexpr std::size_t kTimelineRows = 100000;

// "held N ms, K auto-repeats, released at line R" for a press's note.
std::string HeldNote(const HoldState& hold) {
    std::string held = hold.ms ? std::to_string(*hold.ms) + " ms" : "an unknown time";
    return "held " + held +
           (hold.repeats == 0 ? "" : ", " + Plural(hold.repeats, "auto-repeat", "auto-repeats")) +
           (hold.by_tool ? ", released by the tool itself at line " : ", released at line ") +
           std::to_string(hold.release->row.line);
}

} // namespace

Kept::Kept(const PageLimits& limits) : limits_(limits) {}

// A fault at the row is its note (the last one wins; echoes are not faults).
void Kept::SetFault(KeptRow& row, const FindingFacts& facts) {
    if (facts.finding.kind != FindingKind::Echo)
        row.fault = facts;
}

// The row among those kept, or kept now from the recent ones.
KeptRow& Kept::Link(const Seen& s) {
    auto at = rows_.find(s.index);
    if (at == rows_.end()) {
        KeptRow row{s, "", "", std::nullopt, false};
        auto recent = std::find_if(recent_.rbegin(), recent_.rend(),
                                   [&](const KeptRow& k) { return k.seen.index == s.index; });
        auto release = last_release_.find(s.row.vk);
        if (recent != recent_.rend())
            row = *recent;
        else if (release != last_release_.end() && release->second.seen.index == s.index)
            row = release->second;
        at = rows_.emplace(s.index, row).first;
    }
    at->second.linked = true;
    return at->second;
}

// Keeps the first rows of the timeline until it is known where it stops.
void Kept::KeepForTimeline(const Seen& s) {
    prefix_.push_back(s);
    const std::size_t max = limits_.timeline_key_events;
    bool key = s.row.kind == RowKind::Press || s.row.kind == RowKind::Release;
    if (!limit_at_) {
        prefix_events_ += key;
        if (prefix_events_ >= max)
            limit_at_ = prefix_.size();
    } else if (s.row.kind == RowKind::Quiet || (key && ++beyond_ > max / 5)) {
        prefix_done_ = true;
    }
    if (prefix_.size() >= kTimelineRows)
        prefix_done_ = true;
}

// Keeps the row where the page or the timeline needs it, with the note the table gives it.
void Kept::OnRow(const Seen& s, Role role, const HoldState* hold, const EchoFacts* echo,
                 const BurstState*) {
    KeptRow row{s, "", "", std::nullopt, false};
    switch (role) {
    case Role::Other:
        row.cls = s.row.kind == RowKind::Taken ? "taken" : "quiet";
        row.note = s.row.kind == RowKind::Taken ? "taken" : "quiet mark";
        break;
    case Role::Repeat:
        row.cls = "repeat";
        row.note = "auto-repeat of the press at line " + std::to_string(hold->press.row.line);
        break;
    case Role::Release:
        row.note = "pressed at line " + std::to_string(hold->press.row.line);
        break;
    case Role::EchoRow:
        row.cls = "echo";
        row.note = "echo of the pass-through at line " + std::to_string(echo->passed.row.line);
        break;
    case Role::ToolRelease:
        row.cls = "echo";
        row.note = "the tool's own release, passing a key on; the real release is not logged";
        break;
    default:
        break;
    }
    if (s.row.kind == RowKind::Release)
        last_release_[s.row.vk] = row;
    recent_.push_back(row);
    if (recent_.size() > kRecent)
        recent_.pop_front();
    if (s.index < limits_.rows)
        rows_.emplace(s.index, row);

    if (prefix_done_)
        return;
    KeepForTimeline(s);
    if (role == Role::Press || (role == Role::Repeat && holds_.count(hold->id)))
        holds_[hold->id] = *hold;
    if (role == Role::Repeat && holds_.count(hold->id))
        repeats_[hold->id].push_back(s.index);
    if (echo && echo->First().index == s.index)
        echoed_.insert(echo->passed.index);
}

// Notes the fault at its row, keeps the first findings listed and the rows they link to.
void Kept::OnFinding(const FindingFacts& f) {
    const std::size_t index = f.row.index;
    bool stuck = f.finding.kind == FindingKind::Stuck;
    if (!stuck) {
        SetFault(recent_.back(), f);
        if (auto release = last_release_.find(f.row.row.vk);
            release != last_release_.end() && release->second.seen.index == index)
            SetFault(release->second, f);
        if (index < prefix_.size())
            marks_.push_back(f);
    } else if (auto hold = holds_.find(f.hold_id); hold != holds_.end()) {
        hold->second.stuck = true;
    }
    if (auto row = rows_.find(index); row != rows_.end())
        SetFault(row->second, f);

    if (listed_.size() >= limits_.findings &&
        (limits_.findings == 0 || index >= std::prev(listed_.end())->first))
        return;
    auto at = listed_.emplace(index, f);
    if (stuck)
        listed_stuck_.emplace(f.hold_id, at);
    SetFault(Link(f.row), f);
    if (f.other)
        Link(*f.other);
    if (listed_.size() > limits_.findings) {
        auto last = std::prev(listed_.end());
        if (last->second.finding.kind == FindingKind::Stuck) {
            auto range = listed_stuck_.equal_range(last->second.hold_id);
            for (auto it = range.first; it != range.second; ++it) {
                if (it->second == last) {
                    listed_stuck_.erase(it);
                    break;
                }
            }
        }
        listed_.erase(last);
    }
}

// A release fills in its press's note and its stuck finding.
void Kept::OnHoldClosed(const HoldState& hold) {
    if (auto kept = holds_.find(hold.id); kept != holds_.end())
        kept->second = hold;
    auto fill = [&](FindingFacts& f) {
        f.release = hold.release;
        f.held_ms = hold.ms;
    };
    if (auto row = rows_.find(hold.press.index); row != rows_.end()) {
        if (hold.release)
            row->second.note = HeldNote(hold);
        if (row->second.fault && row->second.fault->finding.kind == FindingKind::Stuck)
            fill(*row->second.fault);
    }
    auto range = listed_stuck_.equal_range(hold.id);
    for (auto it = range.first; it != range.second; ++it)
        fill(it->second->second);
    listed_stuck_.erase(hold.id);
}

// The first wraps, each row shown.
void Kept::OnWrap(const Seen& before, const Seen& row) {
    if (wraps_.size() >= limits_.wraps)
        return;
    wraps_.push_back({before, row});
    Link(row);
}

// The rows the timeline draws: whole bursts up to MAX_KEY_EVENTS key events.
std::size_t TimelineRows(const std::vector<Row>& rows, std::size_t max_key_events) {
    auto is_key = [&](std::size_t i) {
        return rows[i].kind == RowKind::Press || rows[i].kind == RowKind::Release;
    };
    std::size_t events = 0;
    std::size_t i = 0;
    for (; i < rows.size() && events < max_key_events; ++i)
        events += is_key(i);
    // The burst of the last one drawn is drawn to its quiet mark, unless it goes on for
    // more than another fifth of the limit: then the picture stops at that key event.
    std::size_t more = 0;
    for (std::size_t j = i; j < rows.size(); ++j) {
        if (rows[j].kind == RowKind::Quiet)
            return j + 1;
        if (is_key(j) && ++more > max_key_events / 5)
            return i;
    }
    return rows.size();
}

} // namespace report
