// cli.cpp - the command line of tapwatcher-report: arguments, reading, writing the outputs.
#include "cli.h"

#include "analysis.h"
#include "datafile.h"
#include "options.h"
#include "render.h"
#include "replay.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>

#include "tapwatcher_version.h"

namespace report {

namespace {

namespace fs = std::filesystem;

// The description before the options in --help.
constexpr const char* kHelpHead = R"(
Reads FILE, a data file saved by the tool (tapwatcherdata.txt), and prints:
  - Occupancy: the combinations the device did not let the tool register (the F
    rows), as a grid of key code by modifier set, with a count per modifier set.
  - Key timeline: each press paired with its release (same key, same modifier set)
    and its hold time; the bursts of key events that the quiet marks end, with their
    event count, length and the gap before each.
  - Faults: stuck keys (still down at the next quiet mark or at the end of the file),
    chatter (the same key pressed again within 30 ms of its release), releases with
    no press, and ticks that go backwards. The tick is a 32-bit count that wraps (its
    text turns negative after 24.8 days and passes 0 again after 49.7 days); a wrap is
    not a fault.

)";

// The rest of --help, after the options.
constexpr const char* kHelpTail = R"(
Replay: every D or U row becomes "press KEY" or "release KEY" of that row's own key,
in row order, after "wait MS" of the tick difference from the row before. Nothing
else is added; in particular no modifier is pressed around a key. The tool logs
Shift, Ctrl and Alt as keys of their own, so their presses and releases are rows of
the file and are replayed in place. When the tool passes a released key on, it
releases the held modifiers itself and the device logs a U row for each; replayed,
the tool does the same and makes the same rows, and the scenario's own release of
that modifier finds the key already up and goes to the system.

Limits of the replay: a modifier with no press row (held before the capture began,
or its own combination taken) is not held during the replay, so the presses made
under it show other modifiers; the scenario lists them in comments. Run it under
the same executable name as the capture (capture-only or not) and with the profile
written from the same file, or the rows will differ. Auto-repeated presses are
replayed as presses of a key already down, and a release with no press before it
makes no row. Key codes above 0xFF cannot be replayed.

Nothing is written unless FILE reads in full without error; each output is written
to a temporary file beside it and then renamed into place.

Exit status: 0 done; 1 an output could not be written; 2 bad arguments, or a data
file that the tool cannot have written (the message names FILE:LINE).
)";

struct Options {
    std::string input;
    std::string svg;
    std::string scenario;
    std::string profile;
    bool help = false;
    bool version = false;
};

struct UsageError {
    std::string what;
};

// Reads the arguments; throws UsageError for anything it does not know.
Options ParseArgs(const std::vector<std::string>& args) {
    Options options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::string* target = nullptr;
        const cli::OptionDoc* option =
            arg.size() > 1 && arg.front() == '-' ? cli::FindOption(kCommand, arg) : nullptr;
        const std::string name = option != nullptr ? option->name : "";
        if (name == "--help") {
            options.help = true;
        } else if (name == "--version") {
            options.version = true;
        } else if (name == "--svg") {
            target = &options.svg;
        } else if (name == "--scenario") {
            target = &options.scenario;
        } else if (name == "--profile") {
            target = &options.profile;
        } else if (arg.size() > 1 && arg.front() == '-') {
            throw UsageError{"unknown option " + arg};
        } else if (!options.input.empty()) {
            throw UsageError{"more than one data file: " + options.input + " and " + arg};
        } else {
            options.input = arg;
        }
        if (target == nullptr)
            continue;
        if (i + 1 >= args.size() || args[i + 1].empty())
            throw UsageError{arg + " needs a file name"};
        if (!target->empty())
            throw UsageError{arg + " given twice"};
        *target = args[++i];
    }
    if (!options.help && !options.version && options.input.empty())
        throw UsageError{"no data file given"};
    return options;
}

// Whether two paths name the same file, as far as the file system can tell.
bool SamePath(const std::string& a, const std::string& b) {
    std::error_code ec;
    fs::path first = fs::weakly_canonical(a, ec);
    if (ec)
        first = fs::absolute(a);
    fs::path second = fs::weakly_canonical(b, ec);
    if (ec)
        second = fs::absolute(b);
    return first == second;
}

// The whole file as bytes; none, with ERROR set, when it cannot be read.
std::optional<std::string> ReadFile(const std::string& path, std::string& error) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        error = "is a directory";
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = "read error";
        return std::nullopt;
    }
    return bytes;
}

struct Output {
    std::string path;
    std::string content;
    std::string temp;
};

