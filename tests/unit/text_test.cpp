// Device text routines: the formats and conversions the tool relies on, and
// their limits (the 1024-unit cap, wcstombs without room for the NUL).
#include "platform/platform.h"
#include "device/device.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// Output of one wsprintfW call as a std::u16string, with the count returned.
struct Formatted {
    std::u16string text;
    int ret;
};

template <typename... Args> Formatted Fmt(const char16_t* fmt, Args... args) {
    WCHAR buf[1100];
    int ret = wsprintfW(buf, fmt, args...);
    return {buf, ret};
}

TEST(Wsprintf, NumbersAsTheLogShowsThem) {
    // Tick text is "%d" of a DWORD: from 2^31 on it shows a minus sign.
    EXPECT_EQ(Fmt(u"%d", (DWORD)0x80000000u).text, u"-2147483648");
    EXPECT_EQ(Fmt(u"%d", (DWORD)0xFFFFFFFFu).text, u"-1");
    EXPECT_EQ(Fmt(u"%d", (DWORD)123456).text, u"123456");
    EXPECT_EQ(Fmt(u"%i", 0).text, u"0");
    EXPECT_EQ(Fmt(u"%u", (DWORD)0xFFFFFFFFu).text, u"4294967295");
    // Key codes are "%02X": at least two digits, never cut.
    EXPECT_EQ(Fmt(u"%02X", 0x0D).text, u"0D");
    EXPECT_EQ(Fmt(u"%02X", 0x1A5).text, u"1A5");
    EXPECT_EQ(Fmt(u"%02X", 0).text, u"00");
    EXPECT_EQ(Fmt(u"%x", 0xBEEF).text, u"beef");
    Formatted msg = Fmt(u"Can't open file.(%d)", 5);
    EXPECT_EQ(msg.text, u"Can't open file.(5)");
    EXPECT_EQ(msg.ret, 19);
}

TEST(Wsprintf, StringsFlagsWidthAndPrecision) {
    Formatted path = Fmt(u"%s%s", u"\\Program Files\\", u"tapwatcherdata.txt");
    EXPECT_EQ(path.text, u"\\Program Files\\tapwatcherdata.txt");
    EXPECT_EQ(path.ret, (int)path.text.size());
    EXPECT_EQ(Fmt(u"[%5d][%-5d][%05d]", 42, 42, -42).text, u"[   42][42   ][-0042]");
    EXPECT_EQ(Fmt(u"[%.3s][%-6.2s][%4s]", u"abcdef", u"xyz", u"q").text, u"[abc][xy    ][   q]");
    EXPECT_EQ(Fmt(u"%S|%hs|%ls", "narrow", "hs", u"wide").text, u"narrow|hs|wide");
    EXPECT_EQ(Fmt(u"%c%c 100%%", (int)u'O', (int)u'K').text, u"OK 100%");
    EXPECT_EQ(Fmt(u"%s", (const WCHAR*)nullptr).text, u"(null)");
    // An unknown conversion is copied and takes no argument.
    EXPECT_EQ(Fmt(u"%q%d", 7).text, u"%q7");
}

TEST(Wsprintf, OutputIsCappedAt1024UnitsWithTheNul) {
    WCHAR buf[1100];
    std::u16string exact(1023, u'a');
    EXPECT_EQ(wsprintfW(buf, u"%s", exact.c_str()), 1023);
    EXPECT_EQ(std::u16string(buf), exact);

    std::u16string longer(2000, u'b');
    for (WCHAR& c : buf)
        c = u'#';
    EXPECT_EQ(wsprintfW(buf, u"x%sy", longer.c_str()), 1023);
    EXPECT_EQ(buf[0], u'x');
    EXPECT_EQ(buf[1022], u'b');
    EXPECT_EQ(buf[1023], 0);
    EXPECT_EQ(buf[1024], u'#') << "wrote past the 1024-unit cap";
}

TEST(Wcstombs, CountsStopsAtNAndRefusesNonAscii) {
    char out[8];
    memset(out, '#', sizeof out);
    EXPECT_EQ(wcstombs(out, u"41", 64), 2u);
    EXPECT_STREQ(out, "41");

    // n reached before the source NUL: n bytes, no NUL.
    memset(out, '#', sizeof out);
    EXPECT_EQ(wcstombs(out, u"12345", 3), 3u);
    EXPECT_EQ(std::string(out, 4), "123#");
    memset(out, '#', sizeof out);
    EXPECT_EQ(wcstombs(out, u"abc", 3), 3u);
    EXPECT_EQ(out[3], '#');

    EXPECT_EQ(wcstombs(nullptr, u"-2147483648", 0), 11u);
    EXPECT_EQ(wcstombs(out, u"\x7F", 8), 1u);
    EXPECT_EQ(wcstombs(out, u"a\x80", 8), (size_t)-1);
    EXPECT_EQ(wcstombs(out, u"\u00E9", 8), (size_t)-1);
    EXPECT_EQ(wcstombs(nullptr, u"ok\u20AC", 0), (size_t)-1);
}

TEST(WideStrings, SearchCompareLength) {
    WCHAR path[] = u"\\Program Files\\Wtapwatcher.exe";
    WCHAR* slash = wcsrchr(path, u'\\');
    ASSERT_NE(slash, nullptr);
    EXPECT_EQ(slash - path, 14);
    slash[1] = 0; // the tool cuts the name off this way
    EXPECT_EQ(std::u16string(path), u"\\Program Files\\");
    const WCHAR* cpath = u"\\x.exe";
    EXPECT_EQ(wcsrchr(cpath, u'\\'), cpath);
    EXPECT_EQ(wcsrchr(cpath, u'/'), nullptr);
    EXPECT_EQ(wcsrchr(cpath, 0), cpath + 6);

    EXPECT_EQ(wcscmp(u"PocketPC", u"PocketPC"), 0);
    EXPECT_LT(wcscmp(u"Pocket", u"PocketPC"), 0);
    EXPECT_GT(wcscmp(u"pocketpc", u"PocketPC"), 0);
    EXPECT_GT(wcscmp(u"\xFFFF", u"a"), 0) << "units must compare unsigned";
    EXPECT_EQ(wcslen(u""), 0u);
    EXPECT_EQ(wcslen(u"Tapwatcher"), 10u);
}

TEST(HostText, Utf8BothWays) {
    std::u16string dev = u"A\u00E9\u20AC\U0001F600";
    EXPECT_EQ(device::Narrow(dev), "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(device::Widen(device::Narrow(dev)), dev);
    EXPECT_EQ(device::Narrow(u"\xD800x"), "\xEF\xBF\xBDx");
    EXPECT_EQ(device::Widen(std::string("a\xFF") + "b\xC3"), u"a\uFFFDb\uFFFD");
    EXPECT_EQ(device::Widen("\xC0\xAF"), u"\uFFFD\uFFFD"); // overlong '/'
}

} // namespace
