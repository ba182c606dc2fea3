// message_fuzzer.cpp - runs the whole tool on a simulated device and feeds it
// key presses and releases and posted WM_HOTKEY, WM_TIMER, WM_COMMAND, WM_SIZE
// and WM_CLOSE messages with arbitrary parameters, then checks what the tool
// left behind.
//
// Input layout: one profile byte, then up to kMaxSteps steps, each an opcode
// byte and the operand bytes it needs (missing bytes read as 0). A final
// close step is always added, so every input runs the tool to its exit.
//
// Checked on every input (a failure aborts, so libFuzzer keeps the input):
//  - every row of the log is one of the three kinds the tool writes, with
//    six cells and only texts the tool can write (checked before every step
//    that may clear the log and before the close, so no row escapes);
//  - the tool registers and unregisters only the identifiers 0-2047, each
//    with the one combination it stands for;
//  - when the shutdown posts its quit message, the main window holds no hot
//    key (counted from the device's journal);
//  - nothing is shown in a message box, the process exit code is 0, and the
//    device never stalls;
//  - under a save-on-exit name the data file holds exactly the rows on screen.
#include "fuzz/tool_checks.h"

#include "tool/tapwatcher.h"
#include "cli/runner/launch.h"
#include "cli/runner/profile.h"
#include "device/device.h"
#include "device/files.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr size_t kMaxSteps = 64;
// A sweep-timer message runs the whole sweep again and inserts its rows at
// the top of the log, which costs time in proportion to the rows already
// there; two per input reach every path it has.
constexpr int kMaxSweeps = 2;

// Reads the fuzz input front to back; past its end every byte is 0.
struct Reader {
    const uint8_t* p;
    size_t n;
    bool More() const { return n > 0; }
    uint8_t U8() {
        if (!n)
            return 0;
        --n;
        return *p++;
    }
    uint16_t U16() { return (uint16_t)(U8() | U8() << 8); }
    uint32_t U32() { return (uint32_t)U16() | (uint32_t)U16() << 16; }
};

struct Action {
    enum Kind { Press, Release, Type, Post, Wait, Button, Close } kind;
    uint8_t vk = 0;
    uint8_t mods = 0; // Type: modifier set to hold around the key
    UINT msg = 0;
    WPARAM wp = 0;
    LPARAM lp = 0;
    uint32_t ms = 0;
    bool exit_button = false;
};

// The key codes of the modifier set bits, in the order they are pressed.
const uint8_t kModKeys[3][2] = {
    {MOD_SHIFT, VK_SHIFT}, {MOD_CONTROL, VK_CONTROL}, {MOD_ALT, VK_MENU}};

// A modifier word: usually a well-formed one, sometimes any 16 bits.
uint16_t ModWord(Reader& in, uint8_t sel) {
    if (sel & 0x80)
        return in.U16();
    uint16_t w = sel & 7;
    if (sel & 8)
        w |= MOD_KEYUP;
    return w;
}

std::vector<Action> Decode(Reader& in) {
    std::vector<Action> steps;
    int sweeps = 0;
    while (in.More() && steps.size() < kMaxSteps) {
        uint8_t op = in.U8();
        Action s{};
        switch (op % 11) {
        case 0:
            s.kind = Action::Press;
            s.vk = in.U8();
            break;
        case 1:
            s.kind = Action::Release;
            s.vk = in.U8();
            break;
        case 2:
            s.kind = Action::Type;
            s.mods = in.U8() & 7;
            s.vk = in.U8();
            break;
        case 3: { // WM_HOTKEY: a plausible one, or any parameters at all
            uint8_t sel = in.U8();
            s.kind = Action::Post;
            s.msg = WM_HOTKEY;
            s.wp = in.U16();
            uint16_t vk = (sel & 0x40) ? in.U16() : in.U8();
            s.lp = MAKELPARAM(ModWord(in, sel), vk);
            if ((sel & 0x30) == 0x30)
                s.lp = (LPARAM)in.U32();
            break;
        }
        case 4: { // WM_TIMER: the tool's two ids, or any other
            uint8_t sel = in.U8();
            s.kind = Action::Post;
            s.msg = WM_TIMER;
            s.wp = (sel & 3) == 0 ? 1 : (sel & 3) == 1 ? 16 : (WPARAM)in.U32();
            s.lp = (LPARAM)in.U32();
            if (s.wp == 16 && ++sweeps > kMaxSweeps)
                s.wp = 1;
            break;
        }
        case 5: { // WM_COMMAND: Clear, Exit, or any other command
            uint8_t sel = in.U8();
            uint16_t hi = in.U16();
            uint16_t id = (sel & 3) == 0 ? 40004 : (sel & 3) == 1 ? 40007 : in.U16();
            s.kind = Action::Post;
            s.msg = WM_COMMAND;
            s.wp = MAKEWPARAM(id, hi);
            s.lp = (LPARAM)in.U32();
            break;
        }
        case 6:
            s.kind = Action::Post;
            s.msg = WM_SIZE;
            s.wp = (WPARAM)in.U32();
            s.lp = (LPARAM)in.U32();
            break;
        case 7:
            s.kind = Action::Post;
            s.msg = WM_CLOSE;
            s.wp = (WPARAM)in.U8();
            s.lp = (LPARAM)in.U8();
            break;
        case 8:
            s.kind = Action::Wait;
            s.ms = in.U16();
            break;
        case 9:
            s.kind = Action::Wait;
            s.ms = in.U8();
            break;
        case 10:
            s.kind = Action::Button;
            s.exit_button = in.U8() & 1;
            break;
        }
        steps.push_back(s);
    }
    Action close{};
    close.kind = Action::Close;
    steps.push_back(close);
    return steps;
}

