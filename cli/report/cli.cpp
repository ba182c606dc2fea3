// cli.cpp - the command line of tapwatcher-report: arguments, reading, writing the outputs.
//
// Choices:
//  - "-" as the data file reads standard input; its messages name it "<stdin>".
//  - When an output goes to standard output ("-"), the report text is left out, so that the
//    output can be piped whole; the replay's verdict then goes to standard error.
//  - The replay is run under the pass-through name first and, when its rows differ, under
//    the capture-only name; the profile names the one whose rows matched (else the first).
//  - Messages about a bad file name it and the line: "FILE:LINE: what"; warnings about a file
//    read anyway have the same form.
#include "cli.h"

#include "analysis.h"
#include "datafile.h"
#include "fleet.h"
#include "kept.h"
#include "options.h"
#include "output.h"
#include "page.h"
#include "pictures.h"
#include "render.h"
#include "replay.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <ext/stdio_filebuf.h>
#include <fcntl.h>
#include <filesystem>
#include <istream>
#include <new>
#include <optional>
#include <ostream>
#include <tuple>
#include <sys/stat.h>
#include <unistd.h>

#include "tapwatcher_version.h"

namespace report {

namespace {

namespace fs = std::filesystem;

// The description before the options in --help.
constexpr const char* kHelpHead = R"(
Reads FILE, a data file saved by the tool (tapwatcherdata.txt; "-" reads standard
input), and prints:
  - Occupancy: the combinations the device did not let the tool register (the F
    rows), as a grid of key code by modifier set, with a count per modifier set.
  - Key timeline: each press paired with its release (same key, same modifier set)
    and its hold time; the bursts of key events that the quiet marks end, with their
    event count, length and the gap before each.
  - Findings: stuck keys (still down at the next quiet mark or at the end of the
    file), chatter (the same key pressed again within 30 ms of its release), releases
    with no press, ticks that go backwards, and echoes. An echo: when a modifier is
    released before the key (Shift down, B down, Shift up, B up), the tool passes B on
    while B without Shift is one of its own hot keys, so its own B comes back to it as
    a press and a release without the modifier, and the system receives B without
    Shift. Echo rows are named, and left out of the pairing and the chatter check.
    The tick is a 32-bit count that wraps (its text turns negative after 24.8 days
    and passes 0 again after 49.7 days); a wrap is not a fault. A time measured
    across a tick that goes backwards is reported as unknown.

)";

// The rest of --help, after the options.
constexpr const char* kHelpTail = R"(
OUT may be "-" for standard output (then the report text is not printed). A regular
file or a new name is written to a temporary file beside it and renamed into place;
a symlink is written through to its target; a FIFO or a character device is written
in place; nothing else is replaced. Nothing is written unless FILE reads in full
without error, and when one output fails, none is left half-written.

Files that have travelled are read, with a warning on standard error: lines ending
in LF alone, a last line without its line end (cut short: left out), a byte-order
mark, UTF-16 text. A cell the tool cannot have written is an error (FILE:LINE).

Replay: every D or U row becomes "press KEY" or "release KEY" of that row's own key,
in row order, after "wait MS" of the tick difference from the row before. Nothing
else is added; in particular no modifier is pressed around a key. The tool logs
Shift, Ctrl and Alt as keys of their own, so their presses and releases are rows of
the file and are replayed in place. Key codes above 0xFF (hot keys any program can
post) are not on the device's keyboard: their rows are left out of the scenario,
each with a comment naming its line. A modifier with no press row (held before the
capture began, or its own combination taken) is not held during the replay; the
verification then names the rows that differ.

Several files (a fleet, one file from each device), given by name or as a folder
(its files whose names end in .txt, in every folder under it), are read one after
the other with --summary or --html: a line for each file (rows, taken combinations,
faults by kind), then the files together, opening with "N files", N the files read.
A file that does not read is listed and skipped; the exit status is then 2.

Exit status: 0 done; 1 an output could not be written; 2 bad arguments, or a data
file that the tool cannot have written (the message names FILE:LINE). With --diff
OLD NEW: 0 the same taken combinations, 1 they differ, 2 a file that does not read.
)";

