// optiondoc.h - a program's options as one table, and the --help text made from it. The
// same tables make the manual pages' SYNOPSIS and OPTIONS and the bash completion
// (tools/clidoc.cpp), so none of them can drift from what --help says.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

// One option of a command line.
struct OptionDoc {
    const char* name;     // long form, e.g. "--device"
    const char* alias;    // short form, e.g. "-h"; "" for none
    const char* value;    // the value's name in the help, e.g. "PROFILE"; "" for a flag
    const char* complete; // bash completion of the value: "file", "file:EXT", "dir",
                          // "words:A|B|C", or "" for none
    const char* help;     // the help text, its lines as --help breaks them; the manual
                          // page fills them into one paragraph
};

// A program's command line: its name, its options, and its operands.
struct CommandDoc {
    const char* program; // e.g. "tapwatcher-sim"
    std::span<const OptionDoc> options;
    const char* operands;         // the operands in the synopsis, e.g. "[SCENARIO]"
    const char* operand_complete; // bash completion of an operand, as OptionDoc::complete
};

// Whether the option only prints something and ends the program (--help, --version);
// the synopsis leaves those out.
inline bool EndsAtOnce(const OptionDoc& option) {
    std::string_view name = option.name;
    return name == "--help" || name == "--version";
}

// The option whose long or short form is NAME; null when there is none.
inline const OptionDoc* FindOption(const CommandDoc& command, std::string_view name) {
    for (const OptionDoc& option : command.options) {
        if (name == option.name || (*option.alias != '\0' && name == option.alias))
            return &option;
    }
    return nullptr;
}

// Reads the option at ARGS[I] ("--name", "--name=value", "--name value" or a short form):
// its row in the table, and in VALUE its value when it takes one (I then moves past a
// separate value). Null, with ERROR set, for a word the table does not know (named with
// UNKNOWN, e.g. "option"), a value given to a flag, or a missing or empty value.
inline const OptionDoc* ReadOption(const CommandDoc& command, const std::vector<std::string>& args,
                                   std::size_t& i, std::string& value, std::string& error,
                                   const char* unknown = "option") {
    const std::string& a = args[i];
    std::string name = a;
    bool inline_value = false;
    value.clear();
    std::size_t eq = a.find('=');
    if (a.rfind("--", 0) == 0 && eq != std::string::npos) {
        name = a.substr(0, eq);
        value = a.substr(eq + 1);
        inline_value = true;
    }
    const OptionDoc* option = FindOption(command, name);
    if (option == nullptr || (inline_value && *option->value == '\0')) {
        error =
            std::string(command.program) + ": unknown " + unknown + " \"" + a + "\" (see --help)";
        return nullptr;
    }
    if (*option->value == '\0') // a flag
        return option;
    if (!inline_value) {
        if (i + 1 >= args.size()) {
            error = std::string(command.program) + ": option " + option->name + " needs a value";
            return nullptr;
        }
        value = args[++i];
    }
    if (value.empty()) {
        error = std::string(command.program) + ": option " + option->name + " needs a value";
        return nullptr;
    }
    return option;
}

// The synopsis items of the command after its name: "[--device PROFILE]" for each option
// that does not end the program at once, then the operands.
inline std::vector<std::string> SynopsisItems(const CommandDoc& command) {
    std::vector<std::string> items;
    for (const OptionDoc& option : command.options) {
        if (EndsAtOnce(option))
            continue;
        std::string item = std::string("[") + option.name;
        if (*option.value != '\0')
            item += std::string(" ") + option.value;
        items.push_back(item + "]");
    }
    if (*command.operands != '\0')
        items.push_back(command.operands);
    return items;
}

// "Usage: PROGRAM ITEMS...", broken before an item that would pass column 79, the
// continuation lines aligned under the first item.
inline std::string UsageLine(const CommandDoc& command) {
    const std::string lead = std::string("Usage: ") + command.program;
    std::string text = lead;
    std::size_t line_start = 0;
    for (const std::string& item : SynopsisItems(command)) {
        if (text.size() - line_start + 1 + item.size() > 79) {
            text += "\n";
            line_start = text.size();
            text += std::string(lead.size(), ' ');
        }
        text += " " + item;
    }
    return text + "\n";
}

// The "Options:" section of --help: each option's forms at the left, its help lines
// from COLUMN on.
inline std::string OptionsHelp(const CommandDoc& command, std::size_t column) {
    std::string text = "Options:\n";
    for (const OptionDoc& option : command.options) {
        std::string left = "  ";
        if (*option.alias != '\0')
            left += std::string(option.alias) + ", ";
        left += option.name;
        if (*option.value != '\0')
            left += std::string(" ") + option.value;
        text += left;
        if (left.size() + 2 > column)
            text += "\n" + std::string(column, ' ');
        else
            text += std::string(column - left.size(), ' ');
        for (const char* p = option.help; *p != '\0'; ++p) {
            text += *p;
            if (*p == '\n')
                text += std::string(column, ' ');
        }
        text += '\n';
    }
    return text;
}

} // namespace cli
