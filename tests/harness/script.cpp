// script.cpp - the step-list driver. A wait moves the script's own clock
// forward; every other step happens at the script's clock, once the tool has
// handled everything before it.
#include "tests/harness/script.h"

namespace device {

Script& Script::Add(ScriptStep step) {
    steps_.push_back(std::move(step));
    return *this;
}

// Make: a step of this kind with its number fields.
static ScriptStep Make(ScriptStep::Kind kind, uint32_t ms = 0, uint8_t vk = 0) {
    ScriptStep s;
    s.kind = kind;
    s.ms = ms;
    s.vk = vk;
    return s;
}

Script& Script::Wait(uint32_t ms) {
    return Add(Make(ScriptStep::Wait, ms));
}

Script& Script::Press(uint8_t vk) {
    return Add(Make(ScriptStep::Press, 0, vk));
}

Script& Script::Release(uint8_t vk) {
    return Add(Make(ScriptStep::Release, 0, vk));
}

Script& Script::Type(const std::vector<uint8_t>& keys) {
    for (uint8_t vk : keys)
        Press(vk);
    for (size_t i = keys.size(); i-- > 0;)
        Release(keys[i]);
    return *this;
}

Script& Script::Button(std::u16string caption) {
    ScriptStep s;
    s.kind = ScriptStep::Button;
    s.caption = std::move(caption);
    return Add(std::move(s));
}

Script& Script::Close() {
    return Add(Make(ScriptStep::Close));
}

Script& Script::Show(std::function<void(Device&)> fn) {
    ScriptStep s;
    s.kind = ScriptStep::Show;
    s.fn = std::move(fn);
    return Add(std::move(s));
}

Script& Script::Check(std::function<void(Device&)> fn) {
    ScriptStep s;
    s.kind = ScriptStep::Check;
    s.fn = std::move(fn);
    return Add(std::move(s));
}

// Poll: waits only move the script's clock; the next other step is due then.
Driver::Next Script::Poll(Device& dev, uint64_t timer_due, uint64_t& at) {
    if (!started_) {
        cursor_ = dev.Now();
        started_ = true;
    }
    while (next_ < steps_.size() && steps_[next_].kind == ScriptStep::Wait)
        cursor_ += steps_[next_++].ms;
    at = cursor_;
    return next_ < steps_.size() ? Next::Step : Next::End;
}

void Script::Step(Device& dev) {
    const ScriptStep& s = steps_[next_++];
    switch (s.kind) {
    case ScriptStep::Press:
        dev.KeyDown(s.vk);
        break;
    case ScriptStep::Release:
        dev.KeyUp(s.vk);
        break;
    case ScriptStep::Button:
        if (!dev.TapButton(s.caption) && on_failed)
            on_failed(s);
        break;
    case ScriptStep::Close:
        if (!dev.RequestClose() && on_failed)
            on_failed(s);
        break;
    case ScriptStep::Show:
    case ScriptStep::Check:
        if (s.fn)
            s.fn(dev);
        break;
    case ScriptStep::Wait:
        break;
    }
}

} // namespace device
