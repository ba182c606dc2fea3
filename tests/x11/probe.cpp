// probe.cpp - a second X client for the tests of tapwatcher-x11: it holds key
// combinations, types and clicks with XTest, listens as the focused window,
// counts windows, and checks that every key can be grabbed again.
//
//   probe hold COMBO...          grab each (e.g. ctrl+alt+t shift+F3) until killed
//   probe listen SECONDS         a focused window printing "press t Control" lines
//   probe keys STEP...           +KEYSYM press, -KEYSYM release, ~MS sleep,
//                                @X,Y click in the window Tapwatcher
//   probe click TITLE X Y        click button 1 at (X, Y) in the window TITLE
//   probe windows TITLE          print how many mapped windows are called TITLE
//   probe windowid TITLE         print the id of the one window called TITLE
//   probe grab-all               print "refused N": keys someone still grabs
//   probe numlock on|off         set Num Lock
//
// Exit status 0, or 1 with a message on standard error.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

int g_refused = 0;

// OnError: counts refused grabs; other errors are printed.
int OnError(Display* dpy, XErrorEvent* e) {
    if (e->error_code == BadAccess) {
        ++g_refused;
        return 0;
    }
    char text[128];
    XGetErrorText(dpy, e->error_code, text, sizeof text);
    std::fprintf(stderr, "probe: X error %s (request %d)\n", text, e->request_code);
    return 0;
}

[[noreturn]] void Fail(const std::string& why) {
    std::fprintf(stderr, "probe: %s\n", why.c_str());
    std::exit(1);
}

// The key code of a keysym name, or a failure.
KeyCode Code(Display* dpy, const std::string& name) {
    KeySym ks = XStringToKeysym(name.c_str());
    KeyCode k = ks == NoSymbol ? 0 : XKeysymToKeycode(dpy, ks);
    if (!k)
        Fail("no key for \"" + name + "\"");
    return k;
}

// Mask names of a state, "Shift Control Mod1 Mod2".
std::string MaskText(unsigned state) {
    static const char* const kNames[8] = {"Shift", "Lock", "Control", "Mod1",
                                          "Mod2",  "Mod3", "Mod4",    "Mod5"};
    std::string s;
    for (int i = 0; i < 8; ++i)
        if (state & (1u << i))
            s += (s.empty() ? "" : " ") + std::string(kNames[i]);
    return s.empty() ? "none" : s;
}

int Hold(Display* dpy, const std::vector<std::string>& combos) {
    for (const std::string& combo : combos) {
        unsigned mask = 0;
        std::string key;
        size_t start = 0;
        for (;;) {
            size_t plus = combo.find('+', start);
            std::string part = combo.substr(start, plus == std::string::npos ? plus : plus - start);
            if (plus == std::string::npos) {
                key = part;
                break;
            }
            if (part == "ctrl")
                mask |= ControlMask;
            else if (part == "alt")
                mask |= Mod1Mask;
            else if (part == "shift")
                mask |= ShiftMask;
            else
                Fail("unknown modifier " + part);
            start = plus + 1;
        }
        XGrabKey(dpy, Code(dpy, key), mask, DefaultRootWindow(dpy), False, GrabModeAsync,
                 GrabModeAsync);
    }
    XSync(dpy, False);
    if (g_refused)
        Fail(std::to_string(g_refused) + " of the combinations are held by another client");
    std::printf("holding\n");
    std::fflush(stdout);
    for (;;)
        pause();
}

int Listen(Display* dpy, int seconds) {
    Window w = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 600, 0, 200, 100, 0, 0, 0);
    XStoreName(dpy, w, "probe listener");
    XSelectInput(dpy, w, KeyPressMask | KeyReleaseMask | StructureNotifyMask);
    XMapWindow(dpy, w);
    for (;;) {
        XEvent e;
        XNextEvent(dpy, &e);
        if (e.type == MapNotify)
            break;
    }
    XSetInputFocus(dpy, w, RevertToParent, CurrentTime);
    XSync(dpy, False);
    std::printf("ready\n");
    std::fflush(stdout);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int fd = ConnectionNumber(dpy);
    while (std::chrono::steady_clock::now() < end) {
        while (XPending(dpy)) {
            XEvent e;
            XNextEvent(dpy, &e);
            if (e.type != KeyPress && e.type != KeyRelease)
                continue;
            KeySym ks = XkbKeycodeToKeysym(dpy, (KeyCode)e.xkey.keycode, 0, 0);
            const char* name = XKeysymToString(ks);
            std::printf("%s %s %s\n", e.type == KeyPress ? "press" : "release", name ? name : "?",
                        MaskText(e.xkey.state).c_str());
            std::fflush(stdout);
        }
        fd_set fds;
        FD_ZERO(&fds);
        FD_SET(fd, &fds);
        struct timeval tv = {0, 100000};
        select(fd + 1, &fds, nullptr, nullptr, &tv);
    }
    return 0;
}

int Click(Display* dpy, const std::string& title, int x, int y);

