// listview.cpp - the report list view control ("SysListView32") of the simulated device.
//
// Storage: a row is six 32-bit cell references (24 bytes). A reference names an entry
// (length, units) in a text arena made of fixed-size chunks that never move, so appending
// never copies old rows or texts and Cell() views stay valid until the rows are deleted.
// Reference 0 means "never set". Short texts ("", "D", "41", "C") are interned: every row
// that shows "D" points at the same entry. A realistic row costs about 24 bytes of cells
// plus its unique tick text (1 + 9 to 11 units).
//
// Gap inventory (what a real list view does that this one does not):
//  - no painting, selection, focus, item state, images, indent, lParam, sorting, owner
//    data, groups or tool tips; LVIF_TEXT is the only item field stored;
//  - no notifications to the parent (LVN_INSERTITEM, LVN_DELETEALLITEMS,
//    LVN_GETDISPINFOW); LPSTR_TEXTCALLBACKW is stored as the empty text, which is what a
//    parent that leaves LVN_GETDISPINFOW to DefWindowProc shows;
//  - cells of sub-items 0 to 5 only: LVM_SETITEMW on a higher sub-item fails even when
//    its column exists;
//  - inserting a column before existing ones does not renumber the cells of existing
//    rows (real controls shift them);
//  - LVM_ENSUREVISIBLE ignores fPartial and there is no horizontal scrolling; the header
//    height does not depend on LVS_NOCOLUMNHEADER; the top index is not clamped when the
//    control is resized;
//  - messages not listed in Handle return 0 without any default processing;
//  - text storage ends at 2^32 UTF-16 units (8 GiB): past that an insert or set fails,
//    as on a real control that runs out of memory.
//
// Choices where platforms differ:
//  - LVM_INSERTITEMW with a negative iItem returns -1 (Wine).
//  - LVM_SETITEMW on a sub-item needs its column to exist (Wine); sub-item 0 of an
//    existing row is always allowed.
//  - LVM_GETITEMTEXTW returns the number of units copied (desktop Windows, Wine); for a
//    bad row it returns 0 and writes "" (Wine leaves the buffer untouched).
//  - A cell never set reads "" with 0 (Wine, with a DefWindowProc parent).
//  - LVM_INSERTCOLUMNW without LVCF_WIDTH gives width 0 (Wine's header default), without
//    LVCF_FMT LVCFMT_LEFT, without LVCF_TEXT "", without LVCF_SUBITEM the column's index.
//  - A fresh control's extended style is 0 (Wine).
#include "device/listview.h"

#include "device/device.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>

namespace device {

namespace {

constexpr int kCells = 6; // cells stored per row: sub-items 0 to 5

constexpr int kRowChunkBits = 13; // 8192 rows (192 KiB) per row chunk
constexpr uint32_t kRowChunk = 1u << kRowChunkBits;

constexpr int kTextChunkBits = 16; // 65536 units (128 KiB) per text chunk
constexpr uint32_t kTextChunk = 1u << kTextChunkBits;
constexpr size_t kMaxTextChunks = size_t{1} << (32 - kTextChunkBits);

// Entries of at most this many units are stored inline; a longer text is kept in a
// string of its own and its entry is {kBigMark, index low, index high}.
constexpr size_t kInlineMax = 4096;
constexpr char16_t kBigMark = 0xFFFF;

// Texts of at most this many units are interned, in an open-addressing table.
constexpr size_t kInternMaxLen = 3;
constexpr int kInternSlotBits = 12;
constexpr uint32_t kInternSlots = 1u << kInternSlotBits;
constexpr uint32_t kInternMax = kInternSlots / 2; // keeps the table at most half full

struct Row {
    uint32_t cell[kCells];
};

// Intern key of a short text: its length and units, never 0 (0 marks a free slot).
inline uint64_t InternKey(const char16_t* s, size_t n) {
    uint64_t key = (uint64_t{1} << 63) | (uint64_t{n} << 48);
    for (size_t i = 0; i < n; ++i)
        key |= uint64_t{s[i]} << (16 * i);
    return key;
}

// Length of a NUL-terminated device text.
inline size_t TextLength(const char16_t* s) {
    const char16_t* p = s;
    while (*p)
        ++p;
    return (size_t)(p - s);
}

const ListColumn kNoColumn{u"", 0, LVCFMT_LEFT, 0};

} // namespace

struct ListView::Impl {
    int dpi;
    std::vector<ListColumn> columns;
    DWORD ex_style = 0;
    int top = 0;

