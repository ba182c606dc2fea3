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
        } else {
            out.append(text.substr(i, n));
            i += n;
        }
        ++chars;
    }
    return out;
}

} // namespace text
