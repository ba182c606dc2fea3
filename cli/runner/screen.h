// screen.h - the device's screen laid out once, in device pixels: the
// taskbar with the tool's title, the list view (header, columns, the rows in
// view), the menu bar and where a tap hits each button. The transcript and
// the terminal show it as text; the browser page and the X window paint it
// and find a clicked button with ButtonAt.
//
// Pixels become characters at a fixed width: 6 pixels per character at
// 96 dpi, scaled with the density (12 at 192 dpi). Each list-view column
// holds width / char-width characters, one of which is kept free after the
// text, and a text that does not fit is cut and ends in "…", as the list
// view cuts it. Rows are shown from the list view's top index, as many as
// its height holds; rows that lie behind the menu bar are not shown. The
// menu bar's buttons share its width equally, in order.
#pragma once

#include "device/device.h"

#include <string>
#include <string_view>
#include <vector>

namespace runner {

// A rectangle on the device's screen, in pixels.
struct ScreenArea {
    int x = 0, y = 0, w = 0, h = 0;
    bool operator==(const ScreenArea&) const = default;
};

struct ScreenModel {
    struct Column {
        int x = 0, w = 0;   // pixels, from the list's left edge
        int chars = 0;      // characters it holds
        std::string header; // its text, cut to fit (UTF-8)
        bool operator==(const Column&) const = default;
    };
    struct Button {
        std::u16string caption;
        ScreenArea area; // where a tap hits it
        bool enabled = true;
        bool operator==(const Button&) const = default;
    };

    int width = 0, height = 0, taskbar = 0; // screen size; the taskbar's height
    int char_w = 1;                         // pixels per character
    bool has_window = false;                // the tool shows a main window
    std::u16string title;                   // ... with this title
    bool has_list = false;                  // ... with its list view
    ScreenArea list;                        // ... here
    int header_h = 0, row_h = 0;
    bool header_shown = false; // the header is not behind the menu bar
    std::vector<Column> columns;
    int row_count = 0;    // rows in the list view
    int first_row = 0;    // index of the first row in view
    int lines_shown = 0;  // row lines above the menu bar (text lines without a list)
    int rows_covered = 0; // rows in the list view's page that the menu bar hides
    std::vector<std::vector<std::string>> rows; // rows in view, cells cut to fit (UTF-8)
    bool has_menubar = false;
    ScreenArea menubar;
    std::vector<Button> buttons;

    bool operator==(const ScreenModel&) const = default;
};

struct ScreenView {
    ScreenModel model;
    std::vector<std::string> lines; // the framed screen, one UTF-8 string per text line
    std::string summary;            // "rows 34-48 of 48, menu bar [Exit] [Clear]"
};

// Pixels per character at a display density.
int CharWidth(int dpi);
// Pixels per text line (a list row's height) at a display density.
int LineHeight(int dpi);

// A cell's text in a column `chars` characters wide: the last character is
// kept free; a text longer than the rest is cut to fit and ends in "…".
// Returns UTF-8.
std::string FitText(std::u16string_view text, int chars);

// Lays out the screen of the tool running on `dev`.
ScreenModel LayOutScreen(device::Device& dev);

// The menu-bar button a tap at screen point (x, y) hits, or null.
const ScreenModel::Button* ButtonAt(const ScreenModel& screen, int x, int y);

// Lays out the screen of the tool running on `dev` and draws it as text.
ScreenView DrawScreen(device::Device& dev);

} // namespace runner