struct Options {
    std::string input;               // the data file, when there is one
    std::vector<std::string> inputs; // every data file named
    bool diff = false;
    bool fleet = false; // several data files, or a folder of them
    std::string svg;
    std::string timeline;
    std::string html;
    std::string scenario;
    std::string profile;
    bool summary = false;
    bool help = false;
    bool version = false;
};

// A file name as the report writes it: bytes that would not print (a newline, a control
// byte) as \xNN, so that no name can start a line of its own in a scenario or a message.
std::string PrintableName(const std::string& name) {
    std::string out;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

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
        } else if (name == "--summary") {
            options.summary = true;
        } else if (name == "--diff") {
            options.diff = true;
        } else if (name == "--svg") {
            target = &options.svg;
        } else if (name == "--timeline") {
            target = &options.timeline;
        } else if (name == "--html") {
            target = &options.html;
        } else if (name == "--scenario") {
            target = &options.scenario;
        } else if (name == "--profile") {
            target = &options.profile;
        } else if (arg.size() > 1 && arg.front() == '-') {
            throw UsageError{"unknown option " + arg};
        } else {
            options.inputs.push_back(arg);
            options.input = options.inputs.front();
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
    if (options.diff && options.inputs.size() != 2)
        throw UsageError{"--diff compares two data files, OLD and NEW"};
    std::error_code ec;
    options.fleet =
        !options.diff && (options.inputs.size() > 1 ||
                          (!options.input.empty() && fs::is_directory(options.input, ec)));
    if (options.fleet && !options.summary && options.html.empty()) {
        throw UsageError{(options.inputs.size() > 1
                              ? "more than one data file: " + PrintableName(options.inputs[0]) +
                                    " and " + PrintableName(options.inputs[1])
                              : PrintableName(options.input) + " is a folder") +
                         "; --summary or --html reports on many"};
    }
    for (const auto& [path, name] : {std::pair{&options.svg, "--svg"},
                                     {&options.timeline, "--timeline"},
                                     {&options.scenario, "--scenario"},
                                     {&options.profile, "--profile"}}) {
        if (options.fleet && !path->empty())
            throw UsageError{std::string(name) + " takes one data file"};
    }
    return options;
}

// Whether two paths name the same file, as far as the file system can tell.
bool SamePath(const std::string& a, const std::string& b) {
    if (a == "-" || b == "-")
        return a == b;
    std::error_code ec;
    fs::path first = fs::weakly_canonical(a, ec);
    if (ec)
        first = fs::absolute(a);
    fs::path second = fs::weakly_canonical(b, ec);
    if (ec)
        second = fs::absolute(b);
    return first == second;
}

// The data file as a source of bytes: standard input for "-", else the file at PATH (fd
// set, -1 with ERROR when it cannot be opened).
ByteSource InputSource(const std::string& path, std::istream& in, int& fd, std::string& error) {
    fd = -1;
    if (path == "-") {
        return [&in](char* buffer, std::size_t size) {
            in.read(buffer, static_cast<std::streamsize>(size));
            if (in.bad())
                throw DataFileError(0, "cannot read: read error");
            return static_cast<std::size_t>(in.gcount());
        };
    }
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        error = std::strerror(errno);
        if (fd >= 0)
            close(fd);
        fd = -1;
        return nullptr;
    }
    if (S_ISDIR(st.st_mode)) {
        error = "is a directory";
        close(fd);
        fd = -1;
        return nullptr;
    }
    return [fd](char* buffer, std::size_t size) {
        for (;;) {
            ssize_t n = read(fd, buffer, size);
            if (n >= 0)
                return static_cast<std::size_t>(n);
            if (errno != EINTR)
                throw DataFileError(0, std::string("cannot read: ") + std::strerror(errno));
        }
    };
}

// kExitOk once OUT has taken every byte; else says so and kExitWriteFailed (a full disk,
// a closed standard output).
int Flushed(std::ostream& out, std::ostream& err) {
    if (out.flush())
        return kExitOk;
    err << "tapwatcher-report: standard output: cannot write\n";
    return kExitWriteFailed;
}

// 0 or 1 when PATH names the file this process has open as its standard input or output
// (/dev/stdin, /proc/self/fd/1, the file "> FILE" opened), else -1.
int DescriptorOf(const std::string& path) {
    struct stat named, open;
    if (path == "-" || stat(path.c_str(), &named) != 0)
        return -1;
    for (int fd : {0, 1}) {
        if (fstat(fd, &open) == 0 && open.st_dev == named.st_dev && open.st_ino == named.st_ino)
            return fd;
    }
    return -1;
}

