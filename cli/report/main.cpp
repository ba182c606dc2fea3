// main.cpp - tapwatcher-report: reads a data file saved by the tool and reports what it means.
#include "cli.h"

#include <iostream>

// Runs the command on the process's arguments and standard streams.
int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return report::RunReport(args, std::cout, std::cerr);
}
