// Compiled with the tool's include directories: the platform header is in reach.
#include "platform.h"

int LayerProbe() {
    return GetTickCount() != 0;
}