// Closes a descriptor (-1: none) when it goes.
struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0)
            close(fd);
    }
};

// "SOURCE:LINE: what", or "SOURCE: what" for the file as a whole.
std::string Located(const std::string& source, int line, const std::string& what) {
    return source + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + what;
}

// The name messages give the data file at PATH.
std::string SourceName(const std::string& path) {
    return path == "-" ? "<stdin>" : PrintableName(path);
}

// Reads the data file at PATH ("-": IN) through one pass that tells LISTENERS (copying what
// it reads into TEE when given); prints its warnings, or the error that stopped it (then
// false, the error in FAILED when given).
bool ReadThrough(const std::string& path, std::istream& in, std::ostream& err,
                 const std::vector<AnalysisListener*>& listeners, std::FILE* tee, int& cut_line,
                 std::string* failed = nullptr) {
    const std::string source = SourceName(path);
    auto fail = [&](const std::string& what) {
        err << what << "\n";
        if (failed != nullptr)
            *failed = what;
        return false;
    };
    std::string error;
    int fd = -1;
    ByteSource bytes = InputSource(path, in, fd, error);
    if (!bytes)
        return fail(source + ": cannot read: " + error);
    const FdCloser closer{fd};
    if (tee != nullptr) {
        bytes = [read = std::move(bytes), tee](char* buffer, std::size_t size) {
            const std::size_t got = read(buffer, size);
            if (std::fwrite(buffer, 1, got, tee) != got || std::fflush(tee) != 0)
                throw std::runtime_error("cannot keep a copy of standard input");
            return got;
        };
    }
    DataFileReader reader(bytes);
    try {
        StreamAnalyser pass(listeners);
        for (Row row; reader.Next(row);)
            pass.Add(row);
        pass.Finish();
    } catch (const DataFileError& e) {
        return fail(Located(source, e.Line(), e.what()));
    }
    for (const Warning& warning : reader.Warnings())
        err << Located(source, warning.line, warning.what) << "\n";
    cut_line = reader.CutLine();
    return true;
}

// The taken combinations NEW holds that OLD did not ("+ NAME") and those it freed ("- NAME");
// exit status 0 the same, 1 they differ, 2 a file that does not read.
int RunDiff(const Options& options, std::istream& in, std::ostream& out, std::ostream& err) {
    FleetFile before, after;
    FileSummary old_counts(before), new_counts(after);
    int cut_line = 0;
    if (!ReadThrough(options.inputs[0], in, err, {&old_counts}, nullptr, cut_line) ||
        !ReadThrough(options.inputs[1], in, err, {&new_counts}, nullptr, cut_line))
        return kExitBadInput;
    bool differ = false;
    for (const auto& [sign, in_this, not_in] :
         {std::tuple{'+', &after, &before}, std::tuple{'-', &before, &after}}) {
        for (unsigned vk = 0; vk < 256; ++vk) {
            for (unsigned set = 0; set < 8; ++set) {
                if (in_this->Taken(vk, set) && !not_in->Taken(vk, set)) {
                    out << sign << " " << TakenName(vk, set) << "\n";
                    differ = true;
                }
            }
        }
    }
    if (!out.flush()) {
        err << "tapwatcher-report: standard output: cannot write\n";
        return kExitBadInput;
    }
    return differ ? 1 : kExitOk;
}

// A file of the fleet before it is read, or one not read for ERROR.
FleetFile Named(std::string name, std::string error = "") {
    FleetFile file;
    file.name = std::move(name);
    file.error = std::move(error);
    return file;
}

// The data files named: a folder stands for the files under it whose names end in ".txt",
// in order of their paths; a folder that cannot be listed or holds none is a file not read.
std::vector<FleetFile> FleetFiles(const std::vector<std::string>& inputs) {
    std::vector<FleetFile> files;
    for (const std::string& input : inputs) {
        std::error_code ec;
        if (input == "-" || !fs::is_directory(input, ec)) {
            files.push_back(Named(input));
            continue;
        }
        std::vector<std::string> found;
        for (fs::recursive_directory_iterator it(input, ec), end; !ec && it != end;
             it.increment(ec)) {
            std::string name = it->path().filename().string();
            for (char& c : name)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".txt") == 0 &&
                it->is_regular_file(ec))
                found.push_back(it->path().string());
        }
        std::sort(found.begin(), found.end());
        if (ec || found.empty()) {
            files.push_back(Named(input, SourceName(input) + ": " +
                                             (ec ? "cannot read: " + ec.message()
                                                 : std::string("no data files (*.txt) in it"))));
        }
        for (std::string& path : found)
            files.push_back(Named(std::move(path)));
    }
    return files;
}

