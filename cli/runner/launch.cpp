// launch.cpp - process start and end for the tool on the simulated device.
#include "cli/runner/launch.h"

#include "tool/tapwatcher.h"

extern const device::ModuleResources tapwatcher_resources; // tool/tapwatcher.res, embedded

namespace runner {

// ZeroGlobals: a fresh process starts with every global at zero.
static void ZeroGlobals() {
    hInst = nullptr;
    hwndMain = nullptr;
    hwndList = nullptr;
    hwndMenuBar = nullptr;
    fNotPocketPC = 0;
    fCaptureOnly = 0;
}

int RunTool(device::Device& dev, device::Driver* driver, int nCmdShow) {
    ZeroGlobals();
    HINSTANCE inst = dev.BeginProcess(&tapwatcher_resources);
    dev.SetDriver(driver);
    WCHAR cmdline[1] = {0};
    int code;
    try {
        code = WinMain(inst, nullptr, cmdline, nCmdShow);
    } catch (...) {
        dev.SetDriver(nullptr);
        dev.EndProcess(-1);
        throw;
    }
    dev.SetDriver(nullptr);
    dev.EndProcess(code);
    return code;
}

} // namespace runner