// Feeds the decoded steps to the device. Waits move the driver's own clock;
// every other step runs once the tool has handled everything before it.
class FuzzDriver : public device::Driver {
  public:
    FuzzDriver(std::vector<Action> steps, fuzzcheck::LogChecker& log)
        : steps_(std::move(steps)), log_(log) {}

    Next Poll(device::Device& dev, uint64_t, uint64_t& at) override {
        if (!started_) {
            cursor_ = dev.Now();
            started_ = true;
        }
        while (next_ < steps_.size() && steps_[next_].kind == Action::Wait)
            cursor_ += steps_[next_++].ms;
        at = cursor_;
        return next_ < steps_.size() ? Next::Step : Next::End;
    }

    void Step(device::Device& dev) override {
        const Action& s = steps_[next_++];
        HWND main = dev.MainWindow();
        switch (s.kind) {
        case Action::Press:
            dev.KeyDown(s.vk);
            break;
        case Action::Release:
            dev.KeyUp(s.vk);
            break;
        case Action::Type:
            for (auto& m : kModKeys)
                if (s.mods & m[0])
                    dev.KeyDown(m[1]);
            dev.KeyDown(s.vk);
            dev.KeyUp(s.vk);
            for (int i = 2; i >= 0; --i)
                if (s.mods & kModKeys[i][0])
                    dev.KeyUp(kModKeys[i][1]);
            break;
        case Action::Post:
            // The message may clear the log or end the tool: every row it
            // holds now is checked first (nothing else runs in between).
            if (s.msg == WM_COMMAND || s.msg == WM_CLOSE)
                log_.Check(dev);
            if (main)
                PostMessageW(main, s.msg, s.wp, s.lp);
            break;
        case Action::Button:
            log_.Check(dev);
            dev.TapButton(s.exit_button ? u"Exit" : u"Clear");
            break;
        case Action::Close:
            log_.Check(dev);
            dev.RequestClose();
            break;
        case Action::Wait:
            break;
        }
    }

  private:
    std::vector<Action> steps_;
    fuzzcheck::LogChecker& log_;
    size_t next_ = 0;
    uint64_t cursor_ = 0;
    bool started_ = false;
};

const char16_t* const kExeNames[4] = {
    u"\\Program Files\\tapwatcher.exe", u"\\Program Files\\tapwatcherL.exe",
    u"\\Program Files\\Wtapwatcher.exe", u"\\Program Files\\WtapwatcherL.exe"};
const uint32_t kStartTicks[4] = {0, 0x7FFFFFFFu - 3000, 0xFFFFFFFFu - 3000, 0x80000000u};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzcheck::ScratchRoot();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in{data, size};
    uint8_t cfg = in.U8();

    device::Profile profile = runner::BuiltinDeviceProfile();
    profile.root = fuzzcheck::ScratchRoot();
    profile.exe = kExeNames[cfg & 3];
    if (!(cfg & 4))
        profile.taken.clear();
    if (cfg & 8)
        profile.platform = u"H/PC";
    if (cfg & 16)
        profile.menubar = -1;
    profile.start_tick = kStartTicks[(cfg >> 5) & 3];
    const bool save_on_exit = (cfg & 2) != 0;

    device::Device dev(profile);
    dev.journal_on = true;
    dev.record_system_keys = false;
    dev.Files().MakeFolder(u"\\Program Files");
    if (cfg & 0x80) {
        // Re-registrations after the sweep fail for a quarter of the ids.
        int attempts = 0;
        dev.faults.refuse_register = [attempts](HWND, int id, UINT, UINT) mutable {
            return ++attempts > 2048 && (id & 3) == 0;
        };
    }

    fuzzcheck::LogChecker log(profile.start_tick);
    struct FileWatch : device::Observer {
        device::Device& dev;
        fuzzcheck::LogChecker& log;
        int written = 0;
        FileWatch(device::Device& d, fuzzcheck::LogChecker& l) : dev(d), log(l) {
            dev.AddObserver(this);
        }
        ~FileWatch() override { dev.RemoveObserver(this); }
        void OnFileWritten(const std::string& host_path) override {
            ++written;
            log.CheckSavedFile(dev, host_path);
        }
    } files(dev, log);
    const int& files_written = files.written;

    FuzzDriver driver(Decode(in), log);
    int code = -1;
    try {
        code = runner::RunTool(dev, &driver);
    } catch (const device::Stalled& e) {
        fuzzcheck::Fail("the device stalled: %s", e.what());
    }

    if (code != 0)
        fuzzcheck::Fail("exit code %d, expected 0", code);
    if (!dev.message_boxes.empty())
        fuzzcheck::Fail("a message box was shown: %s",
                        device::Narrow(dev.message_boxes[0].text).c_str());
    if (save_on_exit && files_written != 1)
        fuzzcheck::Fail("save-on-exit name wrote the data file %d times", files_written);
    if (!save_on_exit && files_written != 0)
        fuzzcheck::Fail("a name without save-on-exit wrote a file");
    fuzzcheck::CheckHotKeyCalls(dev);
    return 0;
}
