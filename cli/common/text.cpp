// text.cpp - outside text made safe to echo.
#include "cli/common/text.h"

#include <cstdio>

namespace text {

namespace {

// The length of the UTF-8 sequence at s[i], or 0 when it is not one.
size_t Utf8Length(std::string_view s, size_t i) {
    unsigned char b = (unsigned char)s[i];
    size_t n = b < 0x80             ? 1
               : (b & 0xE0) == 0xC0 ? 2
               : (b & 0xF0) == 0xE0 ? 3
               : (b & 0xF8) == 0xF0 ? 4
                                    : 0;
    if (n == 0 || (n == 2 && b < 0xC2) || i + n > s.size())
        return 0;
    for (size_t k = 1; k < n; ++k)
        if (((unsigned char)s[i + k] & 0xC0) != 0x80)
            return 0;
    return n;
}

// The code point of one whole UTF-8 sequence.
unsigned CodePoint(std::string_view s) {
    static const unsigned char kLead[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    unsigned c = (unsigned char)s[0] & kLead[s.size()];
    for (size_t k = 1; k < s.size(); ++k)
        c = c << 6 | ((unsigned char)s[k] & 0x3F);
    return c;
}

// C1 controls and the marks, embeddings, overrides and isolates that reorder
// text on a terminal.
bool Invisible(unsigned c) {
    return (c >= 0x80 && c <= 0x9F) || c == 0x61C || c == 0x200E || c == 0x200F ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

} // namespace

std::string Printable(std::string_view text, size_t limit) {
    std::string out;
    size_t chars = 0;
    for (size_t i = 0; i < text.size();) {
        if (chars == limit) {
            out += "...";
            break;
        }
        unsigned char b = (unsigned char)text[i];
        size_t n = Utf8Length(text, i);
        if (n == 0 || b < 0x20 || b == 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", b);
            out += esc;
            i += 1;
        } else if (unsigned c = CodePoint(text.substr(i, n)); Invisible(c)) {
            char esc[12];
            std::snprintf(esc, sizeof esc, "\\u%04X", c);
            out += esc;
            i += n;
        } else {
            out.append(text.substr(i, n));
            i += n;
        }
        ++chars;
    }
    return out;
}

} // namespace text
