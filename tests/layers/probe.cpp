// A layer probe: compiled with exactly the include directories of the target it
// stands for, it includes one header (PROBE_HEADER, set by CMake). A "sees"
// probe must compile; a "reaches" probe must fail on that header.
#include PROBE_HEADER

int LayerProbe() {
    return 0;
}
