// fleet.cpp - many data files at once: a few numbers of each, and what they share or not.
//
// Choices:
//  - A faulty key is a key code with a stuck press, chatter or a release without press; a
//    tick that goes backwards is the device's clock, not a key, and an echo is no fault.
//  - A combination on some files is listed with the files on the smaller side: those that
//    hold it, or those that do not ("not on: ...").
#include "fleet.h"

#include "render.h"

#include <algorithm>
#include <map>
#include <sstream>

namespace report {

// Counts the finding by kind and keeps the key of a key fault.
void FileSummary::OnFinding(const FindingFacts& facts) {
    const FindingKind kind = facts.finding.kind;
    ++file_.found[static_cast<std::size_t>(kind)];
    if (kind == FindingKind::Stuck || kind == FindingKind::Chatter ||
        kind == FindingKind::ReleaseWithoutPress) {
        std::pair<std::uint16_t, FindingKind> key{facts.row.row.vk, kind};
        auto at = std::lower_bound(file_.faulty.begin(), file_.faulty.end(), key);
        if (at == file_.faulty.end() || *at != key)
            file_.faulty.insert(at, key);
    }
}

// Keeps the counts and the taken combinations.
void FileSummary::OnEnd(const Totals& totals) {
    file_.rows = totals.rows;
    file_.taken = totals.occupancy.total;
    for (unsigned vk = 0; vk < 256; ++vk) {
        for (unsigned set = 0; set < 8; ++set)
            file_.occupancy[vk * 8 + set] = totals.occupancy.taken[vk][set];
    }
}

// Counts, combinations and keys across the files read.
FleetView ViewFleet(const std::vector<FleetFile>& files) {
    FleetView view;
    std::vector<std::size_t> holding(256 * 8, 0);
    std::map<unsigned, FaultyKey> faulty;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const FleetFile& file = files[i];
        if (!file.Read()) {
            view.skipped.push_back(i);
            continue;
        }
        ++view.read;
        for (std::size_t kind = 0; kind < kFindingKinds; ++kind)
            view.with_kind[kind] += file.found[kind] > 0;
        for (std::size_t combo = 0; combo < holding.size(); ++combo)
            holding[combo] += file.occupancy[combo];
        for (const auto& [vk, kind] : file.faulty) {
            FaultyKey& key = faulty[vk];
            key.vk = vk;
            key.files[static_cast<std::size_t>(kind)].push_back(i);
        }
    }
    for (std::size_t combo = 0; combo < holding.size(); ++combo) {
        if (holding[combo] > 0 && holding[combo] < view.read) {
            view.split.push_back({static_cast<unsigned>(combo / 8),
                                  static_cast<unsigned>(combo % 8), holding[combo]});
        }
    }
    for (auto& [vk, key] : faulty)
        view.faulty.push_back(std::move(key));
    return view;
}

// The files read that hold COMBO (ON) or do not.
std::vector<std::size_t> FilesWith(const std::vector<FleetFile>& files, const SplitCombo& combo,
                                   bool on) {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (files[i].Read() && files[i].Taken(combo.vk, combo.set) == on)
            out.push_back(i);
    }
    return out;
}

namespace {

// "R rows, T taken, F faults: ..." or "not read: why".
std::string FleetFileText(const FleetFile& file) {
    if (!file.Read())
        return "not read: " + file.error;
    std::string text =
        Plural(file.rows, "row", "rows") + ", " + std::to_string(file.taken) + " taken, ";
    std::size_t faults = 0;
    std::string kinds;
    for (std::size_t kind = 0; kind < kFindingKinds; ++kind) {
        const std::size_t n = file.found[kind];
        if (n == 0 || static_cast<FindingKind>(kind) == FindingKind::Echo)
            continue;
        faults += n;
        kinds += (kinds.empty() ? "" : ", ") + std::to_string(n) + " " +
                 FindingLabel(static_cast<FindingKind>(kind), n);
    }
    text += faults == 0 ? "no faults" : Plural(faults, "fault", "faults") + ": " + kinds;
    const std::size_t echoes = file.found[static_cast<std::size_t>(FindingKind::Echo)];
    if (echoes > 0)
        text += "; " + Plural(echoes, "echo", "echoes");
    if (file.cut_line > 0)
        text += "; cut short at line " + std::to_string(file.cut_line);
    return text;
}

// The names of the files at INDICES, comma-separated.
std::string Names(const std::vector<FleetFile>& files, const std::vector<std::size_t>& indices) {
    std::string out;
    for (std::size_t i : indices)
        out += (out.empty() ? "" : ", ") + files[i].name;
    return out;
}

} // namespace

// The fleet in words.
std::string RenderFleetText(const std::vector<FleetFile>& files) {
    std::ostringstream out;
    for (const FleetFile& file : files)
        out << file.name << ": " << FleetFileText(file) << "\n";
    const FleetView view = ViewFleet(files);
    out << "\n" << Plural(view.read, "file", "files") << "\n";
    if (!view.skipped.empty()) {
        out << "Not read: " << Plural(view.skipped.size(), "file", "files") << ": "
            << Names(files, view.skipped) << "\n";
    }
    out << "Files with each finding:\n";
    for (std::size_t kind = 0; kind < kFindingKinds; ++kind) {
        char line[80];
        std::snprintf(line, sizeof line, "  %-24s %zu of %zu\n",
                      FindingLabel(static_cast<FindingKind>(kind)).c_str(), view.with_kind[kind],
                      view.read);
        out << line;
    }
    out << "Taken on some files, not all: "
        << Plural(view.split.size(), "combination", "combinations") << "\n";
    for (const SplitCombo& combo : view.split) {
        const bool few = combo.on * 2 <= view.read;
        out << "  " << TakenName(combo.vk, combo.set) << ": on " << combo.on << " of " << view.read
            << (few ? ": " : ", not on: ") << Names(files, FilesWith(files, combo, few)) << "\n";
    }
    out << "Faulty keys: " << view.faulty.size() << "\n";
    for (const FaultyKey& key : view.faulty) {
        out << "  " << KeyName(key.vk);
        const char* separator = ": ";
        for (std::size_t kind = 0; kind < kFindingKinds; ++kind) {
            if (key.files[kind].empty())
                continue;
            out << separator << FindingLabel(static_cast<FindingKind>(kind)) << " on "
                << Names(files, key.files[kind]);
            separator = "; ";
        }
        out << "\n";
    }
    return out.str();
}

} // namespace report