// Several data files: a line for each and what they show together, in words and on the
// page; exit status 2 when a file was not read, after the rest is reported.
int RunFleet(const Options& options, std::istream& in, std::ostream& out, std::ostream& err) {
    std::vector<FleetFile> files = FleetFiles(options.inputs);
    for (FleetFile& file : files) {
        if (!file.error.empty()) {
            err << file.error << "\n";
            continue;
        }
        FileSummary summary(file);
        std::string failed;
        if (!ReadThrough(file.name, in, err, {&summary}, nullptr, file.cut_line, &failed))
            file = Named(file.name, failed);
        file.name = SourceName(file.name);
    }
    std::string error;
    if (!options.html.empty() &&
        !WriteOutputs({{options.html, RenderFleetHtml(files)}}, out, error)) {
        err << "tapwatcher-report: " << error << "\n";
        return kExitWriteFailed;
    }
    if (options.html != "-") {
        out << RenderFleetText(files);
        if (!options.html.empty())
            out << "\nPage: " << PrintableName(options.html) << "\n";
    }
    const int status = Flushed(out, err);
    const bool skipped =
        std::any_of(files.begin(), files.end(), [](const FleetFile& file) { return !file.Read(); });
    return status != kExitOk ? status : skipped ? kExitBadInput : kExitOk;
}

// The replay that matched on the device, or the first one tried, with the verdict in words
// and its scenario in a temporary file that has no name.
struct Checked {
    Replay replay;
    std::string verdict;
    std::shared_ptr<std::FILE> scenario;
};

// The scenario of the rows under EXE, written into a temporary file.
Checked Written(const RowPass& rows, const std::string& source, const char* exe) {
    Checked checked;
    checked.scenario.reset(std::tmpfile(), std::fclose);
    if (!checked.scenario)
        throw std::runtime_error(std::string("cannot make a temporary file: ") +
                                 std::strerror(errno));
    __gnu_cxx::stdio_filebuf<char> buffer(checked.scenario.get(), std::ios::out);
    std::ostream out(&buffer);
    checked.replay = WriteReplay(rows, source, exe, out);
    if (!out.flush() || std::fflush(checked.scenario.get()) != 0)
        throw std::runtime_error("cannot write the scenario into a temporary file");
    return checked;
}

// The replay's rows against the file's, both read as they are compared; an error that
// stops the replay's data file in UNREADABLE.
Verdict Compare(const RowPass& rows, const std::string& source, const char* exe,
                const ByteSource& replayed_bytes, std::string& unreadable) {
    constexpr std::size_t kShown = 5;
    DataFileReader replayed(replayed_bytes);
    ReplayComparer compare(
        [&](Row& row) {
            try {
                return unreadable.empty() && replayed.Next(row);
            } catch (const DataFileError& e) {
                unreadable = Located("line", e.Line(), e.what());
                return false;
            }
        },
        kShown);
    std::ostream nowhere(nullptr);
    WriteReplay(rows, source, exe, nowhere,
                [&](const Row& row, bool left_out, const std::string& why) {
                    if (!left_out)
                        compare.Add(row, why);
                });
    return compare.Finish();
}

