// xkeyboard.cpp - hot keys as passive key grabs on the root window, key
// events of those grabs as the device's key events, keys sent on with XTest.
//
// Choices:
//  - a combination given back keeps its grabs until the tool next waits for
//    input, except the one grab that a key sent on would activate: the
//    tool's pass-through gives a combination back and claims it again at
//    once, so it costs one ungrab and one grab instead of one per lock
//    combination each (the server's cost of either grows with all the grabs
//    it holds);
//  - a combination is claimed by grabbing all its (key code, state) pairs
//    (Keymap::GrabsOf), then one XSync: BadAccess arrives asynchronously, so
//    the error handler files it by request serial; any BadAccess among them
//    ungrabs the rest and the claim fails (1409). Ungrabbing a pair that
//    another client holds does not touch its grab.
//  - a claim while the tool holds nothing grabs every combination at once, with one round trip
//    for all of them (errors are filed by serial): the tool claims all 2048
//    one after another at start, and a round trip each was half the sweep's
//    time. A combination is then claimed from what is already held, or
//    refused from what the server said then; whatever the tool has not
//    claimed when it next waits is given back (Settle), so nothing is held
//    for long that the tool did not ask for.
//  - grabs are asynchronous in both modes, with owner_events off: the
//    events come to this client alone, relative to the root window.
//  - while any key whose press came to the tool is down, the tool holds the
//    keyboard (XGrabKeyboard on the first such press): a passive grab alone
//    ends when the key that began it is released, and the release of a key
//    pressed under it would go to the focused window;
//  - a key sent on (keybd_event that no hot key takes) goes under a server
//    grab: the tool lets go of the keyboard and, for a press, of every grab
//    on that key code (so none of its own catches it, whatever the modifier
//    state), fakes the key, grabs the claimed ones again and takes the
//    keyboard back when keys it took are still down. A virtual key with
//    several key codes (left and right Shift) is sent on the first one, or
//    for a release, on the one the server has down; a key sent up is up for
//    the server, so its own release is not waited for.
//  - the modifier and lock state come from the XKB state: asked once
//    (XkbGetState), then followed from XKB state notifications, which the
//    server sends for every key whichever window it goes to, and from the
//    keys this client sends on; so passing a key on makes no round trip.
//  - detectable auto-repeat is asked for: a held key repeats as presses with
//    no releases between them, which the device logs as repeated D rows.
#include "device/x11/xkeyboard.h"

#include <X11/XKBlib.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <set>

