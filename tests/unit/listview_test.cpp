// listview_test.cpp - the simulated report list view, driven through its messages.
#include "device/device.h"
#include "device/listview.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using device::ListView;
using device::Window;

// A list view in a window of the given height, 240 wide.
struct Control {
    Window w;
    ListView lv;
    explicit Control(int height = 268, int dpi = 96) : lv(dpi) { w.rect = {0, 0, 240, height}; }

    LRESULT Send(UINT msg, WPARAM wp = 0, LPARAM lp = 0) { return lv.Handle(w, msg, wp, lp); }

    // Inserts a column with all four fields, as the tool does.
    LRESULT AddColumn(int index, const char16_t* text, int width = 40) {
        LVCOLUMNW c{};
        c.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
        c.fmt = LVCFMT_LEFT;
        c.cx = width;
        c.pszText = const_cast<LPWSTR>(text);
        c.iSubItem = index;
        return Send(LVM_INSERTCOLUMNW, index, (LPARAM)&c);
    }
    void SixColumns() {
        for (int i = 0; i < 6; ++i)
            AddColumn(i, u"col");
    }
    LRESULT Insert(int row, const char16_t* text, int sub = 0) {
        LVITEMW it{};
        it.mask = LVIF_TEXT;
        it.iItem = row;
        it.iSubItem = sub;
        it.pszText = const_cast<LPWSTR>(text);
        return Send(LVM_INSERTITEMW, 0, (LPARAM)&it);
    }
    LRESULT Set(int row, int sub, const char16_t* text) {
        LVITEMW it{};
        it.mask = LVIF_TEXT;
        it.iItem = row;
        it.iSubItem = sub;
        it.pszText = const_cast<LPWSTR>(text);
        return Send(LVM_SETITEMW, 0, (LPARAM)&it);
    }
    // Reads a cell through LVM_GETITEMTEXTW into a 64-unit buffer.
    std::u16string Get(int row, int sub, LRESULT* ret = nullptr) {
        char16_t buf[64];
        LVITEMW it{};
        it.iSubItem = sub;
        it.pszText = buf;
        it.cchTextMax = 64;
        LRESULT r = Send(LVM_GETITEMTEXTW, row, (LPARAM)&it);
        if (ret)
            *ret = r;
        return buf;
    }
};

// Device text to printable UTF-8, for failure messages.
std::string N(std::u16string_view s) {
    return std::string(s.begin(), s.end());
}

TEST(ListView, InsertAppendsPastEndAndRejectsBadIndexes) {
    Control c;
    c.SixColumns();
    EXPECT_EQ(c.Send(LVM_GETITEMCOUNT), 0);
    EXPECT_EQ(c.Insert(5, u"a"), 0) << "an index past the end appends at the real end";
    EXPECT_EQ(c.Insert(1000, u"b"), 1);
    EXPECT_EQ(c.Insert(-1, u"x"), -1);
    EXPECT_EQ(c.Insert(0, u"x", 1), -1) << "only sub-item 0 can be inserted";
    EXPECT_EQ(c.Send(LVM_GETITEMCOUNT), 2);

    // An insert in the middle moves the later rows down, cells and all.
    ASSERT_EQ(c.Set(1, 2, u"D"), TRUE);
    EXPECT_EQ(c.Insert(1, u"mid"), 1);
    EXPECT_EQ(N(c.Get(0, 0)), "a");
    EXPECT_EQ(N(c.Get(1, 0)), "mid");
    EXPECT_EQ(N(c.Get(1, 2)), "");
    EXPECT_EQ(N(c.Get(2, 0)), "b");
    EXPECT_EQ(N(c.Get(2, 2)), "D");
}

TEST(ListView, SetNeedsAnExistingRowAndColumn) {
    Control c;
    c.AddColumn(0, u"SysTime");
    c.AddColumn(1, u"VK");
    ASSERT_EQ(c.Insert(0, u"100"), 0);

    EXPECT_EQ(c.Set(1, 0, u"x"), FALSE) << "row at the count";
    EXPECT_EQ(c.Set(-1, 0, u"x"), FALSE);
    EXPECT_EQ(c.Set(0, 2, u"x"), FALSE) << "sub-item without a column";
    EXPECT_EQ(c.Set(0, -1, u"x"), FALSE);
    EXPECT_EQ(c.Set(0, 1, u"41"), TRUE);
    EXPECT_EQ(N(c.Get(0, 1)), "41");
    EXPECT_EQ(N(c.Get(0, 0)), "100") << "failed sets changed nothing";

    // Sub-item 0 of an existing row is allowed even before any column exists.
    Control bare;
    ASSERT_EQ(bare.Insert(0, u"1"), 0);
    EXPECT_EQ(bare.Set(0, 0, u"2"), TRUE);
    EXPECT_EQ(bare.Set(0, 1, u"2"), FALSE);
    EXPECT_EQ(N(bare.Get(0, 0)), "2");
}

