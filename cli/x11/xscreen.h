// xscreen.h - the device's screen as a real X window: the runner's screen
// model (taskbar with the tool's title, the list view's header and rows, the
// menu bar's buttons) painted at the device's size and scaled up to be
// readable.
#pragma once

#include "cli/runner/screen.h"
#include "device/device.h"

#include <X11/Xlib.h>

#include <string>

namespace x11 {

class ScreenWindow {
  public:
    // A window of the device's screen size times `scale`, made unmapped.
    ScreenWindow(Display* dpy, int width, int height, int scale);
    ~ScreenWindow();
    ScreenWindow(const ScreenWindow&) = delete;
    ScreenWindow& operator=(const ScreenWindow&) = delete;

    ::Window id() const { return win_; }
    int scale() const { return scale_; }

    // Draws the screen when it changed since the last call (or `force`), and
    // maps the window once the tool shows its main window.
    void Update(device::Device& dev, bool force = false);
    // The caption of the menu-bar button under window point (x, y), as the
    // screen model hit-tests it; empty when no button is there.
    std::u16string ButtonAt(device::Device& dev, int x, int y) const;
    // True for the window manager's close request to this window.
    bool IsCloseRequest(const XEvent& e) const;
    // Brings the window to the front (a second instance asked for it).
    void Raise();
    bool mapped() const { return mapped_; }
    // Redraws done (for measurements).
    uint64_t redraws() const { return redraws_; }

  private:
    void MakeAtlas();
    void Draw(const runner::ScreenModel& m);
    void Fill(int x, int y, int w, int h, unsigned long pixel);
    void Text(int x, int y, const std::string& utf8, unsigned long fg, unsigned long bg,
              int limit_px);

    Display* dpy_;
    int w_, h_, scale_;
    ::Window win_ = 0;
    Pixmap canvas_ = 0; // the back buffer, window-sized
    Pixmap atlas_ = 0;  // the font's glyphs, scaled, one bitmap
    int glyph_w_ = 6, glyph_h_ = 13;
    GC gc_ = nullptr;
    XFontStruct* font_ = nullptr;
    Atom wm_protocols_ = 0, wm_delete_ = 0;
    unsigned long white_, black_, bar_, face_, shade_, title_;
    bool mapped_ = false;
    runner::ScreenModel last_; // what was drawn last, to skip a redraw
    std::string title_text_;
    uint64_t redraws_ = 0;
};

} // namespace x11
