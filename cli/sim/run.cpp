// run.cpp - the runner's command line and its scenario run.
#include "cli/sim/run.h"

#include "cli/serve/serve.h"

#include "cli/common/program.h"
#include "cli/sim/options.h"
#include "cli/runner/parse_util.h"
#include "cli/runner/profile.h"
#include "cli/terminal/terminal.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "tapwatcher_version.h"

namespace runner {

namespace {

// Opens an input file. -1, with `error` = "FILE:0: why", when it cannot be
// opened or is a folder.
int OpenInput(const std::string& path, std::string& error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = path + ":0: cannot open: " + std::strerror(errno);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        error = path + ":0: cannot read: it is a folder";
        return -1;
    }
    return fd;
}

// Reads a whole profile file through the line reader (its limits hold).
bool ReadProfileFile(const std::string& path, std::string& text, std::string& error) {
    int fd = OpenInput(path, error);
    if (fd < 0)
        return false;
    LineReader reader(fd, path, true);
    std::string line;
    for (;;) {
        LineReader::Result r = reader.Next(line, error);
        if (r == LineReader::End)
            return true;
        if (r == LineReader::Bad)
            return false;
        text += line;
        text += '\n';
        if (text.size() > kMaxProfileBytes) {
            error = Printable(path) + ": larger than " + std::to_string(kMaxProfileBytes >> 20) +
                    " MB: not a device profile";
            return false;
        }
    }
}

// On a terminal, the prompt for the next scenario line.
void Prompt(void*, int next_line) {
    std::fprintf(stderr, "line %d> ", next_line);
    std::fflush(stderr);
}

} // namespace

std::string UsageText() {
    return cli::UsageLine(kCommand) + R"(
Boots a simulated Windows CE device, runs Tapwatcher's own WinMain on it, drives
it from SCENARIO (a file, or - for standard input) and prints what a person
holding the device sees: one line per event, the device's tick first.
Without SCENARIO, on a terminal, the device runs interactively in real time;
with standard input not a terminal, the scenario is read from it. A scenario
file is checked whole before anything runs; one from a pipe or a terminal runs
line by line as its lines arrive (a bad line then stops the run, exit 2).

)" + cli::OptionsHelp(kCommand, 21) +
           R"HELP(
Scenario lines ('#' starts a comment; key names are not case-sensitive; lines
of at most 4096 bytes of UTF-8 text, a byte order mark skipped):
  wait MS            let MS milliseconds of device time pass; due timers fire
  press KEY          a key goes down        release KEY   a key goes up
  type COMBO         e.g. Ctrl+Shift+A: keys down in order, then up in reverse
  button NAME        tap the menu-bar button with that caption (Exit, Clear)
  close              the shell asks the tool to close (WM_CLOSE)
  show               print the screen as it stands
KEY: A-Z, 0-9, F1-F24, Shift, Ctrl, Alt, Enter, Esc, Space, Tab, Back, Left, Up,
Right, Down, Home, End, PageUp, PageDown, Insert, Delete, App1-App6, LShift,
RShift, LCtrl, RCtrl, LAlt, RAlt, Numpad0-Numpad9, ... or a code 0x00-0xFF.
When the lines run out while the tool runs, the screen is printed once more
and the shell closes the tool. Lines after the tool exited are not run.

Transcript lines (TICK first): start; line N: TEXT (a scenario line reached);
row N: CELLS (a row the tool added: the cells after SysTime, the key's name
beside its code, "+MS ms" since the previous key row of the burst; "quiet
mark"; "(echo of the tool's own KEY)" when its own synthesised key caused it);
held elsewhere: KEY ... (after the start-up sweep's rows, one line a key);
key ... (a key event that reached the system); key ..., taken by OWNER (a
press or release another program's hot key took); menu tap "NAME"; log
cleared (N rows); message box; data file written; data file already present;
host: CALL failed: WHY; screen at ... (with the screen drawn below); exit N.

Profile lines (key = value; unset keys keep the built-in values, except taken
and read-only, which list all their own):
  platform = PocketPC | TEXT | none     dpi = 96          screen = 240x320
  taskbar = 26          menubar = 26 | none               commctrl = yes | no
  start-tick = 0        exe = \Program Files\tapwatcher.exe
  taken = Shift+Alt+0x72 [OWNER] | Any+0xC1 [OWNER] (repeatable; OWNER names
          the program holding it in the transcript, default "shell")
  running-instance = no
  read-only = \Program Files\tapwatcherdata.txt (repeatable; made empty if missing)
  disk-free = BYTES | unlimited          register-cost = 0 (microseconds a call)
  hotkey-queue = top | back             synthesised-keys = hot-keys | system

Interactive keys: typed keys go to the device with their modifiers. Where the
terminal reports key releases (its keyboard protocol answers), presses,
repeats, releases and modifier-only presses are real ("releases: real" on the
status line); elsewhere each key is pressed and released at once ("releases:
made up at press"). Ctrl-X taps "Exit", Ctrl-L taps "Clear" (the device never
sees these two), Ctrl-C has the shell close the tool and leaves. Ctrl-] then
1-6 is App1-App6, Ctrl-] then F1-F12 is F13-F24, Ctrl-] then h holds the next
key down until it is typed again. SIGINT, SIGTERM, SIGHUP (the terminal
closed) and SIGQUIT also have the shell close the tool (a second one ends at
once). With standard output not a terminal, the screen is drawn on the
controlling terminal and the transcript goes to standard output.

Exit status: the tool's exit code (0) after a run; 2 for a bad argument,
profile or scenario (one line FILE:LINE: what is wrong; nothing runs; for a
streamed scenario, the lines before the bad one ran); 3 when the tool stops
making progress; 4 when the host failed a write (the device's folder or the
transcript: a read-only mount, a full disk), as the transcript says.
)HELP";
}

