// text.cpp - the device's text routines for UTF-16 device text: wsprintfW,
// wcsrchr, wcscmp, wcslen, wcstombs, and the host-side conversions
// device::Narrow / device::Widen. Each routine writes its journal entry (arguments
// and result) when a device's journal is on; they also run without a device.
//
// What it does not model (gap inventory):
//  - wsprintfW: no "I64" size prefix, no "*" width or precision (such a
//    conversion is copied literally and consumes no argument), no floating
//    point (wsprintfW has none either);
//  - wcstombs: no code pages beyond ASCII, no locale;
//  - %S / %hs / %C: narrow bytes are widened one byte to one unit (bytes above
//    0x7F come out as the Latin-1 unit of the same value).
//
// Where real platforms disagree, the choice made here:
//  - wsprintfW truncation: output is capped at 1024 units including the NUL;
//    at most 1023 units and the NUL are written and 1023 is returned (Wine
//    returns 1024; CE's wsprintfW is its swprintf). Callers never see more.
//  - wsprintfW "l" on d/i/u/x: the argument is 32 bits, as long is on Windows.
//  - wsprintfW unknown conversion: copied to the output as written, '%' and all.
//  - wsprintfW NULL string argument: printed as "(null)", as Wine does.
//  - wsprintfW "0" flag with a precision: the digits are zero-padded to the
//    width (Wine's rule), not space-padded as C's printf would.
//  - wcstombs: the device's narrow code page is ASCII; any unit above 0x7F is
//    unconvertible and gives (size_t)-1 (Wine's "C" locale accepts up to 0xFF).
//    A test can make it double-byte (Faults::double_byte_narrow): each unit
//    above 0x7F becomes a lead byte 0x81-0x9F and a trail byte 0x40-0xBF (a
//    stand-in for a real table), and a character whose two bytes do not fit
//    in `n` is not written.
#include "platform/platform.h"
#include "device/device.h"

#include <cstdarg>
#include <string>
#include <type_traits>

namespace {

constexpr int kWsprintfCap = 1024; // units, the NUL included

// Output sink for wsprintfW that stops at the cap and remembers it did.
struct Out {
    WCHAR* buf;
    int len = 0;
    bool truncated = false;

    // Appends one unit, unless the cap (less room for the NUL) is reached.
    void Put(WCHAR c) {
        if (len < kWsprintfCap - 1)
            buf[len++] = c;
        else
            truncated = true;
    }
    // Appends `n` copies of one unit.
    void Fill(WCHAR c, int n) {
        for (int i = 0; i < n; ++i)
            Put(c);
    }
};

// One parsed conversion: flags, width, precision, size prefix, type letter.
struct Conversion {
    bool left = false; // '-'
    bool zero = false; // '0'
    bool alt = false;  // '#': 0x / 0X before hexadecimal
    int width = 0;
    int precision = -1; // -1: none given
    bool h = false;     // 'h' prefix
    bool l = false;     // 'l' prefix
    WCHAR type = 0;
};

// Writes `body` (already formatted) padded to the conversion's width with spaces.
void PadAndPut(Out& out, const Conversion& sp, const WCHAR* body, int n) {
    int pad = sp.width > n ? sp.width - n : 0;
    if (!sp.left)
        out.Fill(u' ', pad);
    for (int i = 0; i < n; ++i)
        out.Put(body[i]);
    if (sp.left)
        out.Fill(u' ', pad);
}

// Formats an integer conversion (d, i, u, x, X) into the output.
void PutNumber(Out& out, const Conversion& sp, uint32_t magnitude, bool negative) {
    WCHAR digits[16];
    int nd = 0;
    const char* set = sp.type == u'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    unsigned base = (sp.type == u'x' || sp.type == u'X') ? 16 : 10;
    do {
        digits[nd++] = (WCHAR)set[magnitude % base];
        magnitude /= base;
    } while (magnitude != 0);

    WCHAR prefix[2];
    int np = 0;
    if (negative)
        prefix[np++] = u'-';
    else if (sp.alt && base == 16) {
        prefix[np++] = u'0';
        prefix[np++] = sp.type;
    }

    int min_digits = sp.precision > nd ? sp.precision : nd;
    if (sp.zero && !sp.left && sp.width - np > min_digits)
        min_digits = sp.width - np;
    int total = np + min_digits;
    int pad = sp.width > total ? sp.width - total : 0;

    if (!sp.left)
        out.Fill(u' ', pad);
    for (int i = 0; i < np; ++i)
        out.Put(prefix[i]);
    out.Fill(u'0', min_digits - nd);
    while (nd > 0)
        out.Put(digits[--nd]);
    if (sp.left)
        out.Fill(u' ', pad);
}

// Formats a string conversion, wide or narrow, honouring precision and width.
template <typename Ch> void PutString(Out& out, const Conversion& sp, const Ch* s) {
    static const Ch kNull[] = {'(', 'n', 'u', 'l', 'l', ')', 0};
    if (s == nullptr)
        s = kNull;
    int n = 0;
    while (s[n] != 0 && (sp.precision < 0 || n < sp.precision))
        ++n;
    int pad = sp.width > n ? sp.width - n : 0;
    if (!sp.left)
        out.Fill(u' ', pad);
    for (int i = 0; i < n; ++i)
        out.Put((WCHAR)(std::make_unsigned_t<Ch>)s[i]);
    if (sp.left)
        out.Fill(u' ', pad);
}

// Parses the conversion that starts after a '%'; returns false when the
// type letter is not one wsprintfW knows. `p` ends past what was parsed.
bool ParseConversion(const WCHAR*& p, Conversion& sp) {
    for (;; ++p) {
        if (*p == u'-')
            sp.left = true;
        else if (*p == u'0')
            sp.zero = true;
        else if (*p == u'#')
            sp.alt = true;
        else
            break;
    }
    while (*p >= u'0' && *p <= u'9') {
        if (sp.width < 100000)
            sp.width = sp.width * 10 + (*p - u'0');
        ++p;
    }
    if (*p == u'.') {
        ++p;
        sp.precision = 0;
        while (*p >= u'0' && *p <= u'9') {
            if (sp.precision < 100000)
                sp.precision = sp.precision * 10 + (*p - u'0');
            ++p;
        }
    }
    if (*p == u'h') {
        sp.h = true;
        ++p;
    } else if (*p == u'l') {
        sp.l = true;
        ++p;
    }
    switch (*p) {
    case u'd':
    case u'i':
    case u'u':
    case u'x':
    case u'X':
    case u'c':
    case u'C':
    case u's':
    case u'S':
        sp.type = *p++;
        return true;
    default:
        return false;
    }
}

// Journal: one text routine's entry, when a device's journal is on.
// `shown` writes the result; neither it nor `render` runs while it is off.
template <class Shown, class Render>
void Journal(const char* what, int64_t result, Shown&& shown, Render&& render) {
    if (device::Device* d = device::Device::Journaling()) {
        device::JournalCall call(*d, what, nullptr, render);
        call.ReturnShown(result, shown());
    }
}

// LastOf: the last occurrence of `ch` in `str` (the NUL counts), or NULL.
const WCHAR* LastOf(const WCHAR* str, WCHAR ch) {
    const WCHAR* found = nullptr;
    for (;; ++str) {
        if (*str == ch)
            found = str;
        if (*str == 0)
            return found;
    }
}

// The journal entry of one wcsrchr call.
void JournalLastOf(const WCHAR* str, WCHAR ch, const WCHAR* found) {
    Journal(
        "wcsrchr", found ? found - str : -1,
        [&] { return found ? "+" + std::to_string(found - str) : std::string("NULL"); },
        [&](device::JournalArgs& o) { o.Text(str).Char(ch); });
}

} // namespace