// Runs the replay on the simulated device, under the pass-through name and then, if its
// rows differ, the capture-only one; says what came of it.
Checked VerifyReplay(const RowPass& rows, const std::string& source,
                     const ReplayRunner& run_replay) {
    std::optional<Checked> first;
    if (!run_replay) {
        first = Written(rows, source, kReplayExe);
        first->verdict = "replay not verified (no simulated device in this build)";
        return *first;
    }
    auto left_out = [](const Replay& replay) {
        if (replay.left_out.empty())
            return std::string();
        std::string lines;
        for (int line : replay.left_out)
            lines += (lines.empty() ? "" : ", ") + std::to_string(line);
        return "; " + Plural(replay.left_out.size(), "row", "rows") + " left out (" +
               (replay.left_out.size() == 1 ? "line " : "lines ") + lines + ")";
    };
    std::optional<Verdict> first_verdict;
    for (const char* exe : {kReplayExe, kReplayExeCaptureOnly}) {
        Checked checked = Written(rows, source, exe);
        if (!first)
            first = checked;
        std::optional<Verdict> verdict;
        std::string error, unreadable;
        std::exception_ptr failure; // kept from the device's run, thrown after it
        const int fd = fileno(checked.scenario.get());
        lseek(fd, 0, SEEK_SET);
        const bool ran = run_replay(
            checked.replay.profile, fd, exe,
            [&](const ByteSource& bytes) {
                try {
                    verdict = Compare(rows, source, exe, bytes, unreadable);
                } catch (...) {
                    failure = std::current_exception();
                }
            },
            error);
        if (failure)
            std::rethrow_exception(failure);
        if (!ran) {
            first->verdict = "replay not verified: the simulated device did not run it: " + error;
            return *first;
        }
        if (!unreadable.empty()) {
            first->verdict =
                "replay not verified: the replay's data file does not read: " + unreadable;
            return *first;
        }
        if (verdict->differ == 0) {
            checked.verdict = "replay verified: " + Plural(verdict->same, "row", "rows") +
                              " the same (run as " + exe + ")" + left_out(checked.replay);
            return checked;
        }
        if (!first_verdict)
            first_verdict = verdict;
    }
    const Verdict& verdict = *first_verdict;
    std::string text = "replay differs: " + Plural(verdict.same, "row", "rows") + " the same, " +
                       std::to_string(verdict.differ) + " not (run as " + kReplayExe + ", and as " +
                       kReplayExeCaptureOnly + ")" + left_out(first->replay) + "; " +
                       (verdict.differ == 1 ? "it is:" : "the first are:");
    for (const Difference& d : verdict.differences) {
        text += "\n  " + (d.line ? "line " + std::to_string(d.line) + ": " + d.file_row
                                 : std::string("not in the file"));
        text +=
            d.replay_row.empty() ? ", not made by the replay" : "; the replay made " + d.replay_row;
        text += ": " + d.why;
    }
    if (verdict.differ > verdict.differences.size())
        text += "\n  and " + std::to_string(verdict.differ - verdict.differences.size()) + " more";
    first->verdict = text;
    return *first;
}

// The rows of the data file at PATH ("-": its copy in COPY), read again from the start on
// each call.
RowPass Reread(const std::string& path, std::istream& in, std::FILE* copy) {
    return [&path, &in, copy](const std::function<void(const Row&)>& each) {
        int fd = -1;
        std::string error;
        ByteSource bytes;
        if (copy != nullptr) {
            bytes = [fd = fileno(copy), at = off_t{0}](char* buffer, std::size_t size) mutable {
                const ssize_t got = pread(fd, buffer, size, at);
                if (got < 0)
                    throw DataFileError(0, std::string("cannot read: ") + std::strerror(errno));
                at += got;
                return static_cast<std::size_t>(got);
            };
        } else if (!(bytes = InputSource(path, in, fd, error))) {
            throw DataFileError(0, SourceName(path) + ": cannot read: " + error);
        }
        const FdCloser closer{fd};
        DataFileReader reader(bytes);
        for (Row row; reader.Next(row);)
            each(row);
    };
}

} // namespace

