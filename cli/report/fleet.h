// fleet.h - many data files at once, one from each device of a fleet: what each file holds
// in a few numbers, and what the files share or not (findings, taken combinations, faulty
// keys). Only these few numbers are kept of each file, never its rows.
#pragma once

#include "analysis.h"

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace report {

// The finding kinds, in the order the fleet lists them.
inline constexpr std::size_t kFindingKinds = 5;

// What the fleet keeps of one data file.
struct FleetFile {
    std::string name;  // as messages name it
    std::string error; // why it was not read ("FILE:LINE: what"); empty when read
    std::size_t rows = 0;
    int taken = 0;                                  // distinct taken combinations
    std::array<std::size_t, kFindingKinds> found{}; // findings by FindingKind
    int cut_line = 0;                               // the line it was cut short at; 0 whole
    std::bitset<256 * 8> occupancy;                 // taken: [key code * 8 + modifier set]
    std::vector<std::pair<std::uint16_t, FindingKind>> faulty; // keys with a fault, sorted

    bool Read() const { return error.empty(); }
    bool Taken(unsigned vk, unsigned set) const { return occupancy[vk * 8 + set]; }
};

// Fills a FleetFile as one pass over its rows goes.
class FileSummary : public AnalysisListener {
  public:
    explicit FileSummary(FleetFile& file) : file_(file) {}
    bool WantsEveryRow() const override { return false; }
    void OnFinding(const FindingFacts& facts) override;
    void OnEnd(const Totals& totals) override;

  private:
    FleetFile& file_;
};

// A taken combination that some files hold and others do not.
struct SplitCombo {
    unsigned vk = 0, set = 0;
    std::size_t on = 0; // files that hold it
};

// A key with faults, and on which files (indices into the fleet's files), by kind.
struct FaultyKey {
    unsigned vk = 0;
    std::array<std::vector<std::size_t>, kFindingKinds> files;
};

// What the files read show together.
struct FleetView {
    std::size_t read = 0;                               // files read
    std::vector<std::size_t> skipped;                   // files not read
    std::array<std::size_t, kFindingKinds> with_kind{}; // files with each finding kind
    std::vector<SplitCombo> split;                      // by key code, then modifier set
    std::vector<FaultyKey> faulty;                      // by key code
};

// The fleet view of FILES.
FleetView ViewFleet(const std::vector<FleetFile>& files);

// The files of the fleet that hold the combination (ON true) or do not, among those read.
std::vector<std::size_t> FilesWith(const std::vector<FleetFile>& files, const SplitCombo& combo,
                                   bool on);

// The fleet in words: a line per file, then "N files", the findings by files, the taken
// combinations on some files and not all, the faulty keys and where.
std::string RenderFleetText(const std::vector<FleetFile>& files);

} // namespace report
