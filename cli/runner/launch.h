// launch.h - starting the tool as a process on the simulated device.
#pragma once

#include "device/device.h"

namespace runner {

// Runs the tool's own WinMain from start to exit on `dev`, driven by
// `driver` (NULL: no input, the shell closes the tool at once). Like a
// process start, the tool's globals begin at zero. Returns the exit code.
// Throws device::Stalled when the tool cannot make progress.
int RunTool(device::Device& dev, device::Driver* driver, int nCmdShow = SW_SHOW);

} // namespace runner
