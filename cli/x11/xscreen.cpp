// xscreen.cpp - painting the runner's screen model into a real X window.
//
// The model is painted in device pixels, each one a scale x scale block, into
// a back buffer on the server, then copied to the window: plain pixel
// doubling, which keeps the device's look. Text is the server's built-in
// "fixed" font (6 pixels a character, the device's character width at 96 dpi,
// the width the model cuts a cell's text to), each glyph scaled once into an
// atlas at start; a redraw then makes no round trip and sends no image.
//
// Choices where the device says nothing about drawing:
//  - the taskbar is dark blue with the tool's window title in white;
//  - the list view's header is grey with a line after each column;
//  - the menu bar is grey, each button's caption centred in its share of it
//    ("Exit" the left half, "Clear" the right); a click taps the button
//    under it when the button is released over the same button;
//  - characters beyond Latin-1 are drawn as '?', the list view's "…" as three
//    dots;
//  - the window has a fixed size and is mapped when the tool's main window
//    first becomes visible; it is never given the input focus (the keys it
//    watches come from grabs).
#include "cli/x11/xscreen.h"

#include "device/x11/xkeyboard.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace x11 {

namespace {

// A named colour of the default colour map, or `fallback`.
unsigned long Colour(Display* dpy, const char* name, unsigned long fallback) {
    XColor exact, screen;
    if (XAllocNamedColor(dpy, DefaultColormap(dpy, DefaultScreen(dpy)), name, &screen, &exact))
        return screen.pixel;
    return fallback;
}

// The code points of a UTF-8 text (a bad byte counts as '?').
std::vector<uint32_t> CodePoints(const std::string& s) {
    std::vector<uint32_t> out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = (unsigned char)s[i];
        int len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (len == 0 || i + len > s.size()) {
            out.push_back('?');
            ++i;
            continue;
        }
        uint32_t cp = len == 1 ? c : c & (0x7F >> len);
        for (int k = 1; k < len; ++k)
            cp = cp << 6 | ((unsigned char)s[i + k] & 0x3F);
        out.push_back(cp);
        i += len;
    }
    return out;
}

} // namespace

ScreenWindow::ScreenWindow(Display* dpy, int width, int height, int scale)
    : dpy_(dpy), w_(width), h_(height), scale_(scale) {
    int scr = DefaultScreen(dpy);
    white_ = WhitePixel(dpy, scr);
    black_ = BlackPixel(dpy, scr);
    bar_ = Colour(dpy, "#1c3f94", black_);
    face_ = Colour(dpy, "#d4d0c8", white_);
    shade_ = Colour(dpy, "#808080", black_);
    title_ = white_;

    win_ = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, (unsigned)(w_ * scale_),
                               (unsigned)(h_ * scale_), 0, black_, white_);
    XStoreName(dpy, win_, "Tapwatcher");
    XClassHint* cls = XAllocClassHint();
    cls->res_name = const_cast<char*>("tapwatcher-x11");
    cls->res_class = const_cast<char*>("Tapwatcher");
    XSetClassHint(dpy, win_, cls);
    XFree(cls);
    XSizeHints* size = XAllocSizeHints();
    size->flags = PMinSize | PMaxSize;
    size->min_width = size->max_width = w_ * scale_;
    size->min_height = size->max_height = h_ * scale_;
    XSetWMNormalHints(dpy, win_, size);
    XFree(size);
    XWMHints* hints = XAllocWMHints();
    hints->flags = InputHint;
    hints->input = False; // keys come from grabs; the focus stays where the user has it
    XSetWMHints(dpy, win_, hints);
    XFree(hints);
    long pid = (long)getpid();
    XChangeProperty(dpy, win_, XInternAtom(dpy, "_NET_WM_PID", False), XA_CARDINAL, 32,
                    PropModeReplace, (unsigned char*)&pid, 1);
    wm_protocols_ = XInternAtom(dpy, "WM_PROTOCOLS", False);
    wm_delete_ = XInternAtom(dpy, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(dpy, win_, &wm_delete_, 1);
    XSelectInput(dpy, win_, ExposureMask | ButtonPressMask | ButtonReleaseMask);

    canvas_ = XCreatePixmap(dpy, win_, (unsigned)(w_ * scale_), (unsigned)(h_ * scale_),
                            (unsigned)DefaultDepth(dpy, scr));
    gc_ = XCreateGC(dpy, canvas_, 0, nullptr);
    font_ = XLoadQueryFont(dpy, "fixed");
    if (font_)
        MakeAtlas();
    title_text_ = "Tapwatcher";
}

