// transcript.cpp - formatting the runner's transcript lines.
#include "cli/sim/transcript.h"

#include "cli/sim/keys.h"

#include <cstdio>

namespace runner {

std::string TickText(DWORD tick) {
    return std::to_string((int32_t)tick);
}

std::string DescribeSystemKey(const sim::SystemKey& key) {
    char code[8];
    std::snprintf(code, sizeof code, "0x%02X", key.vk);
    std::string name = KeyName(key.vk);
    std::string s = "key " + name;
    if (name != code)
        s += " (" + std::string(code) + ")";
    s += key.down ? " down" : " up";
    s += ", mods " + ModsName(key.mods);
    if (key.synthesized)
        s += ", synthesised";
    return s;
}

// The buttons of a message box type (MB_OK and friends, low four bits).
static const char* Buttons(UINT type) {
    switch (type & 0xF) {
    case 0:
        return "[OK]";
    case 1:
        return "[OK] [Cancel]";
    case 2:
        return "[Abort] [Retry] [Ignore]";
    case 3:
        return "[Yes] [No] [Cancel]";
    case 4:
        return "[Yes] [No]";
    case 5:
        return "[Retry] [Cancel]";
    default:
        return "[?]";
    }
}

std::string DescribeMessageBox(const sim::MessageBoxRecord& box) {
    return "message box \"" + sim::Narrow(box.caption) + "\": \"" + sim::Narrow(box.text) + "\" " +
           Buttons(box.type);
}

void Transcript::Write(const std::string& line) {
    if (out_) {
        *out_ << line << '\n';
        if (flush_each_line)
            out_->flush();
    }
    if (on_line)
        on_line(line);
}

void Transcript::Flush() {
    if (out_)
        out_->flush();
}

void Transcript::Event(DWORD tick, const std::string& text) {
    Write(TickText(tick) + " " + text);
}

void Transcript::Screen(DWORD tick, const std::string& what, const ScreenView& view) {
    Event(tick, what + ": " + view.summary);
    for (const std::string& line : view.lines)
        Write("  " + line);
}

} // namespace runner