TEST(ListView, GetItemTextTruncatesTerminatesAndCounts) {
    Control c;
    c.SixColumns();
    ASSERT_EQ(c.Insert(0, u"-2147483648"), 0);
    ASSERT_EQ(c.Set(0, 3, u""), TRUE);

    char16_t buf[16];
    LVITEMW it{};
    it.pszText = buf;

    auto read = [&](int row, int sub, int cch) {
        std::fill(std::begin(buf), std::end(buf), u'#');
        it.iSubItem = sub;
        it.cchTextMax = cch;
        return c.Send(LVM_GETITEMTEXTW, row, (LPARAM)&it);
    };
    EXPECT_EQ(read(0, 0, 16), 11);
    EXPECT_EQ(N(buf), "-2147483648");
    EXPECT_EQ(read(0, 0, 5), 4);
    EXPECT_EQ(N(buf), "-214") << "cut to cchTextMax-1 units and terminated";
    EXPECT_EQ(buf[5], u'#') << "nothing written past the capacity";
    EXPECT_EQ(read(0, 0, 1), 0);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(read(0, 0, 0), 0);
    EXPECT_EQ(buf[0], u'#') << "no capacity: buffer untouched";

    // Never set, explicitly empty, and bad rows all read "" with 0.
    EXPECT_EQ(read(0, 1, 16), 0);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(read(0, 3, 16), 0);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(read(1, 0, 16), 0);
    EXPECT_EQ(buf[0], 0);

    bool set = true;
    EXPECT_EQ(N(c.lv.Cell(0, 1, &set)), "");
    EXPECT_FALSE(set);
    EXPECT_EQ(N(c.lv.Cell(0, 3, &set)), "");
    EXPECT_TRUE(set) << "a cell set to \"\" counts as set";
}

TEST(ListView, TextIsCopiedFromTheCallersBuffer) {
    Control c;
    c.SixColumns();
    char16_t buf[260] = u"123456789";
    ASSERT_EQ(c.Insert(0, buf), 0);
    const char16_t* texts[] = {u"41", u"D", u"", u"C", u"A"};
    for (int col = 1; col < 6; ++col) {
        std::u16string t = texts[col - 1];
        std::copy(t.c_str(), t.c_str() + t.size() + 1, buf);
        ASSERT_EQ(c.Set(0, col, buf), TRUE);
    }
    std::u16string junk = u"zzzzzzzzzzzzz";
    std::copy(junk.c_str(), junk.c_str() + junk.size() + 1, buf);

    const char* want[] = {"123456789", "41", "D", "", "C", "A"};
    for (int col = 0; col < 6; ++col)
        EXPECT_EQ(N(c.Get(0, col)), want[col]) << "column " << col;

    // Column headers are copied too.
    char16_t head[8] = u"VK";
    c.AddColumn(6, head);
    head[0] = u'?';
    EXPECT_EQ(N(c.lv.Column(6).text), "VK");
}

TEST(ListView, ManyDistinctShortAndLongTextsReadBack) {
    // More distinct short texts than are shared, and texts longer than an arena entry.
    Control c;
    c.SixColumns();
    std::u16string t;
    for (int i = 0; i < 9000; ++i) {
        t = {char16_t(u'A' + i % 26), char16_t(u'a' + i / 26 % 26), char16_t(0x100 + i / 676)};
        ASSERT_EQ(c.Insert(i, t.c_str()), i);
    }
    std::u16string big(70000, u'x');
    big[0] = u'<';
    big.back() = u'>';
    ASSERT_EQ(c.Set(100, 5, big.c_str()), TRUE);
    for (int i = 0; i < 9000; ++i) {
        t = {char16_t(u'A' + i % 26), char16_t(u'a' + i / 26 % 26), char16_t(0x100 + i / 676)};
        ASSERT_EQ(c.lv.Cell(i, 0), t) << "row " << i;
    }
    EXPECT_EQ(c.lv.Cell(100, 5), big);
    LRESULT n;
    std::u16string head = c.Get(100, 5, &n);
    EXPECT_EQ(n, 63);
    EXPECT_EQ(head, big.substr(0, 63));
}

