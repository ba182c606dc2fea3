// device.cpp - the simulated Windows CE device as a whole: booting it from a
// profile, its clock, the processes that run on it and who listens to it.
// Its parts live beside it: windows.cpp (windows, controls, message boxes),
// queue.cpp (the message queue and the shell's input), timers.cpp,
// keyboard.cpp (keys and hot keys), journal.cpp, files.cpp, text.cpp.
//
// Choices where real platforms disagree or are silent:
//  - a process that ends has its windows, timers, hot keys and classes freed
//    without any message.
//  - the running instance the profile names is a window of another program,
//    of the profile's class and title, made at boot.
//
// Not modelled: see device.h.
#include "device/device.h"

#include "device/files.h"
#include "device/listview.h"
#include "device/menubar.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace device {

Device* Device::current_ = nullptr;
static std::vector<Device*> g_devices;

Window::Window() = default;
Window::~Window() = default;

Profile BuiltinProfile() {
    Profile p;
    // The application buttons of a Pocket PC (VK_APP1..VK_APP4 = 0xC1..0xC4)
    // and the Talk/End keys (F3/F4) are held by the shell in every modifier set.
    for (uint8_t vk : {0xC1, 0xC2, 0xC3, 0xC4, 0x72, 0x73})
        for (uint8_t m = 0; m < 8; ++m)
            p.taken.push_back({vk, m});
    return p;
}

const char* HotKeyQueueName(Profile::HotKeyQueue q) {
    return q == Profile::HotKeyQueue::Top ? "top" : "back";
}

const char* SynthesisedKeysName(Profile::SynthesisedKeys s) {
    return s == Profile::SynthesisedKeys::HotKeys ? "hot-keys" : "system";
}

Device::Device(Profile profile) : profile_(std::move(profile)) {
    files_ =
        std::make_unique<FileSystem>(*this, profile_.root, profile_.read_only, profile_.disk_free);
    g_devices.push_back(this);
    current_ = this;
    // Other programs: the shell, holding the profile's taken combinations.
    if (!profile_.taken.empty()) {
        HWND shell = CreateForeignWindow(u"ShellHotKeys", u"");
        int id = 0xC000;
        for (const TakenCombo& t : profile_.taken)
            RegisterHotKey(shell, id++, t.mods, t.vk);
    }
    if (profile_.running_instance)
        CreateForeignWindow(profile_.instance_class, profile_.instance_title);
    last_error = 0;
}

Device::~Device() {
    g_devices.erase(std::remove(g_devices.begin(), g_devices.end(), this), g_devices.end());
    current_ = g_devices.empty() ? nullptr : g_devices.back();
}

void Device::NoDevice() {
    std::fprintf(stderr, "platform call with no simulated device running\n");
    std::abort();
}

void Device::RemoveObserver(Observer* o) {
    observers_.erase(std::remove(observers_.begin(), observers_.end(), o), observers_.end());
}

void Device::AdvanceTo(uint64_t t) {
    now_ = std::max(now_, t);
}

void Device::Spend(uint32_t us) {
    spent_us_ += us;
    now_ += spent_us_ / 1000;
    spent_us_ %= 1000;
}

// ---------------------------------------------------------------------------
// Processes
// ---------------------------------------------------------------------------

HINSTANCE Device::BeginProcess(const ModuleResources* resources) {
    pid_ = next_pid_++;
    resources_ = resources;
    queue_.clear();
    quit_ = false;
    quit_code_ = 0;
    input_ended_ = false;
    close_sent_ = false;
    idle_after_close_ = 0;
    exit_code.reset();
    return (HINSTANCE)(uintptr_t)0x00400000;
}

void Device::EndProcess(int code) {
    exit_code = code;
    files_->CloseAll();
    for (auto& w : windows_)
        if (w && w->alive && w->pid == pid_) {
            FreeWindowResources(w->handle);
            w->alive = false;
            w->listview.reset();
            w->menubar.reset();
        }
    classes_.erase(std::remove_if(classes_.begin(), classes_.end(),
                                  [&](const Class& c) { return c.pid == pid_; }),
                   classes_.end());
    queue_.clear();
    quit_ = false;
    pid_ = 0;
    resources_ = nullptr;
}

} // namespace device
