// script.h - a driver that feeds the device a fixed list of steps on the
// virtual clock: the form tests write directly and scenario files parse into.
#pragma once

#include "device/device.h"

#include <functional>
#include <string>
#include <vector>

namespace device {

struct ScriptStep {
    enum Kind { Wait, Press, Release, Button, Close, Show, Check } kind = Wait;
    uint32_t ms = 0;                 // Wait
    uint8_t vk = 0;                  // Press, Release
    std::u16string caption;          // Button
    std::function<void(Device&)> fn; // Show, Check
    int line = 0;                    // where it came from (scenario line), 0 for none
};

class Script : public Driver {
  public:
    Script& Wait(uint32_t ms);
    Script& Press(uint8_t vk);
    Script& Release(uint8_t vk);
    // Presses the keys in order, then releases them in reverse order; each key
    // event is a step of its own, so each is handled before the next.
    Script& Type(const std::vector<uint8_t>& keys);
    Script& Button(std::u16string caption);
    Script& Close();
    Script& Show(std::function<void(Device&)> fn);
    Script& Check(std::function<void(Device&)> fn);
    Script& Add(ScriptStep step);

    // Steps not run because the tool had exited (counting waits).
    size_t Remaining() const { return steps_.size() - next_; }
    const std::vector<ScriptStep>& Steps() const { return steps_; }
    // Called for a step that could not be done (a button no menu bar shows).
    std::function<void(const ScriptStep&)> on_failed;

    Next Poll(Device& dev, uint64_t timer_due, uint64_t& at) override;
    void Step(Device& dev) override;

  private:
    std::vector<ScriptStep> steps_;
    size_t next_ = 0;
    uint64_t cursor_ = 0;
    bool started_ = false;
};

} // namespace device
