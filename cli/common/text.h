// text.h - outside text made safe to echo in a message or a transcript line.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace text {

// Text from outside (a scenario line, a caption) made safe to echo: control
// bytes and bytes that are not UTF-8 written as \xHH, C1 controls and
// bidirectional controls as \uHHHH, and cut to `limit` characters with "..."
// after it.
std::string Printable(std::string_view text, size_t limit = 80);

} // namespace text
