// clidoc.cpp - makes the manual pages' SYNOPSIS and OPTIONS and the bash completion
// scripts from the programs' option tables (cli/*/options.h), at build time:
//
//   clidoc man PROGRAM TEMPLATE OUT [NAME=VALUE]...
//       the page: TEMPLATE with its @SYNOPSIS@ and @OPTIONS@ lines made from the table and
//       each @NAME@ replaced by its VALUE (e.g. VERSION=1.0.0 DATADIR=/usr/share)
//   clidoc bash PROGRAM OUT
//       the completion script for PROGRAM
//
// A program with a table of its own is one more line in kCommands.
#include "cli/report/options.h"
#include "cli/sim/options.h"
#include "cli/x11/options.h" // header-only: needs no X11 to make the page

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Every program whose manual page and completion come from a table.
const cli::CommandDoc* const kCommands[] = {
    &runner::kCommand,
    &report::kCommand,
    &x11::kCommand,
};

// The command named PROGRAM; null when there is none.
const cli::CommandDoc* FindCommand(const std::string& program) {
    for (const cli::CommandDoc* command : kCommands) {
        if (program == command->program)
            return command;
    }
    return nullptr;
}

// TEXT for a roff text line: backslashes as \e, every "-" of an option (a "-" at the start
// of a word and the ones after it) as \-, a leading "." or "'" made plain text.
std::string RoffText(const std::string& text) {
    std::string out;
    bool in_option = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        bool word_start = i == 0 || text[i - 1] == ' ' || text[i - 1] == '(' ||
                          text[i - 1] == '"' || text[i - 1] == '\'';
        if (c == '-' && (word_start || in_option)) {
            in_option = true;
            out += "\\-";
            continue;
        }
        in_option = false;
        if (c == '\\')
            out += "\\e";
        else
            out += c;
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\''))
        out.insert(0, "\\&");
    return out;
}

// An option's forms in bold, its value in italics: \fB\-h\fR, \fB\-\-help\fR.
std::string RoffForms(const cli::OptionDoc& option) {
    std::string forms;
    if (*option.alias != '\0')
        forms += "\\fB" + RoffText(option.alias) + "\\fR, ";
    forms += "\\fB" + RoffText(option.name) + "\\fR";
    if (*option.value != '\0')
        forms += " \\fI" + RoffText(option.value) + "\\fR";
    return forms;
}

// Operands as the synopsis shows them: the upper-case names in italics, brackets and dots
// in roman.
std::string RoffOperands(const std::string& operands) {
    std::string out;
    std::size_t i = 0;
    while (i < operands.size()) {
        std::size_t j = i;
        while (j < operands.size() &&
               (std::isupper((unsigned char)operands[j]) ||
                std::isdigit((unsigned char)operands[j]) || (j > i && operands[j] == '-')))
            ++j;
        if (j > i) {
            out += "\\fI" + operands.substr(i, j - i) + "\\fR";
            i = j;
        } else {
            out += RoffText(std::string(1, operands[i]));
            ++i;
        }
    }
    return out;
}

// The SYNOPSIS lines: the command with its options and operands, then the command with
// each option that ends it at once.
std::string RoffSynopsis(const cli::CommandDoc& command) {
    std::string out = ".nh\n.ad l\n.B " + RoffText(command.program) + "\n";
    for (const cli::OptionDoc& option : command.options) {
        if (cli::EndsAtOnce(option))
            continue;
        out += "[\\fB" + RoffText(option.name) + "\\fR";
        if (*option.value != '\0')
            out += " \\fI" + RoffText(option.value) + "\\fR";
        out += "]\n";
    }
    if (*command.operands != '\0')
        out += RoffOperands(command.operands) + "\n";
    for (const cli::OptionDoc& option : command.options) {
        if (!cli::EndsAtOnce(option))
            continue;
        out += ".br\n.B " + RoffText(command.program) + "\n\\fB" + RoffText(option.name) + "\\fR\n";
    }
    return out + ".ad\n.hy\n";
}

// The OPTIONS entries: a tagged paragraph per option, its help lines filled into one,
// unhyphenated (the help names files and device paths).
std::string RoffOptions(const cli::CommandDoc& command) {
    std::string out = ".nh\n";
    for (const cli::OptionDoc& option : command.options) {
        std::string help = option.help;
        for (char& c : help) {
            if (c == '\n')
                c = ' ';
        }
        out += ".TP\n" + RoffForms(option) + "\n" + RoffText(help) + "\n";
    }
    return out + ".hy\n";
}

// The manual page: the template's lines, @SYNOPSIS@ and @OPTIONS@ replaced by the made
// sections and each @NAME@ of VALUES ("NAME=VALUE") by its value.
std::string ManualPage(const cli::CommandDoc& command, const std::string& page_template,
                       const std::vector<std::string>& values) {
    std::istringstream in(page_template);
    std::string out, line;
    while (std::getline(in, line)) {
        if (line == "@SYNOPSIS@") {
            out += RoffSynopsis(command);
            continue;
        }
        if (line == "@OPTIONS@") {
            out += RoffOptions(command);
            continue;
        }
        for (const std::string& value : values) {
            std::size_t eq = value.find('=');
            std::string name = "@" + value.substr(0, eq) + "@";
            for (std::size_t at; (at = line.find(name)) != std::string::npos;)
                line.replace(at, name.size(), value.substr(eq + 1));
        }
        out += line + "\n";
    }
    return out;
}

