// Compiled with the tool's include directories: the device must be out of reach.
#include "platform.h"
#include "device/device.h"

int LayerProbe() {
    return 0;
}
