// profile.cpp - reading device profiles.
#include "cli/runner/profile.h"

#include "cli/common/keys.h"
#include "cli/runner/parse_util.h"
#include "cli/runner/screen.h"

#include <map>
#include <set>

namespace runner {

namespace {

constexpr uint64_t kMaxPixels = 8192;
constexpr uint64_t kMaxDpi = 1920;
constexpr uint64_t kMaxRegisterCost = 1000000; // microseconds: a second per call

bool ParseYesNo(std::string_view v, bool& out) {
    std::string l = Lowered(v);
    if (l == "yes")
        out = true;
    else if (l == "no")
        out = false;
    else
        return false;
    return true;
}

// "Shift+Alt+0x72", "Any+0xC1", "0x41": the key last, modifier names before it.
bool ParseTaken(std::string_view v, std::vector<device::TakenCombo>& out, std::string& error) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        size_t plus = v.find('+', start);
        parts.push_back(Trim(v.substr(start, plus == std::string_view::npos ? std::string_view::npos
                                                                            : plus - start)));
        if (plus == std::string_view::npos)
            break;
        start = plus + 1;
    }
    unsigned mods = 0;
    bool any = false;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        std::string m = Lowered(parts[i]);
        unsigned bit = m == "shift"                      ? MOD_SHIFT
                       : (m == "ctrl" || m == "control") ? MOD_CONTROL
                       : m == "alt"                      ? MOD_ALT
                                                         : 0;
        if (m == "any") {
            if (any) {
                error = "Any appears twice";
                return false;
            }
            any = true;
            continue;
        }
        if (!bit) {
            error = "\"" + Printable(parts[i], 60) +
                    "\" is not a modifier (Shift, Ctrl, Alt or Any come before the key)";
            return false;
        }
        if (mods & bit) {
            error = keys::ModsName(bit) + " appears twice";
            return false;
        }
        mods |= bit;
    }
    if (any && mods) {
        error = "Any already stands for every modifier set";
        return false;
    }
    uint8_t vk;
    if (!keys::ParseKey(parts.back(), vk, error))
        return false;
    if (any) {
        for (uint8_t m = 0; m < 8; ++m)
            out.push_back({vk, m});
    } else {
        out.push_back({vk, (uint8_t)mods});
    }
    return true;
}

// The value of a "taken" line, "Ctrl+F3 phone": the combination, then the
// name of its owner, given to every combination the line adds.
bool ParseTakenLine(std::string_view value, device::Profile& profile,
                    std::vector<std::string>* owners, std::string& error) {
    std::string_view combo = value, owner;
    size_t plus = value.rfind('+');
    size_t key_at = plus == std::string_view::npos ? 0 : plus + 1;
    key_at = value.find_first_not_of(" \t", key_at);
    size_t blank = key_at == std::string_view::npos ? key_at : value.find_first_of(" \t", key_at);
    if (blank != std::string_view::npos) {
        combo = value.substr(0, blank);
        owner = Trim(value.substr(blank));
    }
    size_t before = profile.taken.size();
    if (!ParseTaken(combo, profile.taken, error)) {
        error = "taken: " + error;
        return false;
    }
    if (owners) {
        owners->resize(before);
        owners->resize(profile.taken.size(), std::string(owner));
    }
    return true;
}

// False, with `error`, when the screen at its dpi would be drawn larger than
// the transcript draws a screen.
bool DrawableScreen(const device::Profile& p, std::string& error) {
    const int columns = p.screen_w / CharWidth(p.dpi), lines = p.screen_h / LineHeight(p.dpi);
    if (columns <= kMaxTextColumns && lines <= kMaxTextLines)
        return true;
    error = "screen " + std::to_string(p.screen_w) + "x" + std::to_string(p.screen_h) + " at " +
            std::to_string(p.dpi) + " dpi is " + std::to_string(columns) + " characters by " +
            std::to_string(lines) + " lines; at most " + std::to_string(kMaxTextColumns) + " by " +
            std::to_string(kMaxTextLines) + " (a higher dpi draws it smaller)";
    return false;
}