// TEXT in single quotes for bash.
std::string ShellQuote(const std::string& text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// The bash lines that complete a value of kind COMPLETE (see cli::OptionDoc), each
// indented by INDENT.
std::string BashComplete(const std::string& complete, const std::string& indent) {
    if (complete == "file")
        return indent + "_filedir\n";
    if (complete.rfind("file:", 0) == 0)
        return indent + "_filedir " + ShellQuote(complete.substr(5)) + "\n";
    if (complete == "dir")
        return indent + "_filedir -d\n";
    if (complete.rfind("words:", 0) == 0) {
        std::string words;
        std::string list = complete.substr(6);
        std::size_t start = 0;
        while (start <= list.size()) {
            std::size_t bar = list.find('|', start);
            if (bar == std::string::npos)
                bar = list.size();
            words += " " + ShellQuote(list.substr(start, bar - start));
            start = bar + 1;
        }
        return indent + "_tapwatcher_words" + words + "\n";
    }
    return "";
}

// The name of a bash function for PROGRAM: _tapwatcher_sim for tapwatcher-sim.
std::string BashFunction(const std::string& program) {
    std::string name = "_" + program;
    for (char& c : name) {
        if (!std::isalnum((unsigned char)c))
            c = '_';
    }
    return name;
}

// The completion script for COMMAND, for the bash-completion package's loader.
std::string BashScript(const cli::CommandDoc& command) {
    const std::string function = BashFunction(command.program);
    std::string words;
    std::string cases;
    for (const cli::OptionDoc& option : command.options) {
        words += std::string(words.empty() ? "" : " ") + option.name;
        if (*option.alias != '\0')
            words += std::string(" ") + option.alias;
        if (*option.value == '\0')
            continue;
        cases += "    " + std::string(option.name);
        if (*option.alias != '\0')
            cases += std::string(" | ") + option.alias;
        cases +=
            ")\n" + BashComplete(option.complete, "        ") + "        return\n" + "        ;;\n";
    }
    std::string out;
    out += "# " + std::string(command.program) +
           " - bash completion: options, their values, and file names.\n"
           "# Made by the build from the program's option table (tools/clidoc.cpp).\n\n";
    out += R"bash(# Completes CUR, typed plainly or with backslashes, to those of the words that
# start with it, each quoted for the command line.
_tapwatcher_words() {
    local typed word
    typed=$(dequote "$cur" 2>/dev/null) || typed=$cur
    COMPREPLY=()
    for word in "$@"; do
        [[ $word == "$typed"* ]] && COMPREPLY+=("$(printf '%q' "$word")")
    done
}

)bash";
    out += "# Completes the command line of " + std::string(command.program) + ".\n";
    out += function +
           "() {\n"
           "    local cur prev words cword split\n"
           "    _init_completion -s || return\n\n"
           "    case $prev in\n" +
           cases +
           "    esac\n"
           "    $split && return\n\n"
           "    if [[ $cur == -* ]]; then\n"
           "        COMPREPLY=($(compgen -W " +
           ShellQuote(words) +
           " -- \"$cur\"))\n"
           "        return\n"
           "    fi\n" +
           BashComplete(command.operand_complete, "    ") + "} &&\n    complete -F " + function +
           " " + command.program + "\n";
    return out;
}

// Writes TEXT to PATH; false, with a message, when it cannot.
bool WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        std::cerr << "clidoc: " << path << ": cannot write\n";
        return false;
    }
    return true;
}

} // namespace

// Makes the manual page or the completion script the arguments ask for.
int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    const cli::CommandDoc* command = args.size() >= 2 ? FindCommand(args[1]) : nullptr;
    if (args.size() >= 4 && args[0] == "man" && command != nullptr) {
        std::ifstream in(args[2], std::ios::binary);
        if (!in) {
            std::cerr << "clidoc: " << args[2] << ": cannot read\n";
            return 1;
        }
        std::string page_template((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
        std::vector<std::string> values(args.begin() + 4, args.end());
        for (const std::string& value : values) {
            if (value.find('=') == std::string::npos || value.front() == '=') {
                std::cerr << "clidoc: expected NAME=VALUE, got " << value << "\n";
                return 2;
            }
        }
        return WriteFile(args[3], ManualPage(*command, page_template, values)) ? 0 : 1;
    }
    if (args.size() == 3 && args[0] == "bash" && command != nullptr)
        return WriteFile(args[2], BashScript(*command)) ? 0 : 1;
    std::cerr
        << "usage: clidoc man PROGRAM TEMPLATE OUT [NAME=VALUE]... | clidoc bash PROGRAM OUT\n";
    return 2;
}