int Keys(Display* dpy, const std::vector<std::string>& steps) {
    for (const std::string& s : steps) {
        if (s[0] == '@' && s.find(',') != std::string::npos) {
            Click(dpy, "Tapwatcher", std::atoi(s.c_str() + 1),
                  std::atoi(s.c_str() + s.find(',') + 1));
            continue;
        }
        if (s.size() < 2)
            Fail("bad step \"" + s + "\"");
        if (s[0] == '~') {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(s.c_str() + 1)));
            continue;
        }
        if (s[0] != '+' && s[0] != '-')
            Fail("bad step \"" + s + "\"");
        XTestFakeKeyEvent(dpy, Code(dpy, s.substr(1)), s[0] == '+', CurrentTime);
        XSync(dpy, False);
    }
    return 0;
}

// Mapped windows anywhere below the root whose name is `title`.
std::vector<Window> Named(Display* dpy, Window parent, const std::string& title) {
    std::vector<Window> out;
    Window root, up, *kids = nullptr;
    unsigned n = 0;
    if (!XQueryTree(dpy, parent, &root, &up, &kids, &n))
        return out;
    for (unsigned i = 0; i < n; ++i) {
        XWindowAttributes a;
        char* name = nullptr;
        if (XGetWindowAttributes(dpy, kids[i], &a) && a.map_state == IsViewable &&
            XFetchName(dpy, kids[i], &name) && name) {
            if (title == name)
                out.push_back(kids[i]);
            XFree(name);
        }
        for (Window w : Named(dpy, kids[i], title))
            out.push_back(w);
    }
    if (kids)
        XFree(kids);
    return out;
}

int Click(Display* dpy, const std::string& title, int x, int y) {
    std::vector<Window> ws = Named(dpy, DefaultRootWindow(dpy), title);
    if (ws.size() != 1)
        Fail(std::to_string(ws.size()) + " windows called \"" + title + "\"");
    int rx, ry;
    Window child;
    XTranslateCoordinates(dpy, ws[0], DefaultRootWindow(dpy), x, y, &rx, &ry, &child);
    XTestFakeMotionEvent(dpy, DefaultScreen(dpy), rx, ry, CurrentTime);
    XTestFakeButtonEvent(dpy, 1, True, CurrentTime);
    XTestFakeButtonEvent(dpy, 1, False, CurrentTime);
    XSync(dpy, False);
    return 0;
}

int GrabAll(Display* dpy) {
    int lo, hi;
    XDisplayKeycodes(dpy, &lo, &hi);
    Window root = DefaultRootWindow(dpy);
    for (int k = lo; k <= hi; ++k) {
        XGrabKey(dpy, k, AnyModifier, root, False, GrabModeAsync, GrabModeAsync);
        XSync(dpy, False);
        XUngrabKey(dpy, k, AnyModifier, root);
    }
    XSync(dpy, False);
    std::printf("refused %d\n", g_refused);
    return 0;
}

int NumLock(Display* dpy, bool on) {
    unsigned mask = XkbKeysymToModifiers(dpy, XK_Num_Lock);
    XkbStateRec st;
    XkbGetState(dpy, XkbUseCoreKbd, &st);
    if (((st.locked_mods & mask) != 0) != on) {
        KeyCode k = Code(dpy, "Num_Lock");
        XTestFakeKeyEvent(dpy, k, True, CurrentTime);
        XTestFakeKeyEvent(dpy, k, False, CurrentTime);
        XSync(dpy, False);
    }
    XkbGetState(dpy, XkbUseCoreKbd, &st);
    if (((st.locked_mods & mask) != 0) != on)
        Fail("Num Lock did not change");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        Fail("usage: probe hold|listen|keys|click|windows|grab-all|numlock ...");
    // Held in a global: the connection lives until the process ends, and a
    // leak checker sees it still reachable.
    static Display* dpy;
    dpy = XOpenDisplay(nullptr);
    if (!dpy)
        Fail("cannot open the display");
    XSetErrorHandler(OnError);
    std::string cmd = argv[1];
    std::vector<std::string> rest(argv + 2, argv + argc);
    if (cmd == "hold")
        return Hold(dpy, rest);
    if (cmd == "listen")
        return Listen(dpy, rest.empty() ? 30 : std::atoi(rest[0].c_str()));
    if (cmd == "keys")
        return Keys(dpy, rest);
    if (cmd == "click" && rest.size() == 3)
        return Click(dpy, rest[0], std::atoi(rest[1].c_str()), std::atoi(rest[2].c_str()));
    if (cmd == "windows" && rest.size() == 1) {
        std::printf("%zu\n", Named(dpy, DefaultRootWindow(dpy), rest[0]).size());
        return 0;
    }
    if (cmd == "windowid" && rest.size() == 1) {
        std::vector<Window> ws = Named(dpy, DefaultRootWindow(dpy), rest[0]);
        if (ws.size() != 1)
            Fail(std::to_string(ws.size()) + " windows called \"" + rest[0] + "\"");
        std::printf("0x%lx\n", (unsigned long)ws[0]);
        return 0;
    }
    if (cmd == "grab-all")
        return GrabAll(dpy);
    if (cmd == "numlock" && rest.size() == 1)
        return NumLock(dpy, rest[0] == "on");
    Fail("unknown command \"" + cmd + "\"");
}