namespace x11 {

namespace {

constexpr int kGrabKeyRequest = 33; // X_GrabKey, X11/Xproto.h

// The BadAccess errors of XGrabKey seen since the last look, by serial.
std::vector<unsigned long> g_grab_refusals;
std::set<std::pair<int, int>> g_reported; // (error, request) kinds reported once

// OnXError: files a refused grab; reports any other error once per kind.
int OnXError(Display* dpy, XErrorEvent* e) {
    if (e->error_code == BadAccess && e->request_code == kGrabKeyRequest) {
        g_grab_refusals.push_back(e->serial);
        return 0;
    }
    if (g_reported.insert({e->error_code, e->request_code}).second) {
        char text[256];
        XGetErrorText(dpy, e->error_code, text, sizeof text);
        std::fprintf(stderr, "tapwatcher-x11: X error: %s (request %d.%d)\n", text, e->request_code,
                     e->minor_code);
    }
    return 0;
}

volatile bool g_display_lost = false;

} // namespace

void SetDisplayLost() {
    g_display_lost = true;
}

bool DisplayLost() {
    return g_display_lost;
}

void InstallErrorHandler() {
    XSetErrorHandler(OnXError);
}

KeyboardFacts ReadKeyboardFacts(Display* dpy) {
    KeyboardFacts f;
    XDisplayKeycodes(dpy, &f.min_keycode, &f.max_keycode);
    for (int k = f.min_keycode; k <= f.max_keycode; ++k) {
        f.level1[k] = XkbKeycodeToKeysym(dpy, (KeyCode)k, 0, 0);
        f.level2[k] = XkbKeycodeToKeysym(dpy, (KeyCode)k, 0, 1);
    }
    if (XModifierKeymap* map = XGetModifierMapping(dpy)) {
        for (int row = 0; row < 8; ++row)
            for (int i = 0; i < map->max_keypermod; ++i) {
                KeyCode k = map->modifiermap[row * map->max_keypermod + i];
                if (k)
                    f.modifiers[k] |= 1u << row;
            }
        XFreeModifiermap(map);
    }
    return f;
}

XKeyboard::XKeyboard(Display* dpy)
    : dpy_(dpy), root_(DefaultRootWindow(dpy)),
      keymap_(std::make_unique<Keymap>(ReadKeyboardFacts(dpy))), held_(8 * 256),
      claimed_(8 * 256, false), pending_at_(8 * 256, false), refused_(8 * 256, false) {
    Bool supported = False;
    XkbSetDetectableAutoRepeat(dpy_, True, &supported);
    detectable_repeat_ = supported == True;
    int opcode, error, major = XkbMajorVersion, minor = XkbMinorVersion;
    if (XkbQueryExtension(dpy_, &opcode, &xkb_event_, &error, &major, &minor)) {
        const unsigned long parts =
            XkbModifierBaseMask | XkbModifierLatchMask | XkbModifierLockMask | XkbModifierStateMask;
        XkbSelectEventDetails(dpy_, XkbUseCoreKbd, XkbStateNotify, parts, parts);
    } else {
        xkb_event_ = -1;
    }
    ReadState();
}

bool XKeyboard::Watch(const XEvent& e) {
    if (xkb_event_ < 0 || e.type != xkb_event_)
        return false;
    const XkbEvent& x = reinterpret_cast<const XkbEvent&>(e);
    if (x.any.xkb_type == XkbStateNotify) {
        mods_state_ = x.state.base_mods | x.state.latched_mods;
        locks_state_ = x.state.locked_mods;
    }
    return true;
}

XKeyboard::~XKeyboard() {
    ReleaseAll();
}

// GrabMany: grabs every pair of every set, then one round trip tells which
// sets the server refused a pair of; a refused set gives the rest back.
// The result holds true for each set held.
std::vector<bool> XKeyboard::GrabMany(const std::vector<const std::vector<Grab>*>& sets) {
    std::vector<bool> held(sets.size(), true);
    if (DisplayLost())
        return held;
    std::vector<unsigned long> first(sets.size() + 1);
    g_grab_refusals.clear();
    for (size_t n = 0; n < sets.size(); ++n) {
        first[n] = NextRequest(dpy_);
        for (const Grab& g : *sets[n])
            XGrabKey(dpy_, g.keycode, g.state, root_, False, GrabModeAsync, GrabModeAsync);
    }
    first[sets.size()] = NextRequest(dpy_);
    XSync(dpy_, False);
    for (unsigned long serial : g_grab_refusals) {
        // The set whose requests hold this serial.
        auto at = std::upper_bound(first.begin(), first.end(), serial);
        if (at != first.begin() && at != first.end())
            held[(size_t)(at - first.begin()) - 1] = false;
    }
    g_grab_refusals.clear();
    for (size_t n = 0; n < sets.size(); ++n)
        if (!held[n])
            UngrabAll(*sets[n]);
    return held;
}

bool XKeyboard::GrabAll(const std::vector<Grab>& grabs) {
    if (grabs.empty())
        return true;
    return GrabMany({&grabs})[0];
}

// Reserve: every combination not held yet, grabbed at once (see the top).
void XKeyboard::Reserve() {
    std::vector<size_t> which;
    std::vector<const std::vector<Grab>*> sets;
    for (size_t i = 0; i < held_.size(); ++i) {
        if (claimed_[i] || !held_[i].empty())
            continue;
        const std::vector<Grab>& grabs = keymap_->GrabsOf((uint8_t)(i % 256), (unsigned)(i / 256));
        if (grabs.empty())
            continue;
        which.push_back(i);
        sets.push_back(&grabs);
    }
    std::vector<bool> held = GrabMany(sets);
    for (size_t n = 0; n < which.size(); ++n) {
        size_t i = which[n];
        if (held[n]) {
            held_[i] = *sets[n];
            SetPending(i, true); // let go of at the next Settle unless claimed
        } else {
            refused_[i] = true;
        }
    }
}

void XKeyboard::UngrabAll(const std::vector<Grab>& grabs) {
    if (DisplayLost())
        return;
    for (const Grab& g : grabs)
        XUngrabKey(dpy_, g.keycode, g.state, root_);
}

bool XKeyboard::Claim(UINT vk, UINT set, bool fires) {
    if (vk > 0xFF) // no key gives it: nobody can hold it, and it never fires
        return true;
    size_t i = (set & 7) * 256 + vk;
    if (!reserved_ && claimed_count_ == 0) { // a sweep begins
        reserved_ = true;
        Reserve();
    }
    if (refused_[i]) { // the server refused it a moment ago
        refused_[i] = false;
        return false;
    }
    const std::vector<Grab>& grabs = keymap_->GrabsOf((uint8_t)vk, set);
    // Given back a moment ago and not yet let go of (a pass-through): only
    // what was really ungrabbed is grabbed again.
    std::vector<Grab> missing;
    for (const Grab& g : grabs)
        if (std::find(held_[i].begin(), held_[i].end(), g) == held_[i].end())
            missing.push_back(g);
    if (!GrabAll(missing)) {
        UngrabAll(held_[i]);
        held_[i].clear();
        SetPending(i, false);
        return false;
    }
    held_[i] = grabs;
    // A hot key that never fires keeps its grabs only until the tool next
    // waits: they told that nobody else holds it, and its key goes on to the
    // focused window.
    SetPending(i, !fires);
    if (!fires)
        return true;
    if (!claimed_[i]) {
        claimed_[i] = true;
        ++claimed_count_;
    }
    return true;
}

// Unclaim: the grabs stay until the tool next waits (Settle), unless a key
// sent on before then needs one of them gone; the tool's pass-through gives a
// combination back and claims it again at once, and the X server's cost of
// a grab grows with all the grabs it holds.
void XKeyboard::Unclaim(UINT vk, UINT set) {
    if (vk > 0xFF)
        return;
    size_t i = (set & 7) * 256 + vk;
    if (claimed_[i]) {
        claimed_[i] = false;
        --claimed_count_;
    }
    if (!held_[i].empty())
        SetPending(i, true);
}

void XKeyboard::SetPending(size_t i, bool pending) {
    if (pending_at_[i] == pending)
        return;
    pending_at_[i] = pending;
    if (pending) {
        pending_.push_back(i);
    } else {
        auto at = std::find(pending_.begin(), pending_.end(), i);
        *at = pending_.back();
        pending_.pop_back();
    }
}

void XKeyboard::Settle() {
    for (size_t i : pending_) {
        UngrabAll(held_[i]);
        held_[i].clear();
        pending_at_[i] = false;
    }
    pending_.clear();
    std::fill(refused_.begin(), refused_.end(), false);
    reserved_ = false;
}

void XKeyboard::ReleaseAll() {
    pending_.clear();
    std::fill(pending_at_.begin(), pending_at_.end(), false);
    std::fill(refused_.begin(), refused_.end(), false);
    for (size_t i = 0; i < held_.size(); ++i) {
        UngrabAll(held_[i]);
        held_[i].clear();
        claimed_[i] = false;
    }
    claimed_count_ = 0;
    if (!DisplayLost())
        XSync(dpy_, False);
}

size_t XKeyboard::GrabsHeld() const {
    size_t n = 0;
    for (const std::vector<Grab>& g : held_)
        n += g.size();
    return n;
}

// ReadState: asks the server for the state, once; XKB notifications keep it
// up to date afterwards (without XKB it is asked again after each event).
void XKeyboard::ReadState() {
    if (state_valid_ || DisplayLost())
        return;
    XkbStateRec st{};
    if (XkbGetState(dpy_, XkbUseCoreKbd, &st) == Success) {
        mods_state_ = st.base_mods | st.latched_mods;
        locks_state_ = st.locked_mods;
    }
    state_valid_ = true;
}

uint8_t XKeyboard::ModsHeld() {
    ReadState();
    return keymap_->ModsOf(mods_state_, 0, true);
}

void XKeyboard::PassOn(uint8_t vk, bool down) {
    if (DisplayLost())
        return;
    ReadState();
    const unsigned lock_bits = 1u << 1 | keymap_->NumLockMask() | keymap_->ScrollLockMask();
    std::vector<uint8_t> codes = keymap_->KeycodesOf(vk, locks_state_ & lock_bits);
    for (unsigned locks : keymap_->LockCombinations())
        if (codes.empty())
            codes = keymap_->KeycodesOf(vk, locks);
    if (codes.empty())
        return; // no key of this keyboard gives it
    uint8_t code = codes[0];
    if (!down && codes.size() > 1) {
        char keys[32];
        XQueryKeymap(dpy_, keys);
        for (uint8_t c : codes)
            if (keys[c / 8] & (1 << (c % 8))) {
                code = c;
                break;
            }
    }
    // No other client's request runs while the keyboard and this key's
    // grabs are let go of: the key reaches the focused window and nothing
    // slips past the tool meanwhile.
    XGrabServer(dpy_);
    std::vector<Grab> again; // grabs of claimed combinations on this key code
    if (down) {
        // Whatever the server's modifier state, no grab of ours may catch the
        // press: every grab on the key code goes, the claimed ones come back.
        XUngrabKey(dpy_, code, AnyModifier, root_);
        for (size_t i = 0; i < held_.size(); ++i) {
            std::vector<Grab>& h = held_[i];
            auto on_code = [code](const Grab& g) { return g.keycode == code; };
            if (claimed_[i])
                std::copy_if(h.begin(), h.end(), std::back_inserter(again), on_code);
            else
                h.erase(std::remove_if(h.begin(), h.end(), on_code), h.end());
        }
    }
    XUngrabKeyboard(dpy_, CurrentTime);
    XTestFakeKeyEvent(dpy_, code, down ? True : False, CurrentTime);
    for (const Grab& g : again)
        XGrabKey(dpy_, g.keycode, g.state, root_, False, GrabModeAsync, GrabModeAsync);
    if (!down) // the server has it up now: its own release never comes
        taken_down_.erase(std::remove(taken_down_.begin(), taken_down_.end(), code),
                          taken_down_.end());
    holding_ = false;
    if (!taken_down_.empty())
        Hold();
    XUngrabServer(dpy_);
    // The key's modifier bits follow it (another key holding the same bit
    // is not looked for).
    unsigned bits = keymap_->ModifierBitsOf(code);
    mods_state_ = down ? (mods_state_ | bits) : (mods_state_ & ~bits);
    XFlush(dpy_);
}

// Hold: the keyboard grabbed actively, so that the release of every key the
// tool took comes here even after the key that began a passive grab is up.
bool XKeyboard::Hold() {
    if (holding_ || DisplayLost())
        return true;
    holding_ =
        XGrabKeyboard(dpy_, root_, False, GrabModeAsync, GrabModeAsync, CurrentTime) == GrabSuccess;
    hold_checked_ = !holding_;
    return holding_;
}

// LetGo: `code` is up; with no key the tool took still down, the keyboard goes back.
void XKeyboard::LetGo(uint8_t code) {
    taken_down_.erase(std::remove(taken_down_.begin(), taken_down_.end(), code), taken_down_.end());
    if (taken_down_.empty() && holding_) {
        holding_ = false;
        if (!DisplayLost())
            XUngrabKeyboard(dpy_, CurrentTime);
    }
}

void XKeyboard::ReleaseOwn(uint8_t vk) {
    if (DisplayLost())
        return;
    char keys[32];
    XQueryKeymap(dpy_, keys);
    for (unsigned locks : keymap_->LockCombinations())
        for (uint8_t c : keymap_->KeycodesOf(vk, locks)) {
            if (!(keys[c / 8] & (1 << (c % 8))))
                continue;
            if (!holding_)
                return PassOn(vk, false);
            own_release_[c] = true;
            XTestFakeKeyEvent(dpy_, c, False, CurrentTime);
            mods_state_ &= ~keymap_->ModifierBitsOf(c);
            XFlush(dpy_);
            return;
        }
}

bool XKeyboard::OwnRelease(const XKeyEvent& e) {
    const uint8_t code = (uint8_t)e.keycode;
    if (e.type != KeyRelease || !own_release_[code])
        return false;
    own_release_[code] = false;
    pressed_vk_[code] = 0;
    LetGo(code);
    return true;
}

std::vector<uint8_t> XKeyboard::ReleasesLost() {
    std::vector<uint8_t> lost;
    if (hold_checked_ || DisplayLost())
        return lost;
    char keys[32];
    XQueryKeymap(dpy_, keys);
    if (XPending(dpy_) > 0) // events came before the answer: look once they are read
        return lost;
    hold_checked_ = true;
    for (uint8_t c : taken_down_)
        if (!(keys[c / 8] & (1 << (c % 8))))
            lost.push_back(c);
    return lost;
}

bool XKeyboard::Translate(const XKeyEvent& e, uint8_t& vk, bool& down, uint8_t& mods, bool& held) {
    down = e.type == KeyPress;
    uint8_t code = (uint8_t)e.keycode;
    held = true;
    if (down) {
        vk = keymap_->VkOf(code, e.state);
        pressed_vk_[code] = vk;
        if (std::find(taken_down_.begin(), taken_down_.end(), code) == taken_down_.end())
            taken_down_.push_back(code);
        held = Hold();
    } else {
        vk = pressed_vk_[code] ? pressed_vk_[code] : keymap_->VkOf(code, e.state);
        pressed_vk_[code] = 0;
        LetGo(code);
    }
    if (xkb_event_ < 0)
        state_valid_ = false;
    if (!vk)
        return false;
    mods = keymap_->ModsOf(e.state, vk, down);
    return true;
}

bool XKeyboard::Remap(int& lost) {
    lost = 0;
    if (DisplayLost())
        return false;
    KeyboardFacts facts = ReadKeyboardFacts(dpy_);
    state_valid_ = false;
    if (keymap_->SameFacts(facts))
        return false;
    Settle();
    keymap_ = std::make_unique<Keymap>(facts);
    std::vector<size_t> which;
    std::vector<const std::vector<Grab>*> sets;
    for (size_t i = 0; i < held_.size(); ++i) {
        if (!claimed_[i])
            continue;
        UngrabAll(held_[i]);
        held_[i].clear();
        which.push_back(i);
        sets.push_back(&keymap_->GrabsOf((uint8_t)(i % 256), (unsigned)(i / 256)));
    }
    std::vector<bool> held = GrabMany(sets);
    for (size_t n = 0; n < which.size(); ++n) {
        if (held[n])
            held_[which[n]] = *sets[n];
        else
            ++lost;
    }
    return true;
}

std::string XKeyboard::Describe() const {
    auto mask_name = [](unsigned m) -> std::string {
        static const char* const kNames[8] = {"Shift", "Lock", "Control", "Mod1",
                                              "Mod2",  "Mod3", "Mod4",    "Mod5"};
        for (int i = 0; i < 8; ++i)
            if (m == (1u << i))
                return kNames[i];
        return "none";
    };
    return "keyboard: Alt " + mask_name(keymap_->AltMask()) + ", Num Lock " +
           mask_name(keymap_->NumLockMask()) + ", Scroll Lock " +
           mask_name(keymap_->ScrollLockMask()) + ", " +
           std::to_string(keymap_->LockCombinations().size()) +
           " lock combinations grabbed per combination, " +
           std::to_string(256 - 2 - keymap_->Unreachable().size()) +
           " virtual keys on this keyboard; detectable auto-repeat " +
           (detectable_repeat_ ? "on" : "not available");
}

} // namespace x11
