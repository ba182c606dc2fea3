// timers.cpp - the timers of the simulated Windows CE device, on its clock: a
// timer message is made only when no posted message waits.
//
// Choices where real platforms disagree or are silent:
//  - a timer of period P armed at t falls due at t+P; 1 ms is not raised to
//    the desktop's 10 ms minimum; a period of 0 counts as 1 ms.
#include "device/device.h"

#include <algorithm>

namespace device {

UINT_PTR Device::SetTimer(HWND h, UINT_PTR id, UINT elapse) {
    if (h && !Find(h)) {
        last_error = ERROR_INVALID_WINDOW_HANDLE;
        return 0;
    }
    if (!h) {
        // A thread timer gets an id of the system's choosing.
        id = 0x7FF0;
        for (const Timer& t : timers_)
            id = std::max<UINT_PTR>(id, t.id + 1);
    }
    uint32_t period = elapse ? elapse : 1;
    for (Timer& t : timers_)
        if (t.hwnd == h && t.id == id) {
            t.period = period;
            t.due = now_ + period;
            t.ordinal = ++timer_ordinal_;
            return id ? id : 1;
        }
    timers_.push_back(Timer{h, id, period, now_ + period, ++timer_ordinal_});
    return id ? id : 1;
}

BOOL Device::KillTimer(HWND h, UINT_PTR id) {
    for (size_t i = 0; i < timers_.size(); ++i)
        if (timers_[i].hwnd == h && timers_[i].id == id) {
            timers_.erase(timers_.begin() + (ptrdiff_t)i);
            return TRUE;
        }
    last_error = ERROR_INVALID_PARAMETER;
    return FALSE;
}

uint64_t Device::NextTimerDue() const {
    uint64_t due = UINT64_MAX;
    for (const Timer& t : timers_)
        due = std::min(due, t.due);
    return due;
}

bool Device::MakeTimerMessage(LPMSG msg, uint64_t upto) {
    Timer* best = nullptr;
    for (Timer& t : timers_)
        if (t.due <= upto &&
            (!best || t.due < best->due || (t.due == best->due && t.ordinal < best->ordinal)))
            best = &t;
    if (!best)
        return false;
    *msg = MSG{};
    msg->hwnd = best->hwnd;
    msg->message = WM_TIMER;
    msg->wParam = best->id;
    msg->lParam = 0;
    msg->time = Tick();
    // A timer keeps running until it is killed: its next period starts now.
    best->due = now_ + best->period;
    return true;
}

} // namespace device