    // Rows: chunk r >> kRowChunkBits, slot r & (kRowChunk - 1).
    int count = 0;
    std::vector<std::unique_ptr<Row[]>> row_chunks;

    // Text arena: a reference is (chunk << kTextChunkBits) | offset of the entry.
    std::vector<std::unique_ptr<char16_t[]>> text_chunks;
    uint32_t text_used = 0; // units used in the last chunk
    std::vector<std::u16string> big;

    std::unique_ptr<uint64_t[]> intern_keys; // kInternSlots, 0 = free
    std::unique_ptr<uint32_t[]> intern_refs;
    uint32_t interned = 0;

    explicit Impl(int d) : dpi(d) {}

    // The row at index r (which must exist or be the slot just reserved).
    Row& RowAt(int r) {
        return row_chunks[(uint32_t)r >> kRowChunkBits][(uint32_t)r & (kRowChunk - 1)];
    }
    const Row& RowAt(int r) const {
        return row_chunks[(uint32_t)r >> kRowChunkBits][(uint32_t)r & (kRowChunk - 1)];
    }

    // Appends an entry for the text to the arena; false when storage is exhausted.
    bool Append(const char16_t* s, size_t n, uint32_t* ref) {
        size_t need = n <= kInlineMax ? n + 1 : 3;
        if (text_chunks.empty() || text_used + need > kTextChunk) {
            if (text_chunks.size() >= kMaxTextChunks)
                return false;
            text_chunks.emplace_back(new char16_t[kTextChunk]);
            text_used = 0;
            if (text_chunks.size() == 1)
                text_chunks[0][text_used++] = 0; // reference 0 stays "never set"
        }
        uint32_t chunk = (uint32_t)(text_chunks.size() - 1);
        char16_t* p = text_chunks.back().get() + text_used;
        if (n <= kInlineMax) {
            p[0] = (char16_t)n;
            std::memcpy(p + 1, s, n * sizeof(char16_t));
        } else {
            if (big.size() >= UINT32_MAX)
                return false;
            uint32_t index = (uint32_t)big.size();
            big.emplace_back(s, n);
            p[0] = kBigMark;
            p[1] = (char16_t)(index & 0xFFFF);
            p[2] = (char16_t)(index >> 16);
        }
        *ref = (chunk << kTextChunkBits) | text_used;
        text_used += (uint32_t)need;
        return true;
    }

    // Stores a copy of the text and gives its reference; false when storage is exhausted.
    bool Store(const char16_t* s, size_t n, uint32_t* ref) {
        if (n > kInternMaxLen)
            return Append(s, n, ref);
        if (!intern_keys) {
            intern_keys.reset(new uint64_t[kInternSlots]());
            intern_refs.reset(new uint32_t[kInternSlots]);
        }
        uint64_t key = InternKey(s, n);
        uint32_t slot = (uint32_t)((key * 0x9E3779B97F4A7C15ull) >> (64 - kInternSlotBits));
        while (intern_keys[slot] != 0) {
            if (intern_keys[slot] == key) {
                *ref = intern_refs[slot];
                return true;
            }
            slot = (slot + 1) & (kInternSlots - 1);
        }
        if (!Append(s, n, ref))
            return false;
        if (interned < kInternMax) { // a full table only stops sharing
            intern_keys[slot] = key;
            intern_refs[slot] = *ref;
            ++interned;
        }
        return true;
    }

    // Stores the text an LVITEMW carries: NULL and the callback marker count as "".
    bool StoreItemText(LPCWSTR text, uint32_t* ref) {
        if (text == nullptr || text == LPSTR_TEXTCALLBACKW)
            return Store(u"", 0, ref);
        return Store(text, TextLength(text), ref);
    }