std::string VersionText() {
    return std::string(kProgram) + " " + TAPWATCHER_VERSION + " (source revision " +
           TAPWATCHER_REVISION + ")\n";
}

bool ParseArgs(const std::vector<std::string>& args, Options& options, std::string& error) {
    bool options_end = false;
    bool have_scenario = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (!options_end && a == "--") {
            options_end = true;
            continue;
        }
        if (!options_end && a.size() > 1 && a[0] == '-') {
            std::string value;
            const cli::OptionDoc* option = cli::ReadOption(kCommand, args, i, value, error);
            if (option == nullptr)
                return false;
            const std::string name = option->name;
            if (*option->value == '\0') { // a flag
                if (name == "--help")
                    options.help = true;
                else if (name == "--version")
                    options.version = true;
                else if (name == "--line-buffered")
                    options.line_buffered = true;
                continue;
            }
            if (name == "--format") {
                if (value == "text")
                    options.format = Format::Text;
                else if (value == "jsonl")
                    options.format = Format::Jsonl;
                else {
                    error = std::string(kProgram) + ": --format: expected text or jsonl, got \"" +
                            Printable(value) + "\"";
                    return false;
                }
            } else if (name == "--device") {
                options.device = value;
            } else if (name == "--exe") {
                if (!CheckExeOption(kProgram, value, error))
                    return false;
                options.exe = value;
            } else if (name == "--root") {
                options.root = value;
            } else if (name == "--serve") {
                options.serve = value;
            }
            continue;
        }
        if (have_scenario) {
            error = std::string(kProgram) + ": more than one scenario given (\"" +
                    options.scenario + "\" and \"" + a + "\")";
            return false;
        }
        options.scenario = a;
        have_scenario = true;
    }
    if (!options.serve.empty() && have_scenario) {
        error = std::string(kProgram) + ": --serve drives the device from a browser page; " +
                "it takes no scenario (\"" + options.scenario + "\")";
        return false;
    }
    return true;
}

bool LoadJob(const Options& options, bool stdin_is_terminal, Job& job, bool& interactive,
             std::string& error) {
    interactive = false;
    job = Job{};
    if (options.device.empty()) {
        job.profile = BuiltinDeviceProfile();
        job.profile_name = "built-in";
    } else {
        std::string text;
        if (!ReadProfileFile(options.device, text, error))
            return false;
        if (!ParseProfile(text, options.device, job.profile, error, &job.taken_owners))
            return false;
        job.profile_name = options.device;
    }
    if (!options.exe.empty())
        job.profile.exe = device::Widen(options.exe);
    job.profile.root = options.root;

    if (options.scenario.empty() && stdin_is_terminal) {
        interactive = true;
        return true;
    }
    int fd = 0;
    std::string name = "<stdin>";
    bool own = false;
    if (!options.scenario.empty() && options.scenario != "-") {
        fd = OpenInput(options.scenario, error);
        if (fd < 0)
            return false;
        name = options.scenario;
        own = true;
    }
    auto reader = std::make_unique<LineReader>(fd, name, own);
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        // A file is read and checked whole first: nothing of a bad scenario runs.
        std::string line;
        for (;;) {
            LineReader::Result r = reader->Next(line, error);
            if (r == LineReader::End)
                return true;
            if (r == LineReader::Bad || !job.scenario.Add(line, reader->Number(), name, error)) {
                job.scenario = Scenario{};
                return false;
            }
        }
    }
    // A pipe or a terminal: the lines run as they arrive. The first is read
    // now, so that input that is no scenario at all runs nothing.
    if (::isatty(fd) == 1)
        reader->before_wait = Prompt;
    job.stream = std::move(reader);
    if (PullLine(job, error) == LineReader::Bad) {
        job.scenario = Scenario{};
        return false;
    }
    return true;
}

int Run(const Options& options, std::ostream& transcript, std::ostream& errors) {
    Job job;
    bool interactive = false;
    std::string error;
    if (!options.serve.empty()) {
        ServeAddress address;
        if (!ParseServeAddress(options.serve, address, error) ||
            !LoadJob(options, true, job, interactive, error)) {
            errors << error << std::endl;
            return kExitBadInput;
        }
        return RunServe(job, address, transcript, errors);
    }
    if (!LoadJob(options, ::isatty(0) == 1, job, interactive, error)) {
        errors << error << std::endl;
        return kExitBadInput;
    }
    if (interactive)
        return RunInteractive(job, transcript, errors,
                              &transcript != &std::cout || ::isatty(1) == 1, options.format);
    Transcript t(&transcript, options.format);
    // Line by line to a terminal, where a person reads as it runs; otherwise
    // through the buffer (see transcript.h).
    t.line_buffered = options.line_buffered || (&transcript == &std::cout && ::isatty(1) == 1);
    int status = RunJob(job, t, errors);
    if (!t.Flush()) {
        errors << kProgram << ": cannot write the transcript: " << std::strerror(errno)
               << std::endl;
        return kExitHost;
    }
    return status;
}

int Main(int argc, char** argv) {
    return cli::ProgramMain<Options>(kProgram, VersionText(), argc, argv, kExitBadInput, ParseArgs,
                                     UsageText,
                                     [](const Options& o) { return Run(o, std::cout, std::cerr); });
}

} // namespace runner
