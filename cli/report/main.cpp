// main.cpp - tapwatcher-report: reads a data file saved by the tool and reports what it means.
#include "cli.h"
#include "sim_replay.h"

#include <iostream>

// Runs the command on the process's arguments and standard streams, with the simulated
// device to verify a replay on.
int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return report::RunReport(args, std::cin, std::cout, std::cerr, report::RunReplayOnDevice);
}