// MakeAtlas: glyphs 0x20-0xFF of the font in one row of cells, slot 0 holding
// the list view's "…" (three dots), scaled once into a bitmap on the server.
void ScreenWindow::MakeAtlas() {
    glyph_w_ = 6;
    glyph_h_ = font_->ascent + font_->descent;
    const int W = 256 * glyph_w_, H = glyph_h_;
    Pixmap one = XCreatePixmap(dpy_, win_, (unsigned)W, (unsigned)H, 1);
    GC gc1 = XCreateGC(dpy_, one, 0, nullptr);
    XSetForeground(dpy_, gc1, 0);
    XFillRectangle(dpy_, one, gc1, 0, 0, (unsigned)W, (unsigned)H);
    XSetForeground(dpy_, gc1, 1);
    XSetFont(dpy_, gc1, font_->fid);
    for (int c = 0x20; c <= 0xFF; ++c) {
        char ch = (char)c;
        XDrawString(dpy_, one, gc1, c * glyph_w_, font_->ascent, &ch, 1);
    }
    for (int d = 0; d < 3; ++d)
        XDrawPoint(dpy_, one, gc1, 1 + 2 * d, font_->ascent - 1);
    XImage* small = XGetImage(dpy_, one, 0, 0, (unsigned)W, (unsigned)H, 1, XYPixmap);
    const int SW = W * scale_, SH = H * scale_, bpl = (SW + 7) / 8;
    char* data = (char*)std::calloc((size_t)bpl * SH, 1);
    XImage* big = small && data
                      ? XCreateImage(dpy_, DefaultVisual(dpy_, DefaultScreen(dpy_)), 1, XYBitmap, 0,
                                     data, (unsigned)SW, (unsigned)SH, 8, bpl)
                      : nullptr;
    if (big) {
        for (int y = 0; y < SH; ++y)
            for (int x = 0; x < SW; ++x)
                XPutPixel(big, x, y, XGetPixel(small, x / scale_, y / scale_));
        atlas_ = XCreatePixmap(dpy_, win_, (unsigned)SW, (unsigned)SH, 1);
        XSetForeground(dpy_, gc1, 1); // a bitmap image is put in the GC's two colours
        XSetBackground(dpy_, gc1, 0);
        XPutImage(dpy_, atlas_, gc1, big, 0, 0, 0, 0, (unsigned)SW, (unsigned)SH);
        XDestroyImage(big); // frees `data`
    } else {
        std::free(data);
    }
    if (small)
        XDestroyImage(small);
    XFreeGC(dpy_, gc1);
    XFreePixmap(dpy_, one);
}

ScreenWindow::~ScreenWindow() {
    if (DisplayLost())
        return;
    if (font_)
        XFreeFont(dpy_, font_);
    if (atlas_)
        XFreePixmap(dpy_, atlas_);
    XFreeGC(dpy_, gc_);
    XFreePixmap(dpy_, canvas_);
    XDestroyWindow(dpy_, win_);
}

bool ScreenWindow::IsCloseRequest(const XEvent& e) const {
    return e.type == ClientMessage && e.xclient.window == win_ &&
           e.xclient.message_type == wm_protocols_ && e.xclient.format == 32 &&
           (Atom)e.xclient.data.l[0] == wm_delete_;
}

void ScreenWindow::Raise() {
    if (DisplayLost())
        return;
    XMapRaised(dpy_, win_);
    mapped_ = true;
}

void ScreenWindow::Update(device::Device& dev, bool force) {
    if (DisplayLost())
        return;
    HWND main = dev.MainWindow();
    const device::Window* mw = main ? dev.Find(main) : nullptr;
    if (mw && !mapped_ && (mw->style & WS_VISIBLE)) {
        XMapWindow(dpy_, win_);
        mapped_ = true;
        force = true;
    }
    if (mw && !mw->title.empty() && device::Narrow(mw->title) != title_text_) {
        title_text_ = device::Narrow(mw->title);
        XStoreName(dpy_, win_, title_text_.c_str());
    }
    if (!mapped_)
        return;
    runner::ScreenModel model = runner::LayOutScreen(dev);
    if (!force && model == last_)
        return;
    last_ = std::move(model);
    Draw(last_);
    XCopyArea(dpy_, canvas_, win_, gc_, 0, 0, (unsigned)(w_ * scale_), (unsigned)(h_ * scale_), 0,
              0);
    ++redraws_;
}

