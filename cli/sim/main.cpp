// main.cpp - tapwatcher-sim: runs Tapwatcher on a simulated Windows CE device.
#include "cli/sim/run.h"

int main(int argc, char** argv) {
    return runner::Main(argc, argv);
}