namespace {

// Reads the data file, writes the outputs asked for, prints the report.
int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
        std::ostream& err, const ReplayRunner& run_replay) {
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

    if (options.diff)
        return RunDiff(options, in, out, err);

    std::vector<std::string> targets;
    for (std::string* path :
         {&options.svg, &options.timeline, &options.html, &options.scenario, &options.profile}) {
        if (path->empty())
            continue;
        // A name for this process's own standard input or output is the descriptor as it is
        // open: never opened again with truncation (">> log" stays appending).
        int fd = DescriptorOf(*path);
        const bool overwrites =
            std::any_of(options.inputs.begin(), options.inputs.end(),
                        [&](const std::string& in) { return in != "-" && SamePath(*path, in); });
        if (fd == 0 || overwrites) {
            err << "tapwatcher-report: " << PrintableName(*path)
                << (fd == 0 ? ": is standard input; not written\n"
                            : ": would overwrite the data file\n");
            return kExitBadInput;
        }
        if (fd == 1)
            *path = "-";
        for (const std::string& earlier : targets) {
            if (SamePath(*path, earlier)) {
                err << "tapwatcher-report: " << PrintableName(*path) << ": named for two outputs\n";
                return kExitBadInput;
            }
        }
        targets.push_back(*path);
    }
    if (options.fleet)
        return RunFleet(options, in, out, err);
    bool to_stdout = false;
    for (const std::string& path : targets)
        to_stdout = to_stdout || path == "-";

    const std::string source = SourceName(options.input);
    const bool pictures =
        !options.svg.empty() || !options.timeline.empty() || !options.html.empty();
    const bool replaying = !options.scenario.empty() || !options.profile.empty();
    TextReport text(source, options.summary);
    Kept kept;
    std::vector<AnalysisListener*> listeners;
    if (!to_stdout)
        listeners.push_back(&text);
    if (pictures)
        listeners.push_back(&kept);
    // The replay reads the file again; standard input is kept in a temporary file for it.
    std::shared_ptr<std::FILE> copy;
    if (replaying && options.input == "-") {
        copy.reset(std::tmpfile(), std::fclose);
        if (!copy)
            throw std::runtime_error(std::string("cannot make a temporary file: ") +
                                     std::strerror(errno));
    }
    int cut_line = 0;
    if (!ReadThrough(options.input, in, err, listeners, copy.get(), cut_line))
        return kExitBadInput;
    text.SetCut(cut_line);
    std::string error;

    std::optional<Checked> replay;
    const RowPass rows = Reread(options.input, in, copy.get());
    if (!options.scenario.empty()) {
        replay = VerifyReplay(rows, source, run_replay);
    } else if (!options.profile.empty()) {
        std::ostream nowhere(nullptr);
        replay = Checked{WriteReplay(rows, source, kReplayExe, nowhere), "", nullptr};
    }
    std::vector<Output> outputs;
    if (!options.svg.empty())
        outputs.push_back({options.svg, RenderGridSvg(kept.All(), source)});
    if (!options.timeline.empty())
        outputs.push_back({options.timeline, RenderTimelineSvg(kept, source)});
    if (!options.html.empty())
        outputs.push_back({options.html, RenderHtml(kept, source)});
    if (!options.scenario.empty())
        outputs.push_back({options.scenario, "", fileno(replay->scenario.get())});
    if (!options.profile.empty())
        outputs.push_back({options.profile, replay->replay.profile});
    if (!WriteOutputs(outputs, out, error)) {
        err << "tapwatcher-report: " << error << "\n";
        return kExitWriteFailed;
    }

    if (to_stdout) {
        if (!options.scenario.empty())
            err << "Scenario: " << replay->verdict << "\n";
        return Flushed(out, err);
    }
    text.Write(out);
    if (!outputs.empty())
        out << "\n";
    if (!options.svg.empty())
        out << "Grid picture: " << PrintableName(options.svg) << "\n";
    if (!options.timeline.empty())
        out << "Timeline picture: " << PrintableName(options.timeline) << "\n";
    if (!options.html.empty())
        out << "Page: " << PrintableName(options.html) << "\n";
    if (!options.scenario.empty()) {
        out << "Scenario: " << PrintableName(options.scenario) << ", "
            << Plural(replay->replay.key_events, "key event", "key events") << "; "
            << replay->verdict << "\n";
    }
    if (!options.profile.empty()) {
        out << "Device profile: " << PrintableName(options.profile) << ", start-tick "
            << replay->replay.start_tick << ", exe " << replay->replay.exe << ", "
            << Plural(replay->replay.taken, "taken combination", "taken combinations") << "\n";
    }
    return Flushed(out, err);
}

} // namespace

// Runs the command; running out of memory or of temporary space ends it with one line.
int RunReport(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
              std::ostream& err, const ReplayRunner& run_replay) {
    try {
        return Run(args, in, out, err, run_replay);
    } catch (const std::bad_alloc&) {
        err << "tapwatcher-report: out of memory\n";
    } catch (const std::runtime_error& e) {
        err << "tapwatcher-report: " << e.what() << "\n";
    }
    return kExitBadInput;
}

} // namespace report
