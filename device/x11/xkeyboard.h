// xkeyboard.h - the X server as the device's keyboard and hot-key table: a
// hot key is a set of passive key grabs on the root window, a key event of a
// grab is the device's key event, and a key the device sends on is a key
// faked with XTest.
#pragma once

#include "device/device.h"
#include "device/x11/keymap.h"

#include <X11/Xlib.h>

#include <memory>
#include <string>
#include <vector>

namespace x11 {

// Catches X protocol errors for the whole process instead of Xlib's default
// (which exits): a BadAccess from XGrabKey is a combination someone else
// holds; any other error is reported on standard error once per kind.
void InstallErrorHandler();

// Once the connection to the server broke, Xlib must not be called again on
// it: every X call of the port checks this first.
void SetDisplayLost();
bool DisplayLost();

// The server's keyboard as Keymap facts.
KeyboardFacts ReadKeyboardFacts(Display* dpy);

class XKeyboard : public device::KeyboardHost {
  public:
    explicit XKeyboard(Display* dpy);
    ~XKeyboard() override; // gives every grab back
    XKeyboard(const XKeyboard&) = delete;
    XKeyboard& operator=(const XKeyboard&) = delete;

    // device::KeyboardHost
    bool Claim(UINT vk, UINT set, bool fires) override;
    void Unclaim(UINT vk, UINT set) override;
    uint8_t ModsHeld() override;
    void PassOn(uint8_t vk, bool down) override;

    // A key event of one of our grabs as the device sees it: false when the
    // key code gives no virtual key. A press keeps the keyboard held until
    // every key that came to the tool is up again (`held` false when another
    // program holds it).
    bool Translate(const XKeyEvent& e, uint8_t& vk, bool& down, uint8_t& mods, bool& held);
    // Key codes the tool took a press of that the server has up although their
    // release never came here (once after each hold began; a round trip):
    // their release went elsewhere before the tool held the keyboard.
    std::vector<uint8_t> ReleasesLost();
    // A release the tool synthesised that its own hot key took: the server
    // lets go of the key too, when it has it down, so that its key state is
    // the device's; under the tool's hold it comes back here, not elsewhere.
    void ReleaseOwn(uint8_t vk);
    // True (and the event is done with) for the event of such a release.
    bool OwnRelease(const XKeyEvent& e);
    // Whether the tool holds the keyboard now (keys it took are down).
    bool Holding() const { return holding_; }
    // Takes an XKB state notification (true) or leaves an event alone: the
    // modifier and lock state is followed from these, without a round trip.
    bool Watch(const XEvent& e);
    // The server says the keyboard mapping changed (it also says so when
    // another input device, such as XTest's, starts typing): when it really
    // did, every grab moves to the new key codes; `lost` counts the
    // combinations that another program holds there. False when nothing changed.
    bool Remap(int& lost);
    // Lets go of the grabs of combinations given back since the last call
    // (the driver calls it whenever the tool waits for input).
    void Settle();
    // Gives back every grab still held (at exit; the tool gives its own back first).
    void ReleaseAll();

    const Keymap& keymap() const { return *keymap_; }
    size_t GrabsHeld() const; // passive grabs held now (Settle first for the tool's own)
    size_t Claimed() const { return claimed_count_; }
    bool detectable_repeat() const { return detectable_repeat_; }
    // One line about the keyboard for the transcript.
    std::string Describe() const;

  private:
    std::vector<bool> GrabMany(const std::vector<const std::vector<Grab>*>& sets);
    bool GrabAll(const std::vector<Grab>& grabs);
    void Reserve();
    void UngrabAll(const std::vector<Grab>& grabs);
    void ReadState();
    void SetPending(size_t i, bool pending);
    bool Hold();
    void LetGo(uint8_t code);

    Display* dpy_;
    ::Window root_;
    std::unique_ptr<Keymap> keymap_;
    // The grabs held for each claimed combination, index set * 256 + vk.
    std::vector<std::vector<Grab>> held_;
    std::vector<bool> claimed_;
    std::vector<size_t> pending_;  // given back or never claimed, grabs not yet let go of
    std::vector<bool> pending_at_; // whether each combination is in pending_
    std::vector<bool> refused_;    // refused by the server when all were grabbed at once
    bool reserved_ = false;        // all grabbed at once since the last Settle
    size_t claimed_count_ = 0;
    uint8_t pressed_vk_[256] = {}; // the virtual key each key code went down as
    bool state_valid_ = false;
    unsigned mods_state_ = 0;  // modifier bits held (X masks)
    unsigned locks_state_ = 0; // lock modifier bits on
    bool detectable_repeat_ = false;
    int xkb_event_ = -1;              // the XKB extension's event code
    std::vector<uint8_t> taken_down_; // key codes whose press came to the tool, still down
    bool own_release_[256] = {};      // a release ReleaseOwn faked under the hold, still to come
    bool holding_ = false;            // the keyboard grabbed actively (taken keys down)
    bool hold_checked_ = true;        // ReleasesLost looked since the hold began
};

} // namespace x11