TEST(ListView, EnsureVisibleScrollsJustEnough) {
    // 268 high at 96 dpi: header 18, rows 16, so 15 whole rows.
    Control c(268);
    ASSERT_EQ(c.lv.RowsPerPage(268), 15);
    for (int i = 0; i < 100; ++i)
        c.Insert(i, u"r");

    EXPECT_EQ(c.Send(LVM_ENSUREVISIBLE, 14, 0), TRUE);
    EXPECT_EQ(c.lv.TopIndex(), 0) << "already visible";
    c.Send(LVM_ENSUREVISIBLE, 15, 0);
    EXPECT_EQ(c.lv.TopIndex(), 1) << "one row past the page";
    c.Send(LVM_ENSUREVISIBLE, 60, 0);
    EXPECT_EQ(c.lv.TopIndex(), 46) << "the row becomes the last one shown";
    c.Send(LVM_ENSUREVISIBLE, 50, 0);
    EXPECT_EQ(c.lv.TopIndex(), 46) << "already visible";
    c.Send(LVM_ENSUREVISIBLE, 30, 0);
    EXPECT_EQ(c.lv.TopIndex(), 30) << "above the page: becomes the top";

    EXPECT_EQ(c.Send(LVM_ENSUREVISIBLE, 100, 0), FALSE);
    EXPECT_EQ(c.Send(LVM_ENSUREVISIBLE, (WPARAM)-1, 0), FALSE);
    EXPECT_EQ(c.lv.TopIndex(), 30);

    // The height is read at each call; a control too small for a row shows it at the top.
    c.w.rect.bottom = 20;
    c.Send(LVM_ENSUREVISIBLE, 80, 0);
    EXPECT_EQ(c.lv.TopIndex(), 80);

    // Metrics scale with the density: at 192 dpi a 100-pixel control shows 2 rows.
    Control hi(100, 192);
    EXPECT_EQ(hi.lv.HeaderHeight(), 36);
    EXPECT_EQ(hi.lv.RowHeight(), 32);
    for (int i = 0; i < 10; ++i)
        hi.Insert(i, u"r");
    hi.Send(LVM_ENSUREVISIBLE, 9, 0);
    EXPECT_EQ(hi.lv.TopIndex(), 8);
}

