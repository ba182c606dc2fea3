// screen.cpp - laying out the device's screen, and drawing it as text.
#include "cli/runner/screen.h"

#include "device/listview.h"
#include "device/menubar.h"

#include <algorithm>

namespace runner {

namespace {

const char* const kEllipsis = "\xE2\x80\xA6"; // U+2026

// One character cell per entry, each a UTF-8 glyph.
using Canvas = std::vector<std::string>;

// A UTF-16 text as UTF-8, one glyph per unit: '?' for a control character or
// a surrogate.
std::string Printable(std::u16string_view text) {
    std::string s;
    for (char16_t c : text)
        s += c < 0x20 || c == 0x7F || (c >= 0xD800 && c <= 0xDFFF)
                 ? "?"
                 : device::Narrow(std::u16string_view(&c, 1));
    return s;
}

// Puts the glyphs of a UTF-8 text from x on, clipped to [0, limit); returns
// how many it has.
int Put(Canvas& line, int x, std::string_view utf8, int limit) {
    limit = std::min<int>(limit, (int)line.size());
    int n = 0;
    for (size_t i = 0, len; i < utf8.size(); i += len, ++n) {
        for (len = 1; i + len < utf8.size() && ((unsigned char)utf8[i + len] & 0xC0) == 0x80;)
            ++len;
        if (x + n >= 0 && x + n < limit)
            line[x + n] = utf8.substr(i, len);
    }
    return n;
}

// A text line between the frame's sides.
std::string Framed(const Canvas& line) {
    std::string s = "|";
    for (const std::string& g : line)
        s += g;
    return s + "|";
}

// A window's rectangle as an area.
ScreenArea AreaOf(const RECT& r) {
    return {r.left, r.top, r.right - r.left, r.bottom - r.top};
}

// The list view's part of the screen: columns, and the rows in view above
// `covered_from`, where the menu bar starts.
void LayOutList(ScreenModel& m, const device::Window& main, const device::Window& list,
                int covered_from) {
    const device::ListView& lv = *list.listview;
    m.has_list = true;
    m.list = AreaOf(list.rect);
    m.list.x += main.rect.left;
    m.list.y += main.rect.top;
    m.header_h = lv.HeaderHeight();
    m.row_h = lv.RowHeight();
    m.header_shown = m.list.h > 0 && m.list.y + std::min(m.header_h, m.list.h) <= covered_from;
    m.row_count = lv.Count();
    m.first_row = std::max(0, lv.TopIndex());
    int x = 0;
    for (int c = 0; c < lv.ColumnCount(); ++c) {
        const int w = std::max(0, lv.Column(c).width), chars = w / m.char_w;
        m.columns.push_back({x, w, chars, FitText(lv.Column(c).text, chars)});
        x += w;
    }
    const int page = lv.RowsPerPage(m.list.h);
    for (int k = 0; k < page; ++k) {
        const int r = m.first_row + k;
        if (m.list.y + m.header_h + (k + 1) * m.row_h > covered_from) {
            m.rows_covered += r < m.row_count;
            continue;
        }
        ++m.lines_shown;
        if (r >= m.row_count)
            continue;
        std::vector<std::string> cells;
        for (int c = 0; c < lv.ColumnCount(); ++c)
            cells.push_back(FitText(lv.Cell(r, lv.Column(c).sub_item), m.columns[c].chars));
        m.rows.push_back(std::move(cells));
    }
}

// The summary line: "rows 34-48 of 48, menu bar [Exit] [Clear]".
std::string Summary(const ScreenModel& m) {
    if (!m.has_window)
        return "no window";
    std::string s;
    const int shown = (int)m.rows.size();
    if (!m.has_list)
        s = "no list view";
    else if (m.row_count == 0)
        s = "no rows";
    else if (shown == 0)
        s = std::to_string(m.row_count) + " rows, none in view";
    else
        s = "rows " + std::to_string(m.first_row + 1) + "-" + std::to_string(m.first_row + shown) +
            " of " + std::to_string(m.row_count);
    if (m.rows_covered)
        s += ", " + std::to_string(m.rows_covered) + " more behind the menu bar";
    if (!m.has_menubar)
        return s + ", no menu bar";
    std::string buttons;
    for (const ScreenModel::Button& b : m.buttons)
        buttons += (buttons.empty() ? "[" : " [") + device::Narrow(b.caption) + "]";
    return s + ", menu bar " + buttons;
}

} // namespace

int CharWidth(int dpi) {
    return std::max(1, 6 * dpi / 96);
}

int LineHeight(int dpi) {
    return std::max(1, 16 * dpi / 96);
}

std::string FitText(std::u16string_view text, int chars) {
    const int room = chars - 1;
    if (room <= 0)
        return "";
    if ((int)text.size() <= room)
        return Printable(text);
    return Printable(text.substr(0, room - 1)) + kEllipsis;
}

ScreenModel LayOutScreen(device::Device& dev) {
    ScreenModel m;
    const device::Profile& p = dev.profile();
    m.width = p.screen_w;
    m.height = p.screen_h;
    m.taskbar = std::max(0, p.taskbar);
    m.char_w = CharWidth(p.dpi);
    HWND main = dev.MainWindow();
    const device::Window* mw = main ? dev.Find(main) : nullptr;
    if (!mw)
        return m;
    const device::Window* list = nullptr;
    const device::Window* bar = nullptr;
    for (device::Window* w : dev.Windows()) {
        if (w->kind == device::WindowKind::ListView && w->parent == main && w->listview && !list)
            list = w;
        if (w->kind == device::WindowKind::MenuBar && w->owner == main && w->menubar && !bar)
            bar = w;
    }
    m.has_window = true;
    m.title = mw->title;
    if (bar) {
        // Clipped to the screen; its buttons share its width equally.
        m.has_menubar = true;
        m.menubar = AreaOf(bar->rect);
        m.menubar.y = std::min(m.menubar.y, p.screen_h);
        m.menubar.h = std::max(0, std::min<int>(bar->rect.bottom, p.screen_h) - m.menubar.y);
        const auto& buttons = bar->menubar->buttons;
        const int n = (int)buttons.size(), bw = m.menubar.w;
        for (int i = 0; i < n; ++i) {
            ScreenArea a = m.menubar;
            a.x += bw * i / n;
            a.w = bw * (i + 1) / n - bw * i / n;
            m.buttons.push_back({buttons[i].caption, a, (buttons[i].state & TBSTATE_ENABLED) != 0});
        }
    }
    const int covered_from = bar ? m.menubar.y : p.screen_h;
    if (list) {
        LayOutList(m, *mw, *list, covered_from);
    } else {
        m.lines_shown = std::max(1, (covered_from - (int)mw->rect.top) / LineHeight(p.dpi));
    }
    return m;
}

const ScreenModel::Button* ButtonAt(const ScreenModel& screen, int x, int y) {
    for (const ScreenModel::Button& b : screen.buttons) {
        const ScreenArea& a = b.area;
        if (x >= a.x && x < a.x + a.w && y >= a.y && y < a.y + a.h)
            return &b;
    }
    return nullptr;
}

ScreenView DrawScreen(device::Device& dev) {
    ScreenView view;
    view.model = LayOutScreen(dev);
    const ScreenModel& m = view.model;
    const int width = std::max(1, m.width / m.char_w);
    const std::string border = "+" + std::string((size_t)width, '-') + "+";
    auto blank = [&]() { return Canvas((size_t)width, " "); };

    view.lines.push_back(border);
    if (m.taskbar > 0) {
        Canvas line = blank();
        Put(line, 0, Printable(m.title), width);
        view.lines.push_back(Framed(line));
        view.lines.push_back(border);
    }
    if (!m.has_window) {
        Canvas line = blank();
        Put(line, 0, "(the tool shows no window)", width);
        view.lines.push_back(Framed(line));
    }
    // The list view's columns in characters, from its left edge on the screen.
    const int x0 = m.list.x / m.char_w;
    const int limit = std::min(width, x0 + std::max(0, m.list.w) / m.char_w);
    std::vector<int> col_x;
    for (int x = x0; const ScreenModel::Column& c : m.columns) {
        col_x.push_back(x);
        x += c.chars;
    }
    if (m.header_shown) {
        Canvas line = blank();
        for (size_t c = 0; c < m.columns.size(); ++c)
            Put(line, col_x[c], m.columns[c].header, limit);
        view.lines.push_back(Framed(line));
    }
    for (int k = 0; k < m.lines_shown; ++k) {
        Canvas line = blank();
        if (k < (int)m.rows.size())
            for (size_t c = 0; c < m.columns.size(); ++c)
                Put(line, col_x[c], m.rows[k][c], limit);
        view.lines.push_back(Framed(line));
    }
    view.lines.push_back(border);

    if (m.has_menubar) {
        Canvas line = blank();
        int x = 0;
        for (const ScreenModel::Button& b : m.buttons)
            x += Put(line, x, "[" + Printable(b.caption) + "]", width) + 1;
        view.lines.push_back(Framed(line));
        view.lines.push_back(border);
    }
    view.summary = Summary(m);
    return view;
}

} // namespace runner