// Applies one setting's value to `profile`; false with `error` (the setting
// and what is wrong with the value) for an unknown setting or a bad value.
bool ApplySetting(const std::string& key, std::string_view value, device::Profile& profile,
                  std::vector<std::string>* owners, std::string& error) {
    std::string v = Printable(value, 60); // as messages echo it
    auto expected = [&](const std::string& what) {
        error = key + ": expected " + what + ", got \"" + v + "\"";
        return false;
    };
    auto bad_number = [&](uint64_t lo, uint64_t hi) {
        error = key + ": bad number \"" + v + "\" (expected " + std::to_string(lo) + " to " +
                std::to_string(hi) + ")";
        return false;
    };
    std::string l = Lowered(value);
    uint64_t n = 0;
    if (key == "platform") {
        profile.platform_query_fails = l == "none";
        profile.platform = l == "none" ? std::u16string() : device::Widen(value);
    } else if (key == "dpi") {
        if (!ParseNumber(value, kMaxDpi, n) || n < 1)
            return bad_number(1, kMaxDpi);
        profile.dpi = (int)n;
    } else if (key == "screen") {
        size_t x = l.find('x');
        uint64_t w = 0, h = 0;
        if (x == std::string_view::npos || !ParseNumber(Trim(value.substr(0, x)), kMaxPixels, w) ||
            !ParseNumber(Trim(value.substr(x + 1)), kMaxPixels, h) || w < 1 || h < 1)
            return expected("WIDTHxHEIGHT in pixels (1 to " + std::to_string(kMaxPixels) +
                            " each)");
        profile.screen_w = (int)w;
        profile.screen_h = (int)h;
    } else if (key == "taskbar") {
        if (!ParseNumber(value, kMaxPixels, n))
            return bad_number(0, kMaxPixels);
        profile.taskbar = (int)n;
    } else if (key == "menubar") {
        if (l != "none" && !ParseNumber(value, kMaxPixels, n))
            return expected("pixels (0 to " + std::to_string(kMaxPixels) + ") or none");
        profile.menubar = l == "none" ? -1 : (int)n;
    } else if (key == "commctrl") {
        if (!ParseYesNo(value, profile.commctrl))
            return expected("yes or no");
    } else if (key == "start-tick") {
        if (!ParseNumber(value, UINT32_MAX, n))
            return bad_number(0, UINT32_MAX);
        profile.start_tick = (uint32_t)n;
    } else if (key == "exe") {
        if (!IsDevicePath(value))
            return expected("a full device path such as \\Program Files\\tapwatcher.exe");
        profile.exe = device::Widen(value);
    } else if (key == "taken") {
        if (!ParseTakenLine(value, profile, owners, error))
            return false;
    } else if (key == "running-instance") {
        if (!ParseYesNo(value, profile.running_instance))
            return expected("yes or no");
    } else if (key == "read-only") {
        if (!IsDevicePath(value))
            return expected("a full device path such as \\Program Files\\tapwatcherdata.txt");
        profile.read_only.push_back(device::Widen(value));
    } else if (key == "disk-free") {
        constexpr uint64_t kMax = uint64_t{1} << 62;
        if (l != "unlimited" && !ParseNumber(value, kMax, n))
            return expected("bytes (0 to " + std::to_string(kMax) + ") or unlimited");
        profile.disk_free = l == "unlimited" ? -1 : (int64_t)n;
    } else if (key == "hotkey-queue") {
        if (l != "top" && l != "back")
            return expected("top or back");
        profile.hotkey_queue =
            l == "top" ? device::Profile::HotKeyQueue::Top : device::Profile::HotKeyQueue::Back;
    } else if (key == "synthesised-keys") {
        if (l != "hot-keys" && l != "system")
            return expected("hot-keys or system");
        profile.synthesised_keys = l == "system" ? device::Profile::SynthesisedKeys::System
                                                 : device::Profile::SynthesisedKeys::HotKeys;
    } else if (key == "modifier-hot-keys") {
        if (!ParseYesNo(value, profile.modifier_hot_keys))
            return expected("yes or no");
    } else if (key == "register-cost") {
        if (!ParseNumber(value, kMaxRegisterCost, n))
            return expected("microseconds (0 to " + std::to_string(kMaxRegisterCost) + ")");
        profile.register_cost_us = (uint32_t)n;
    } else {
        error = "unknown setting \"" + Printable(key, 60) + "\"";
        return false;
    }
    return true;
}

} // namespace

