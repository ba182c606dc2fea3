// profile_fuzzer.cpp - the runner's device-profile reader on arbitrary text.
//
// Checked on every input:
//  - a rejected profile yields one error line "fuzz.profile:N: ..." naming a
//    line of the text;
//  - an accepted one, written back as a profile, reads back to the same
//    profile (when the text can be written back: see WritableBack), and its
//    one-line description can be made;
//  - a device boots from it, and the tool starts on it and exits with 0 when
//    the shell closes it at once.
#include "fuzz/tool_checks.h"

#include "cli/runner/launch.h"
#include "cli/common/keys.h"
#include "cli/runner/profile.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

using fuzzcheck::Fail;

namespace {

// A profile file that sets every value of `p`.
std::string Write(const device::Profile& p) {
    std::string s;
    s += "platform = " +
         (p.platform_query_fails ? std::string("none") : device::Narrow(p.platform)) + "\n";
    s += "dpi = " + std::to_string(p.dpi) + "\n";
    s += "screen = " + std::to_string(p.screen_w) + "x" + std::to_string(p.screen_h) + "\n";
    s += "taskbar = " + std::to_string(p.taskbar) + "\n";
    s += "menubar = " + (p.menubar < 0 ? std::string("none") : std::to_string(p.menubar)) + "\n";
    s += std::string("commctrl = ") + (p.commctrl ? "yes" : "no") + "\n";
    s += "start-tick = " + std::to_string(p.start_tick) + "\n";
    s += "exe = " + device::Narrow(p.exe) + "\n";
    for (const device::TakenCombo& t : p.taken) {
        std::string mods = keys::ModsName(t.mods);
        s += "taken = " + (t.mods ? mods + "+" : std::string()) + keys::KeyName(t.vk) + "\n";
    }
    s += std::string("running-instance = ") + (p.running_instance ? "yes" : "no") + "\n";
    for (const std::u16string& r : p.read_only)
        s += "read-only = " + device::Narrow(r) + "\n";
    s += "disk-free = " +
         (p.disk_free < 0 ? std::string("unlimited") : std::to_string(p.disk_free)) + "\n";
    return s;
}

bool Same(const device::Profile& a, const device::Profile& b) {
    if (a.taken.size() != b.taken.size())
        return false;
    for (size_t i = 0; i < a.taken.size(); ++i)
        if (a.taken[i].vk != b.taken[i].vk || a.taken[i].mods != b.taken[i].mods)
            return false;
    return a.platform == b.platform && a.platform_query_fails == b.platform_query_fails &&
           a.dpi == b.dpi && a.screen_w == b.screen_w && a.screen_h == b.screen_h &&
           a.taskbar == b.taskbar && a.menubar == b.menubar && a.commctrl == b.commctrl &&
           a.start_tick == b.start_tick && a.exe == b.exe &&
           a.running_instance == b.running_instance && a.read_only == b.read_only &&
           a.disk_free == b.disk_free;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzcheck::ScratchRoot();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text((const char*)data, size);
    device::Profile profile;
    profile.root = fuzzcheck::ScratchRoot();
    std::string error;
    if (!runner::ParseProfile(text, "fuzz.profile", profile, error)) {
        size_t line = 0;
        if (std::sscanf(error.c_str(), "fuzz.profile:%zu: ", &line) != 1 || line < 1 ||
            line > fuzzcheck::CountLines(text))
            Fail("error \"%s\" does not name a line of the profile", error.c_str());
        if (error.find('\n') != std::string::npos)
            Fail("the error message spans more than one line");
        return 0;
    }
    if (profile.root != fuzzcheck::ScratchRoot())
        Fail("the profile reader changed the device root");

    if (fuzzcheck::WritableBack(text)) {
        std::string written = Write(profile);
        device::Profile again;
        again.root = fuzzcheck::ScratchRoot();
        if (!runner::ParseProfile(written, "again.profile", again, error))
            Fail("the profile written back is rejected: %s\n%s", error.c_str(), written.c_str());
        if (!Same(profile, again))
            Fail("the profile written back reads differently:\n  read:    %s\n  written: %s\n%s",
                 runner::DescribeProfile(profile).c_str(), runner::DescribeProfile(again).c_str(),
                 written.c_str());
    }
    if (runner::DescribeProfile(profile).empty())
        Fail("an empty description");

    // The shell closes the tool before its sweep runs; a save-on-exit name
    // finds no room for its data file.
    profile.disk_free = 0;
    device::Device dev(profile);
    int code = -1;
    try {
        code = runner::RunTool(dev, nullptr);
    } catch (const device::Stalled& e) {
        Fail("the device stalled: %s", e.what());
    }
    if (code != 0)
        Fail("the tool exited with %d", code);
    return 0;
}