// Fill: a rectangle in device pixels.
void ScreenWindow::Fill(int x, int y, int w, int h, unsigned long pixel) {
    if (w <= 0 || h <= 0)
        return;
    XSetForeground(dpy_, gc_, pixel);
    XFillRectangle(dpy_, canvas_, gc_, x * scale_, y * scale_, (unsigned)(w * scale_),
                   (unsigned)(h * scale_));
}

// Text: one line of UTF-8 text from (x, top y) in device pixels, on `bg`,
// cut at `limit_px`.
void ScreenWindow::Text(int x, int y, const std::string& utf8, unsigned long fg, unsigned long bg,
                        int limit_px) {
    if (!atlas_)
        return;
    XSetForeground(dpy_, gc_, fg);
    XSetBackground(dpy_, gc_, bg);
    for (uint32_t cp : CodePoints(utf8)) {
        if (x + glyph_w_ > limit_px)
            break;
        int slot = cp == 0x2026 ? 0 : (cp >= 0x20 && cp <= 0xFF) ? (int)cp : '?';
        XCopyPlane(dpy_, atlas_, canvas_, gc_, slot * glyph_w_ * scale_, 0,
                   (unsigned)(glyph_w_ * scale_), (unsigned)(glyph_h_ * scale_), x * scale_,
                   y * scale_, 1);
        x += glyph_w_;
    }
}

// Draw: the screen model into the back buffer, in device pixels.
void ScreenWindow::Draw(const runner::ScreenModel& m) {
    Fill(0, 0, w_, h_, white_);
    const int line_h = glyph_h_;
    if (m.taskbar > 0) {
        Fill(0, 0, w_, m.taskbar, bar_);
        Text(4, (m.taskbar - line_h) / 2, device::Narrow(m.title), title_, bar_, w_);
    }
    if (!m.has_window)
        Text(4, m.taskbar + 4, "(the tool shows no window)", black_, white_, w_);
    const runner::ScreenArea& l = m.list;
    const int right = std::min(w_, l.x + l.w);
    if (m.header_shown) {
        Fill(l.x, l.y, l.w, m.header_h, face_);
        Fill(l.x, l.y + m.header_h - 1, right - l.x, 1, shade_);
        for (const runner::ScreenModel::Column& c : m.columns) {
            Text(l.x + c.x + 2, l.y + (m.header_h - line_h) / 2, c.header, black_, face_,
                 std::min(right, l.x + c.x + c.w));
            Fill(l.x + c.x + c.w - 1, l.y + 2, 1, m.header_h - 4, shade_);
        }
    }
    for (size_t r = 0; r < m.rows.size(); ++r) {
        const int y = l.y + m.header_h + (int)r * m.row_h + (m.row_h - line_h) / 2;
        for (size_t c = 0; c < m.columns.size(); ++c) {
            const runner::ScreenModel::Column& col = m.columns[c];
            Text(l.x + col.x + 2, y, m.rows[r][c], black_, white_,
                 std::min(right, l.x + col.x + col.w));
        }
    }
    if (m.has_menubar) {
        const runner::ScreenArea& bar = m.menubar;
        Fill(bar.x, bar.y, bar.w, bar.h, face_);
        Fill(bar.x, bar.y, bar.w, 1, shade_);
    }
    for (size_t i = 0; i < m.buttons.size(); ++i) {
        const runner::ScreenModel::Button& b = m.buttons[i];
        const runner::ScreenArea& a = b.area;
        std::string caption = device::Narrow(b.caption);
        int text_w = glyph_w_ * (int)CodePoints(caption).size();
        Text(a.x + (a.w - text_w) / 2, a.y + (a.h - line_h) / 2, caption,
             b.enabled ? black_ : shade_, face_, a.x + a.w);
        if (i > 0)
            Fill(a.x, a.y + 4, 1, a.h - 8, shade_);
    }
}

std::u16string ScreenWindow::ButtonAt(device::Device& dev, int x, int y) const {
    const runner::ScreenModel m = runner::LayOutScreen(dev);
    const runner::ScreenModel::Button* b = runner::ButtonAt(m, x / scale_, y / scale_);
    return b ? b->caption : u"";
}

} // namespace x11