TEST(ListView, ExtendedStyleMasks) {
    Control c;
    EXPECT_EQ(c.Send(LVM_GETEXTENDEDLISTVIEWSTYLE), 0);
    EXPECT_EQ(c.Send(LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_GRIDLINES | LVS_EX_CHECKBOXES), 0);
    EXPECT_EQ(c.Send(LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT,
                     LVS_EX_FULLROWSELECT),
              LVS_EX_GRIDLINES | LVS_EX_CHECKBOXES)
        << "returns the previous style";
    EXPECT_EQ(c.Send(LVM_GETEXTENDEDLISTVIEWSTYLE), LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT)
        << "only masked bits change";
    EXPECT_EQ(c.Send(LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_HEADERDRAGDROP),
              LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
    EXPECT_EQ(c.lv.ExStyle(), (DWORD)LVS_EX_HEADERDRAGDROP) << "mask 0: every bit takes the value";
}

TEST(ListView, InsertColumnPlacesAndDefaults) {
    Control c;
    EXPECT_EQ(c.AddColumn(3, u"SysTime", 76), 0) << "past the end appends";
    EXPECT_EQ(c.AddColumn(-1, u"bad"), -1);
    LVCOLUMNW bare{};
    bare.mask = LVCF_TEXT;
    bare.pszText = const_cast<LPWSTR>(u"Alt");
    bare.fmt = LVCFMT_RIGHT; // ignored: LVCF_FMT not in the mask
    bare.cx = 99;            // ignored: LVCF_WIDTH not in the mask
    EXPECT_EQ(c.Send(LVM_INSERTCOLUMNW, 0, (LPARAM)&bare), 0) << "inserted before the first";
    ASSERT_EQ(c.lv.ColumnCount(), 2);
    EXPECT_EQ(N(c.lv.Column(0).text), "Alt");
    EXPECT_EQ(c.lv.Column(0).width, 0);
    EXPECT_EQ(c.lv.Column(0).fmt, LVCFMT_LEFT);
    EXPECT_EQ(N(c.lv.Column(1).text), "SysTime");
    EXPECT_EQ(c.lv.Column(1).width, 76);
    EXPECT_EQ(c.lv.Column(1).sub_item, 3);
}

TEST(ListView, DeleteAllStartsOverAndGivesMemoryBack) {
    Control c(268);
    c.SixColumns();
    for (int i = 0; i < 20000; ++i) {
        c.Insert(i, u"123456789");
        c.Set(i, 1, u"41");
    }
    c.Send(LVM_ENSUREVISIBLE, 19999, 0);
    size_t full = c.lv.MemoryBytes();

    EXPECT_EQ(c.Send(LVM_DELETEALLITEMS), TRUE);
    EXPECT_EQ(c.Send(LVM_GETITEMCOUNT), 0);
    EXPECT_EQ(c.lv.TopIndex(), 0);
    EXPECT_LT(c.lv.MemoryBytes(), 4096u) << "was " << full;
    EXPECT_EQ(c.Set(0, 0, u"x"), FALSE);
    EXPECT_EQ(c.lv.ColumnCount(), 6) << "columns stay";

    EXPECT_EQ(c.Insert(7, u"555"), 0);
    EXPECT_EQ(N(c.Get(0, 0)), "555");
    bool set = true;
    c.lv.Cell(0, 1, &set);
    EXPECT_FALSE(set) << "no cell of an old row survives";
    // A short text stored before the clear is stored anew, not found in freed storage.
    for (int i = 1; i < 5000; ++i)
        c.Insert(i, u"999999999");
    ASSERT_EQ(c.Set(0, 1, u"41"), TRUE);
    EXPECT_EQ(N(c.Get(0, 1)), "41");
}

// Builds the tick text of row r of a long session, as "%d" of a 32-bit count.
int TickText(int r, char16_t* buf) {
    char tmp[16];
    int n = snprintf(tmp, sizeof tmp, "%d", (int)(uint32_t)(123456789u + 61u * (uint32_t)r));
    std::copy(tmp, tmp + n + 1, buf);
    return n;
}

TEST(ListView, MillionRowsFitInSixtyFourBytesEach) {
    constexpr int kRows = 1000000;
    Control c;
    c.SixColumns();
    static const char16_t* const kVk[] = {u"41", u"10", u"11", u"0D", u"72"};
    char16_t buf[260];
    LVITEMW it{};
    it.mask = LVIF_TEXT;
    it.pszText = buf;
    for (int r = 0; r < kRows; ++r) {
        TickText(r, buf);
        it.iItem = r;
        it.iSubItem = 0;
        ASSERT_EQ(c.Send(LVM_INSERTITEMW, 0, (LPARAM)&it), r);
        if (r % 4 == 3)
            continue; // quiet mark row: the tick only
        const char16_t* cells[5] = {kVk[r % 5], r % 2 ? u"U" : u"D", r % 3 ? u"" : u"S",
                                    r % 7 ? u"" : u"C", u""};
        for (int col = 1; col < 6; ++col) {
            std::u16string_view t = cells[col - 1];
            std::copy(t.begin(), t.end(), buf);
            buf[t.size()] = 0;
            it.iSubItem = col;
            ASSERT_EQ(c.Send(LVM_SETITEMW, 0, (LPARAM)&it), TRUE);
        }
    }
    size_t bytes = c.lv.MemoryBytes();
    EXPECT_LE(bytes / kRows, 64u) << bytes << " bytes for " << kRows << " rows";

    // Every row reads back as written.
    char16_t want[16];
    for (int r = 0; r < kRows; ++r) {
        TickText(r, want);
        bool set;
        ASSERT_EQ(c.lv.Cell(r, 0), std::u16string_view(want)) << "row " << r;
        c.lv.Cell(r, 2, &set);
        ASSERT_EQ(set, r % 4 != 3) << "row " << r;
        if (set) {
            ASSERT_EQ(c.lv.Cell(r, 2), r % 2 ? u"U" : u"D") << "row " << r;
        }
    }
}

} // namespace
