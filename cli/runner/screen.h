// screen.h - the device's screen as text: the taskbar, the tool's list view
// (header and the rows in view) and its menu bar, inside a frame as wide as
// the screen.
//
// Pixels become characters at a fixed width: 6 pixels per character at
// 96 dpi, scaled with the density (12 at 192 dpi). Each list-view column is
// width / char-width characters wide, one of which is kept free after the
// text, and a text that does not fit is cut and ends in "…", as the list
// view cuts it. Rows are shown from the list view's top index, as many as
// its height holds; rows that lie behind the menu bar are not drawn.
#pragma once

#include "device/device.h"

#include <string>
#include <string_view>
#include <vector>

namespace runner {

// The same screen in pixels, for a picture of it (the browser page): where
// each part lies on the screen and the texts as the list view cuts them.
struct ScreenPicture {
    int width = 0, height = 0, taskbar = 0; // screen size; the taskbar's height
    std::string title;                      // the main window's title
    bool has_list = false;
    int list_x = 0, list_y = 0, list_w = 0, list_h = 0; // the list view on the screen
    int header_h = 0, row_h = 0;
    std::vector<int> col_x, col_w;              // columns, from the list's left edge
    std::vector<std::string> header;            // column texts, cut to fit
    std::vector<std::vector<std::string>> rows; // rows in view, cells cut to fit
    std::vector<int> row_numbers;               // their numbers, from 1
    int menubar_y = -1, menubar_h = 0;          // -1: no menu bar
    std::vector<std::string> buttons;           // menu-bar captions
};

struct ScreenView {
    std::vector<std::string> lines; // the framed screen, one UTF-8 string per text line
    std::string summary;            // "rows 34-48 of 48, menu bar [Exit] [Clear]"
    bool has_window = false;        // the tool shows a main window
    bool has_list = false;          // ... with its list view
    int row_count = 0;              // rows in the list view
    int first_row = 0;              // index of the first row shown
    int rows_shown = 0;             // rows drawn
    int rows_covered = 0;           // rows in the list view's page that the menu bar hides
    ScreenPicture picture;          // the same, in pixels
};

// Pixels per character at a display density.
int CharWidth(int dpi);

// A cell's text in a column `chars` characters wide: the last character is
// kept free; a text longer than the rest is cut to fit and ends in "…".
// Returns UTF-8.
std::string FitText(std::u16string_view text, int chars);

// Draws the screen of the tool running on `dev`.
ScreenView DrawScreen(device::Device& dev);

} // namespace runner
