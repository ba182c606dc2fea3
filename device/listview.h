// listview.h - the report list view control ("SysListView32") of the simulated device.
//
// Rows are stored compactly: a long session logs millions of rows, so a row is
// six 32-bit references into shared text storage, not six strings.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace device {

struct Window;

struct ListColumn {
    std::u16string text;
    int width;
    int fmt;
    int sub_item;
};

class ListView {
  public:
    explicit ListView(int dpi);
    ~ListView();

    // Handles one message sent to the control; `w` is its window (for its height).
    LRESULT Handle(const Window& w, UINT msg, WPARAM wp, LPARAM lp);

    // --- inspection, for drawing the screen and for tests ---
    int Count() const;
    int ColumnCount() const;
    const ListColumn& Column(int i) const;
    // The text of a cell; empty for a cell never set. `set` tells whether it was.
    std::u16string_view Cell(int row, int col, bool* set = nullptr) const;
    int TopIndex() const;
    DWORD ExStyle() const;
    int HeaderHeight() const;
    int RowHeight() const;
    // Rows wholly visible in a control of this height.
    int RowsPerPage(int height) const;
    // Bytes held for the rows (storage capacity), for memory measurements.
    size_t MemoryBytes() const;

  private:
    struct Impl;
    Impl* impl_;
    ListView(const ListView&) = delete; // owns impl_: never copied
    ListView& operator=(const ListView&) = delete;
};

} // namespace device
