// screen.cpp - drawing the device's screen as text.
#include "cli/runner/screen.h"

#include "device/listview.h"
#include "device/menubar.h"

#include <algorithm>

namespace runner {

namespace {

const char* const kEllipsis = "\xE2\x80\xA6"; // U+2026

// One character cell per entry, each a UTF-8 glyph.
using Canvas = std::vector<std::string>;

// The glyph of one UTF-16 unit (a surrogate shows as '?').
std::string Glyph(char16_t c) {
    if (c < 0x20 || c == 0x7F)
        return "?";
    if (c >= 0xD800 && c <= 0xDFFF)
        return "?";
    return device::Narrow(std::u16string_view(&c, 1));
}

// Puts glyphs from x on, clipped to [0, limit).
void Put(Canvas& line, int x, const std::vector<std::string>& glyphs, int limit) {
    limit = std::min<int>(limit, (int)line.size());
    for (size_t i = 0; i < glyphs.size(); ++i) {
        int at = x + (int)i;
        if (at >= 0 && at < limit)
            line[at] = glyphs[i];
    }
}

std::vector<std::string> Glyphs(std::string_view ascii) {
    std::vector<std::string> g;
    for (char c : ascii)
        g.push_back(std::string(1, c));
    return g;
}

// FitText as glyphs.
std::vector<std::string> FitGlyphs(std::u16string_view text, int chars) {
    std::vector<std::string> g;
    int room = chars - 1;
    if (room <= 0)
        return g;
    if ((int)text.size() <= room) {
        for (char16_t c : text)
            g.push_back(Glyph(c));
        return g;
    }
    for (int i = 0; i < room - 1; ++i)
        g.push_back(Glyph(text[i]));
    g.push_back(kEllipsis);
    return g;
}

// Glyphs as one UTF-8 string.
std::string Joined(const std::vector<std::string>& glyphs) {
    std::string s;
    for (const std::string& g : glyphs)
        s += g;
    return s;
}

std::string Framed(const Canvas& line) {
    std::string s = "|";
    for (const std::string& g : line)
        s += g;
    return s + "|";
}

} // namespace

int CharWidth(int dpi) {
    return std::max(1, 6 * dpi / 96);
}

std::string FitText(std::u16string_view text, int chars) {
    return Joined(FitGlyphs(text, chars));
}

ScreenView DrawScreen(device::Device& dev) {
    ScreenView view;
    const device::Profile& p = dev.profile();
    const int cw = CharWidth(p.dpi);
    const int width = std::max(1, p.screen_w / cw);
    const int line_px = std::max(1, 16 * p.dpi / 96); // one text line: a list row's height
    const std::string border = "+" + std::string((size_t)width, '-') + "+";
    auto blank = [&]() { return Canvas((size_t)width, " "); };

    HWND main = dev.MainWindow();
    const device::Window* mw = main ? dev.Find(main) : nullptr;
    const device::Window* list = nullptr;
    const device::Window* bar = nullptr;
    for (device::Window* w : dev.Windows()) {
        if (mw && w->kind == device::WindowKind::ListView && w->parent == main && w->listview &&
            !list)
            list = w;
        if (mw && w->kind == device::WindowKind::MenuBar && w->owner == main && w->menubar && !bar)
            bar = w;
    }
    view.has_window = mw != nullptr;
    view.has_list = list != nullptr;
    ScreenPicture& pic = view.picture;
    pic.width = p.screen_w;
    pic.height = p.screen_h;
    pic.taskbar = std::max(0, p.taskbar);
    if (mw)
        pic.title = device::Narrow(mw->title);
    if (bar) {
        pic.menubar_y = std::min<int>(bar->rect.top, p.screen_h);
        pic.menubar_h = std::max(0, std::min<int>(bar->rect.bottom, p.screen_h) - pic.menubar_y);
        for (const device::MenuBar::Button& b : bar->menubar->buttons)
            pic.buttons.push_back(device::Narrow(b.caption));
    }

    view.lines.push_back(border);
    if (p.taskbar > 0) {
        Canvas line = blank();
        if (mw) {
            std::vector<std::string> title;
            for (char16_t c : mw->title)
                title.push_back(Glyph(c));
            Put(line, 0, title, width);
        }
        view.lines.push_back(Framed(line));
        view.lines.push_back(border);
    }

    // Where the menu bar starts on the screen: rows below it are hidden.
    int covered_from = bar ? std::min<int>(bar->rect.top, p.screen_h) : p.screen_h;
    if (!mw) {
        Canvas line = blank();
        Put(line, 0, Glyphs("(the tool shows no window)"), width);
        view.lines.push_back(Framed(line));
    } else if (!list) {
        int lines = std::max(1, (covered_from - mw->rect.top) / line_px);
        for (int i = 0; i < lines; ++i)
            view.lines.push_back(Framed(blank()));
    } else {
        const device::ListView& lv = *list->listview;
        const int x0 = (mw->rect.left + list->rect.left) / cw;
        const int y0 = mw->rect.top + list->rect.top;
        const int lw = list->rect.right - list->rect.left;
        const int lh = list->rect.bottom - list->rect.top;
        const int limit = std::min(width, x0 + std::max(0, lw) / cw);
        const int hh = lv.HeaderHeight(), rh = lv.RowHeight();
        const int page = lv.RowsPerPage(lh);
        const int top = std::max(0, lv.TopIndex());
        view.row_count = lv.Count();
        view.first_row = top;
        pic.has_list = true;
        pic.list_x = mw->rect.left + list->rect.left;
        pic.list_y = y0;
        pic.list_w = lw;
        pic.list_h = lh;
        pic.header_h = hh;
        pic.row_h = rh;

        // Column positions in characters, in column order.
        std::vector<int> col_x, col_chars;
        int x = x0;
        for (int c = 0; c < lv.ColumnCount(); ++c) {
            int chars = std::max(0, lv.Column(c).width) / cw;
            col_x.push_back(x);
            col_chars.push_back(chars);
            x += chars;
            pic.col_x.push_back((col_x.back() - x0) * cw);
            pic.col_w.push_back(chars * cw);
        }
        if (lh > 0 && y0 + std::min(hh, lh) <= covered_from) {
            Canvas line = blank();
            for (int c = 0; c < lv.ColumnCount(); ++c) {
                std::vector<std::string> g = FitGlyphs(lv.Column(c).text, col_chars[c]);
                Put(line, col_x[c], g, limit);
                pic.header.push_back(Joined(g));
            }
            view.lines.push_back(Framed(line));
        }
        for (int k = 0; k < page; ++k) {
            int r = top + k;
            bool hidden = y0 + hh + (k + 1) * rh > covered_from;
            if (hidden) {
                if (r < view.row_count)
                    ++view.rows_covered;
                continue;
            }
            Canvas line = blank();
            if (r < view.row_count) {
                std::vector<std::string> cells;
                for (int c = 0; c < lv.ColumnCount(); ++c) {
                    std::vector<std::string> g =
                        FitGlyphs(lv.Cell(r, lv.Column(c).sub_item), col_chars[c]);
                    Put(line, col_x[c], g, limit);
                    cells.push_back(Joined(g));
                }
                pic.rows.push_back(std::move(cells));
                pic.row_numbers.push_back(r + 1);
                ++view.rows_shown;
            }
            view.lines.push_back(Framed(line));
        }
    }
    view.lines.push_back(border);

    std::string buttons;
    if (bar) {
        Canvas line = blank();
        int x = 0;
        for (const device::MenuBar::Button& b : bar->menubar->buttons) {
            std::vector<std::string> g{"["};
            for (char16_t c : b.caption)
                g.push_back(Glyph(c));
            g.push_back("]");
            Put(line, x, g, width);
            x += (int)g.size() + 1;
            buttons += (buttons.empty() ? "" : " ") + ("[" + device::Narrow(b.caption) + "]");
        }
        view.lines.push_back(Framed(line));
        view.lines.push_back(border);
    }

    // The summary line.
    std::string s;
    if (!mw) {
        s = "no window";
    } else if (!list) {
        s = "no list view";
    } else if (view.row_count == 0) {
        s = "no rows";
    } else if (view.rows_shown == 0) {
        s = std::to_string(view.row_count) + " rows, none in view";
    } else {
        s = "rows " + std::to_string(view.first_row + 1) + "-" +
            std::to_string(view.first_row + view.rows_shown) + " of " +
            std::to_string(view.row_count);
    }
    if (view.rows_covered)
        s += ", " + std::to_string(view.rows_covered) + " more behind the menu bar";
    if (mw)
        s += bar ? ", menu bar " + buttons : ", no menu bar";
    view.summary = s;
    return view;
}

} // namespace runner