// Formats into `out` (room for 1024 units assumed); returns the units written,
// the NUL not counted.
int wsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, ...) {
    Out out{lpOut};
    va_list ap;
    va_start(ap, lpFmt);
    const WCHAR* p = lpFmt;
    while (*p != 0 && !out.truncated) {
        if (*p != u'%') {
            out.Put(*p++);
            continue;
        }
        const WCHAR* start = p++;
        if (*p == u'%') {
            out.Put(u'%');
            ++p;
            continue;
        }
        Conversion sp;
        if (!ParseConversion(p, sp)) {
            // Unknown conversion: copy what was read of it, and go on after.
            if (*p != 0)
                ++p;
            for (const WCHAR* q = start; q < p; ++q)
                out.Put(*q);
            continue;
        }
        switch (sp.type) {
        case u'd':
        case u'i': {
            int32_t v = va_arg(ap, int);
            if (sp.h)
                v = (int16_t)v;
            bool neg = v < 0;
            uint32_t mag = neg ? 0u - (uint32_t)v : (uint32_t)v;
            PutNumber(out, sp, mag, neg);
            break;
        }
        case u'u':
        case u'x':
        case u'X': {
            uint32_t v = va_arg(ap, unsigned int);
            if (sp.h)
                v = (uint16_t)v;
            PutNumber(out, sp, v, false);
            break;
        }
        case u'c':
        case u'C': {
            int v = va_arg(ap, int);
            bool narrow = sp.type == u'C' ? !sp.l : sp.h;
            WCHAR c = narrow ? (WCHAR)(unsigned char)v : (WCHAR)v;
            PadAndPut(out, sp, &c, 1);
            break;
        }
        case u's':
        case u'S': {
            bool narrow = sp.type == u'S' ? !sp.l : sp.h;
            if (narrow)
                PutString(out, sp, va_arg(ap, const char*));
            else
                PutString(out, sp, va_arg(ap, const WCHAR*));
            break;
        }
        }
    }
    va_end(ap);
    lpOut[out.len] = 0;
    Journal(
        "wsprintfW", out.len,
        [&] {
            device::JournalArgs shown(*device::Device::Journaling());
            return shown.Int(out.len).Text(lpOut).text;
        },
        [&](device::JournalArgs& o) { o.Out(lpOut).Text(lpFmt); });
    return out.len;
}

