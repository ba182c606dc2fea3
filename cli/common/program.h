// program.h - what a program's main does around its own run.
#pragma once

#include <exception>
#include <iostream>
#include <string>
#include <vector>

namespace cli {

// Reads the arguments with `parse` (false: the error line, status `bad_args`),
// answers --help and --version (`version_text`, a whole line), then runs; an exception ends the run
// with one line and status 70.
template <class Options, class Parse, class Usage, class Run>
int ProgramMain(const char* program, const std::string& version_text, int argc, char** argv,
                int bad_args, Parse&& parse, Usage&& usage, Run&& run) {
    std::vector<std::string> args(argv + 1, argv + argc);
    Options options;
    std::string error;
    if (!parse(args, options, error)) {
        std::cerr << error << std::endl;
        return bad_args;
    }
    if (options.help) {
        std::cout << usage();
        return 0;
    }
    if (options.version) {
        std::cout << version_text;
        return 0;
    }
    try {
        return run(options);
    } catch (const std::exception& e) {
        std::cerr << program << ": " << e.what() << std::endl;
        return 70;
    }
}

} // namespace cli
