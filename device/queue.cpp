// queue.cpp - the message queue of the simulated Windows CE device: posting,
// retrieving (where the device asks its driver for input and moves its clock
// when the tool waits), dispatching, hot-key messages, and the shell's input
// (menu-bar taps, the close request).
//
// Choices where real platforms disagree or are silent:
//  - WM_HOTKEY goes in front of every message already waiting, earlier hot-key
//    messages included (profile "hotkey-queue = top", the built-in), as the
//    Windows CE reference for WM_HOTKEY says: "The message is placed at the
//    top of the message queue associated with the thread that registered the
//    hot key." Two hot-key messages made during one handler are therefore
//    retrieved last first. "hotkey-queue = back" keeps them in order behind
//    the posted messages, as Wine does. A WM_HOTKEY that a program posts with
//    PostMessageW is an ordinary posted message either way.
#include "device/device.h"

#include "device/menubar.h"

#include <algorithm>

namespace device {

BOOL Device::Post(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    if (h && !Find(h)) {
        last_error = ERROR_INVALID_WINDOW_HANDLE;
        return FALSE;
    }
    MSG m{};
    m.hwnd = h;
    m.message = msg;
    m.wParam = wp;
    m.lParam = lp;
    m.time = Tick();
    queue_.push_back({m});
    return TRUE;
}

BOOL Device::GetMessage(LPMSG msg) {
    if (!msg) {
        last_error = ERROR_INVALID_PARAMETER;
        return -1;
    }
    for (;;) {
        SyncClock();
        if (!queue_.empty()) {
            retrieved_ = queue_.front();
            *msg = retrieved_.msg;
            queue_.pop_front();
            return TRUE;
        }
        if (quit_) {
            quit_ = false;
            *msg = MSG{};
            msg->message = WM_QUIT;
            msg->wParam = (WPARAM)quit_code_;
            msg->time = Tick();
            return FALSE;
        }
        uint64_t due = NextTimerDue();
        if (due <= now_) {
            MakeTimerMessage(msg, now_);
            return TRUE;
        }
        if (!input_ended_ && driver_) {
            uint64_t at = now_;
            switch (driver_->Poll(*this, due, at)) {
            case Driver::Next::Step:
                if (due <= at) {
                    now_ = due;
                } else {
                    AdvanceTo(at);
                    driver_->Step(*this);
                }
                continue;
            case Driver::Next::None:
                if (due != UINT64_MAX)
                    now_ = std::max(now_, due);
                continue;
            case Driver::Next::End:
                input_ended_ = true;
                input_end_at_ = std::max(at, now_);
                continue;
            }
        }
        input_ended_ = true;
        if (!close_sent_) {
            if (due <= input_end_at_) {
                now_ = due;
                continue;
            }
            AdvanceTo(input_end_at_);
            close_sent_ = true;
            if (!RequestClose())
                throw Stalled("input ended and the tool has no main window to close");
            continue;
        }
        if (due != UINT64_MAX && ++idle_after_close_ < 100000) {
            now_ = due;
            continue;
        }
        throw Stalled("the tool did not exit after the shell asked it to close");
    }
}

LRESULT Device::Dispatch(const MSG* msg) {
    if (!msg)
        return 0;
    if (!msg->hwnd)
        return 0;
    // The message GetMessage gave out last, as it was marked.
    const MSG& r = retrieved_.msg;
    bool synthesized = retrieved_.synthesized && msg->hwnd == r.hwnd && msg->message == r.message &&
                       msg->wParam == r.wParam && msg->lParam == r.lParam && msg->time == r.time;
    const MSG* before = synthesised_in_hand_;
    synthesised_in_hand_ = synthesized ? msg : nullptr;
    LRESULT result = Send(msg->hwnd, msg->message, msg->wParam, msg->lParam);
    synthesised_in_hand_ = before;
    return result;
}

void Device::PostQuit(int code) {
    quit_ = true;
    quit_code_ = code;
}

// PostHotKey: a hot key's WM_HOTKEY to its owner, at the top of the queue or
// at its back as the profile says, marked when a synthesised key made it; a
// hot key of another program (the shell) takes its key without a message the
// device needs to deliver.
void Device::PostHotKey(HWND owner, int id, LPARAM lp, bool synthesized) {
    const Window* w = Find(owner);
    if (!w || w->kind == WindowKind::Foreign)
        return;
    MSG m{};
    m.hwnd = owner;
    m.message = WM_HOTKEY;
    m.wParam = (WPARAM)id;
    m.lParam = lp;
    m.time = Tick();
    if (profile_.hotkey_queue == Profile::HotKeyQueue::Top)
        queue_.push_front({m, synthesized});
    else
        queue_.push_back({m, synthesized});
}

bool Device::TapButton(std::u16string_view caption) {
    for (auto& w : windows_) {
        if (!w->alive || w->kind != WindowKind::MenuBar || !w->menubar)
            continue;
        for (size_t i = 0; i < w->menubar->buttons.size(); ++i)
            if (SameNoCase<char16_t>(w->menubar->buttons[i].caption, caption))
                return Post(w->handle, WM_LBUTTONUP, i, 0);
    }
    return false;
}

bool Device::RequestClose() {
    HWND main = MainWindow();
    return main && Post(main, WM_CLOSE, 0, 0);
}

} // namespace device