// Last occurrence of `ch` in `str` (the terminating NUL counts), or NULL.
const WCHAR* wcsrchr(const WCHAR* str, WCHAR ch) {
    const WCHAR* found = LastOf(str, ch);
    JournalLastOf(str, ch, found);
    return found;
}

// Non-const overload of wcsrchr, as the C++ library pairs them.
WCHAR* wcsrchr(WCHAR* str, WCHAR ch) {
    const WCHAR* found = LastOf(str, ch);
    JournalLastOf(str, ch, found);
    return const_cast<WCHAR*>(found);
}

// Compares unit by unit: <0, 0 or >0 as `a` sorts before, with or after `b`.
int wcscmp(const WCHAR* a, const WCHAR* b) {
    const WCHAR *p = a, *q = b;
    while (*p != 0 && *p == *q) {
        ++p;
        ++q;
    }
    int r = (int)*p - (int)*q;
    Journal(
        "wcscmp", r, [&] { return std::to_string(r); },
        [&](device::JournalArgs& o) { o.Text(a).Text(b); });
    return r;
}

// Number of units before the terminating NUL.
size_t wcslen(const WCHAR* str) {
    const WCHAR* p = str;
    while (*p != 0)
        ++p;
    size_t n = (size_t)(p - str);
    Journal(
        "wcslen", (int64_t)n, [&] { return std::to_string(n); },
        [&](device::JournalArgs& o) { o.Text(str); });
    return n;
}

// Converts device text to the narrow (ASCII) code page: at most `n` bytes,
// NUL-terminated only when it fits; (size_t)-1 on an unconvertible unit.
static size_t ToNarrow(char* dest, const WCHAR* src, size_t n) {
    device::Device* dev = device::Device::Running();
    bool double_byte = dev && dev->faults.double_byte_narrow;
    size_t out = 0; // bytes written (or counted)
    for (size_t i = 0;; ++i) {
        if (dest != nullptr && out >= n)
            return out; // full: no terminator
        WCHAR c = src[i];
        if (c == 0) {
            if (dest != nullptr)
                dest[out] = 0;
            return out;
        }
        if (c <= 0x7F) {
            if (dest != nullptr)
                dest[out] = (char)c;
            out += 1;
            continue;
        }
        if (!double_byte)
            return (size_t)-1;
        if (dest != nullptr && out + 2 > n)
            return out; // no half character
        if (dest != nullptr) {
            dest[out] = (char)(0x81 + (c >> 8) % 0x1F);
            dest[out + 1] = (char)(0x40 + (c & 0x7F));
        }
        out += 2;
    }
}

// wcstombs: ToNarrow, journalled.
size_t wcstombs(char* dest, const WCHAR* src, size_t n) {
    size_t r = ToNarrow(dest, src, n);
    Journal(
        "wcstombs", (int64_t)r, [&] { return std::to_string((int64_t)r); },
        [&](device::JournalArgs& o) { o.Out(dest).Text(src).Int((int64_t)n); });
    return r;
}

namespace device {

// Device text (UTF-16) to UTF-8 for printing; a lone surrogate becomes U+FFFD.
std::string Narrow(std::u16string_view s) {
    std::string r;
    r.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            r += (char)c;
        } else if (c < 0x800) {
            r += (char)(0xC0 | (c >> 6));
            r += (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            r += (char)(0xE0 | (c >> 12));
            r += (char)(0x80 | ((c >> 6) & 0x3F));
            r += (char)(0x80 | (c & 0x3F));
        } else {
            r += (char)(0xF0 | (c >> 18));
            r += (char)(0x80 | ((c >> 12) & 0x3F));
            r += (char)(0x80 | ((c >> 6) & 0x3F));
            r += (char)(0x80 | (c & 0x3F));
        }
    }
    return r;
}

// UTF-8 to device text; each malformed or overlong sequence gives one U+FFFD.
std::u16string Widen(std::string_view s) {
    std::u16string r;
    r.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        unsigned char b = (unsigned char)s[i];
        int extra;
        uint32_t c;
        if (b < 0x80) {
            r += (char16_t)b;
            ++i;
            continue;
        } else if (b >= 0xC2 && b <= 0xDF) {
            extra = 1;
            c = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            extra = 2;
            c = b & 0x0F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            extra = 3;
            c = b & 0x07;
        } else {
            r += u'\uFFFD';
            ++i;
            continue;
        }
        size_t j = i + 1;
        for (int k = 0; k < extra; ++k, ++j) {
            if (j >= s.size() || ((unsigned char)s[j] & 0xC0) != 0x80)
                break;
            c = (c << 6) | ((unsigned char)s[j] & 0x3F);
        }
        bool complete = j == i + 1 + (size_t)extra;
        bool overlong = (extra == 2 && c < 0x800) || (extra == 3 && c < 0x10000);
        bool invalid = (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF;
        if (!complete || overlong || invalid) {
            r += u'\uFFFD';
            i = j; // past what was read of the bad sequence (at least its lead byte)
            continue;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            r += (char16_t)(0xD800 + (c >> 10));
            r += (char16_t)(0xDC00 + (c & 0x3FF));
        } else {
            r += (char16_t)c;
        }
        i = j;
    }
    return r;
}

} // namespace device