// Writes every output to a temporary file, then renames them all into place. On a
// failure the temporary files are removed and the message names the output.
bool WriteAll(std::vector<Output>& outputs, std::string& error) {
    auto clean_up = [&] {
        std::error_code ignored;
        for (const Output& output : outputs) {
            if (!output.temp.empty())
                fs::remove(output.temp, ignored);
        }
    };
    for (Output& output : outputs) {
        std::string temp = output.path + ".partial";
        std::ofstream file(temp, std::ios::binary | std::ios::trunc);
        if (file)
            output.temp = temp;
        file.write(output.content.data(), static_cast<std::streamsize>(output.content.size()));
        file.close();
        if (!file) {
            error = output.path + ": cannot write: " + std::strerror(errno);
            clean_up();
            return false;
        }
    }
    for (Output& output : outputs) {
        std::error_code ec;
        fs::rename(output.temp, output.path, ec);
        if (ec) {
            error = output.path + ": cannot write: " + ec.message();
            clean_up();
            return false;
        }
        output.temp.clear();
    }
    return true;
}

} // namespace

// Reads the data file, writes the outputs asked for, prints the report.
int RunReport(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Options options;
    try {
        options = ParseArgs(args);
    } catch (const UsageError& e) {
        err << "tapwatcher-report: " << e.what << "\n"
            << cli::UsageLine(kCommand) << "Try 'tapwatcher-report --help' for more.\n";
        return kExitBadInput;
    }
    if (options.help) {
        out << cli::UsageLine(kCommand) << kHelpHead << cli::OptionsHelp(kCommand, 19) << kHelpTail;
        return kExitOk;
    }
    if (options.version) {
        out << "tapwatcher-report " << TAPWATCHER_VERSION << " (source revision "
            << TAPWATCHER_REVISION << ")\n";
        return kExitOk;
    }

    std::vector<std::string> targets;
    for (const std::string* path : {&options.svg, &options.scenario, &options.profile}) {
        if (path->empty())
            continue;
        if (SamePath(*path, options.input)) {
            err << "tapwatcher-report: " << *path << ": would overwrite the data file\n";
            return kExitBadInput;
        }
        for (const std::string& earlier : targets) {
            if (SamePath(*path, earlier)) {
                err << "tapwatcher-report: " << *path << ": named for two outputs\n";
                return kExitBadInput;
            }
        }
        targets.push_back(*path);
    }

    std::string error;
    std::optional<std::string> bytes = ReadFile(options.input, error);
    if (!bytes) {
        err << options.input << ": cannot read: " << error << "\n";
        return kExitBadInput;
    }

    std::vector<Row> rows;
    try {
        rows = ParseDataFile(*bytes);
    } catch (const DataFileError& e) {
        err << options.input << ":" << e.Line() << ": " << e.what() << "\n";
        return kExitBadInput;
    }
    Analysis analysis = Analyse(rows);

    std::vector<Output> outputs;
    std::optional<Replay> replay;
    if (!options.scenario.empty() || !options.profile.empty()) {
        try {
            replay = BuildReplay(rows, fs::path(options.input).filename().string());
        } catch (const ReplayError& e) {
            err << options.input << ":" << e.Line() << ": " << e.what() << "\n";
            return kExitBadInput;
        }
    }
    std::string source = fs::path(options.input).filename().string();
    if (!options.svg.empty())
        outputs.push_back({options.svg, RenderSvg(analysis, source), ""});
    if (!options.scenario.empty())
        outputs.push_back({options.scenario, replay->scenario, ""});
    if (!options.profile.empty())
        outputs.push_back({options.profile, replay->profile, ""});
    if (!WriteAll(outputs, error)) {
        err << "tapwatcher-report: " << error << "\n";
        return kExitWriteFailed;
    }

    out << RenderText(rows, analysis, options.input);
    if (!options.svg.empty())
        out << "\nSVG picture: " << options.svg << "\n";
    if (!options.scenario.empty()) {
        out << "\nScenario: " << options.scenario << ", " << replay->key_events << " key events";
        if (!replay->differences.empty()) {
            std::size_t count = replay->differences.size();
            out << "; " << count << (count == 1 ? " row" : " rows")
                << " will not replay the same (see the comments in it)";
        }
        out << "\n";
    }
    if (!options.profile.empty()) {
        out << "Device profile: " << options.profile << ", start-tick " << replay->start_tick
            << ", " << analysis.occupancy.total << " taken combinations\n";
    }
    return kExitOk;
}

} // namespace report
