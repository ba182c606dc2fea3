// main.cpp - tapwatcher-x11's entry point.
#include "cli/x11/app.h"

int main(int argc, char** argv) {
    return x11::Main(argc, argv);
}