    // The text of a reference other than 0.
    std::u16string_view Text(uint32_t ref) const {
        const char16_t* p = text_chunks[ref >> kTextChunkBits].get() + (ref & (kTextChunk - 1));
        if (p[0] == kBigMark)
            return big[(uint32_t)p[1] | ((uint32_t)p[2] << 16)];
        return std::u16string_view(p + 1, p[0]);
    }

    // The reference of a cell; 0 for a cell never set or outside the table.
    uint32_t CellRef(int row, int col) const {
        if (row < 0 || row >= count || col < 0 || col >= kCells)
            return 0;
        return RowAt(row).cell[col];
    }

    // LVM_INSERTITEMW: the new row's index, or -1.
    LRESULT InsertItem(const LVITEMW* item) {
        if (item == nullptr || item->iSubItem != 0 || item->iItem < 0 || count == INT_MAX)
            return -1;
        uint32_t ref = 0;
        if ((item->mask & LVIF_TEXT) && !StoreItemText(item->pszText, &ref))
            return -1;
        int index = std::min(item->iItem, count);
        if ((size_t)count == row_chunks.size() * kRowChunk)
            row_chunks.emplace_back(new Row[kRowChunk]);
        for (int r = count; r > index; --r) // rare: an insert before the end
            RowAt(r) = RowAt(r - 1);
        RowAt(index) = Row{{ref, 0, 0, 0, 0, 0}};
        ++count;
        return index;
    }

    // LVM_SETITEMW: TRUE when the cell exists (its text is copied), else FALSE.
    LRESULT SetItem(const LVITEMW* item) {
        if (item == nullptr || item->iItem < 0 || item->iItem >= count)
            return FALSE;
        int sub = item->iSubItem;
        if (sub < 0 || sub >= kCells || (sub != 0 && sub >= (int)columns.size()))
            return FALSE;
        if (item->mask & LVIF_TEXT) {
            uint32_t ref;
            if (!StoreItemText(item->pszText, &ref))
                return FALSE;
            RowAt(item->iItem).cell[sub] = ref;
        }
        return TRUE;
    }

    // LVM_GETITEMTEXTW: copies the cell into the caller's buffer, truncated and
    // NUL-terminated; returns the number of units copied.
    LRESULT GetItemText(int row, LVITEMW* item) const {
        if (item == nullptr || item->cchTextMax <= 0 || item->pszText == nullptr ||
            item->pszText == LPSTR_TEXTCALLBACKW)
            return 0;
        std::u16string_view text;
        if (uint32_t ref = CellRef(row, item->iSubItem))
            text = Text(ref);
        size_t n = std::min(text.size(), (size_t)item->cchTextMax - 1);
        if (n != 0)
            std::memcpy(item->pszText, text.data(), n * sizeof(char16_t));
        item->pszText[n] = 0;
        return (LRESULT)n;
    }

    // LVM_DELETEALLITEMS: drops every row and gives all text and row storage back.
    void DeleteAll() {
        count = 0;
        top = 0;
        std::vector<std::unique_ptr<Row[]>>().swap(row_chunks);
        std::vector<std::unique_ptr<char16_t[]>>().swap(text_chunks);
        text_used = 0;
        std::vector<std::u16string>().swap(big);
        intern_keys.reset();
        intern_refs.reset();
        interned = 0;
    }