device::Profile BuiltinDeviceProfile() {
    device::Profile p = device::BuiltinProfile();
    p.exe = u"\\Program Files\\tapwatcher.exe";
    // "running-instance = yes": the tool's own main window is already there.
    p.instance_class = u"TapwatcherWndClass";
    p.instance_title = u"Tapwatcher";
    return p;
}

bool ParseProfile(std::string_view text, const std::string& filename, device::Profile& profile,
                  std::string& error, std::vector<std::string>* owners) {
    if (owners)
        owners->clear();
    std::string root = profile.root;
    profile = BuiltinDeviceProfile();
    profile.root = root;
    profile.taken.clear();
    profile.read_only.clear();

    std::map<std::string, int> seen; // setting -> line it was made on
    for (const SourceLine& line : MeaningfulLines(text)) {
        auto fail = [&](const std::string& what) {
            error = Where(filename, line.number, what);
            return false;
        };
        size_t eq = line.text.find('=');
        if (eq == std::string_view::npos)
            return fail("expected \"setting = value\", got \"" + Printable(line.text, 60) + "\"");
        std::string key = Lowered(Trim(line.text.substr(0, eq)));
        std::string_view value = Trim(line.text.substr(eq + 1));
        if (key.empty())
            return fail("missing setting name before \"=\"");
        if (value.empty())
            return fail(key + ": missing value");
        bool repeatable = key == "taken" || key == "read-only";
        if (!repeatable) {
            auto it = seen.find(key);
            if (it != seen.end())
                return fail(key + " is set twice (first on line " + std::to_string(it->second) +
                            ")");
        }
        std::string why;
        if (!ApplySetting(key, value, profile, owners, why) ||
            ((key == "screen" || key == "dpi") && !DrawableScreen(profile, why)))
            return fail(why);
        seen.emplace(key, line.number);
    }
    return true;
}

std::string DescribeProfile(const device::Profile& p) {
    std::string s = std::to_string(p.screen_w) + "x" + std::to_string(p.screen_h) + ", " +
                    std::to_string(p.dpi) + " dpi, platform ";
    s += p.platform_query_fails ? std::string("query fails")
                                : "\"" + Printable(device::Narrow(p.platform), 60) + "\"";
    s += ", taskbar " + std::to_string(p.taskbar);
    s += ", menu bar " + (p.menubar < 0 ? std::string("none") : std::to_string(p.menubar));
    if (!p.commctrl)
        s += ", no list view";
    std::set<std::pair<uint8_t, uint8_t>> taken; // a combination listed twice counts once
    for (const device::TakenCombo& c : p.taken)
        taken.emplace(c.vk, c.mods);
    s += ", " + std::to_string(taken.size()) +
         (taken.size() == 1 ? " combination taken" : " combinations taken");
    if (p.running_instance)
        s += ", Tapwatcher already running";
    for (const auto& r : p.read_only)
        s += ", read-only " + Printable(device::Narrow(r), std::string::npos);
    if (p.disk_free >= 0)
        s += ", " + std::to_string(p.disk_free) + " bytes free";
    s += std::string(", hotkey-queue ") + device::HotKeyQueueName(p.hotkey_queue) +
         ", synthesised-keys " + device::SynthesisedKeysName(p.synthesised_keys) +
         ", modifier-hot-keys " + (p.modifier_hot_keys ? "yes" : "no");
    if (p.register_cost_us)
        s += ", register-cost " + std::to_string(p.register_cost_us) + " us";
    return s;
}

} // namespace runner