    // LVM_INSERTCOLUMNW: the new column's index, or -1.
    LRESULT InsertColumn(int index, const LVCOLUMNW* col) {
        if (col == nullptr || index < 0)
            return -1;
        index = std::min(index, (int)columns.size());
        ListColumn c{u"", 0, LVCFMT_LEFT, index};
        if ((col->mask & LVCF_TEXT) && col->pszText != nullptr &&
            col->pszText != LPSTR_TEXTCALLBACKW)
            c.text.assign(col->pszText, TextLength(col->pszText));
        if (col->mask & LVCF_WIDTH)
            c.width = col->cx;
        if (col->mask & LVCF_FMT)
            c.fmt = col->fmt;
        if (col->mask & LVCF_SUBITEM)
            c.sub_item = col->iSubItem;
        columns.insert(columns.begin() + index, std::move(c));
        return index;
    }
};

// Makes an empty control for a display of this density.
ListView::ListView(int dpi) : impl_(new Impl(dpi)) {}

// Frees the rows, texts and columns.
ListView::~ListView() {
    delete impl_;
}

// Handles one list-view message; `w` gives the control's current height.
LRESULT ListView::Handle(const Window& w, UINT msg, WPARAM wp, LPARAM lp) {
    Impl& m = *impl_;
    switch (msg) {
    case LVM_GETITEMCOUNT:
        return m.count;
    case LVM_INSERTITEMW:
        return m.InsertItem(reinterpret_cast<const LVITEMW*>(lp));
    case LVM_SETITEMW:
        return m.SetItem(reinterpret_cast<const LVITEMW*>(lp));
    case LVM_GETITEMTEXTW:
        return m.GetItemText((int)wp, reinterpret_cast<LVITEMW*>(lp));
    case LVM_DELETEALLITEMS:
        m.DeleteAll();
        return TRUE;
    case LVM_ENSUREVISIBLE: {
        int index = (int)wp;
        if (index < 0 || index >= m.count)
            return FALSE;
        int page = RowsPerPage(w.rect.bottom - w.rect.top);
        if (page == 0 || index < m.top)
            m.top = index;
        else if (index >= m.top + page)
            m.top = index - page + 1;
        return TRUE;
    }
    case LVM_GETEXTENDEDLISTVIEWSTYLE:
        return (LRESULT)m.ex_style;
    case LVM_SETEXTENDEDLISTVIEWSTYLE: {
        DWORD previous = m.ex_style;
        DWORD mask = (DWORD)wp, style = (DWORD)lp;
        m.ex_style = mask == 0 ? style : (m.ex_style & ~mask) | (style & mask);
        return (LRESULT)previous;
    }
    case LVM_INSERTCOLUMNW:
        return m.InsertColumn((int)wp, reinterpret_cast<const LVCOLUMNW*>(lp));
    default:
        return 0;
    }
}

// Number of rows.
int ListView::Count() const {
    return impl_->count;
}

// Number of columns.
int ListView::ColumnCount() const {
    return (int)impl_->columns.size();
}

// Column i; an empty column for an index out of range.
const ListColumn& ListView::Column(int i) const {
    if (i < 0 || i >= (int)impl_->columns.size())
        return kNoColumn;
    return impl_->columns[i];
}

// The text of a cell ("" when never set or outside the table); `set` tells whether it was.
std::u16string_view ListView::Cell(int row, int col, bool* set) const {
    uint32_t ref = impl_->CellRef(row, col);
    if (set)
        *set = ref != 0;
    return ref ? impl_->Text(ref) : std::u16string_view();
}

// Index of the first row shown.
int ListView::TopIndex() const {
    return impl_->top;
}

// Current list-view extended style.
DWORD ListView::ExStyle() const {
    return impl_->ex_style;
}

// Header height in pixels: 18 at 96 dpi, scaled, at least 1.
int ListView::HeaderHeight() const {
    return std::max(1, 18 * impl_->dpi / 96);
}

// Row height in pixels: 16 at 96 dpi, scaled, at least 1.
int ListView::RowHeight() const {
    return std::max(1, 16 * impl_->dpi / 96);
}

// Rows wholly visible below the header in a control of this height.
int ListView::RowsPerPage(int height) const {
    return std::max(0, (height - HeaderHeight()) / RowHeight());
}

// Bytes held for rows and texts: capacity of every chunk and table, not just what is used.
size_t ListView::MemoryBytes() const {
    const Impl& m = *impl_;
    size_t bytes = m.row_chunks.size() * kRowChunk * sizeof(Row) +
                   m.row_chunks.capacity() * sizeof(m.row_chunks[0]) +
                   m.text_chunks.size() * kTextChunk * sizeof(char16_t) +
                   m.text_chunks.capacity() * sizeof(m.text_chunks[0]) +
                   m.big.capacity() * sizeof(std::u16string);
    for (const std::u16string& s : m.big)
        bytes += (s.capacity() + 1) * sizeof(char16_t);
    if (m.intern_keys)
        bytes += kInternSlots * (sizeof(uint64_t) + sizeof(uint32_t));
    return bytes;
}

} // namespace device
