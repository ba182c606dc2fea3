// datafile.cpp - reader of the data file. The grammar of the tool's own lines:
//
//   line 1   SysTime TAB VK TAB U/D TAB Shift TAB Ctrl TAB Alt CR LF
//   key row  TICK TAB VK TAB (D|U) TAB (S|) TAB (C|) TAB (A|) CR LF
//   taken    TICK TAB VK TAB F TAB (S|) TAB (C|) TAB (A|) CR LF     (VK at most FF)
//   quiet    TICK TAB TAB TAB TAB TAB CR LF
//
// TICK is a signed 32-bit number exactly as "%d" prints it (no sign but '-', no leading
// zero, no "-0"); VK is "%02X" of a 16-bit code: upper-case hex, two digits, or three or
// four without a leading zero.
//
// Read in spite of the grammar, each with one warning: lines that end with LF alone (a git
// or mail round trip), a UTF-8 byte-order mark, and UTF-16 text (a file saved again by an
// editor) as long as every character is ASCII. A last line without its line end is a file
// cut short (the saving process stopped mid-write): that line is left out and named, since
// what is left of it may look whole and still be cut ("12" of "1234"). A CR inside a line,
// a line longer than kMaxLineBytes and every cell the tool cannot write stay errors.
#include "datafile.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <utility>

namespace report {

namespace {

constexpr std::string_view kHeaderText = "SysTime\tVK\tU/D\tShift\tCtrl\tAlt";

// Field text for a message, with bytes that would not print shown as \xNN; a long field
// is quoted in part, with its length.
std::string Quoted(std::string_view text) {
    constexpr std::size_t kShown = 40;
    std::string out = "\"";
    for (unsigned char c : text.substr(0, kShown)) {
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    if (text.size() > kShown)
        return out + "...\" (" + std::to_string(text.size()) + " bytes)";
    return out + "\"";
}

// A decimal digit, in any locale.
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Value of an upper-case hex digit, -1 for anything else.
int HexValue(char c) {
    if (IsDigit(c))
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The tick field: a signed 32-bit number exactly as "%d" prints it.
std::int32_t ParseTick(std::string_view text, int line) {
    auto bad = [&](const char* why) {
        throw DataFileError(line, "bad tick " + Quoted(text) + ": " + why);
    };
    if (text.empty())
        bad("empty");
    bool negative = text.front() == '-';
    std::string_view digits = negative ? text.substr(1) : text;
    if (digits.empty())
        bad("no digits");
    for (char c : digits) {
        if (!IsDigit(c))
            bad("not a decimal number");
    }
    if (digits.size() > 1 && digits.front() == '0')
        bad("leading zero");
    if (negative && digits == "0")
        bad("negative zero");
    if (digits.size() > 10)
        bad("out of the signed 32-bit range");
    std::int64_t value = 0;
    for (char c : digits)
        value = value * 10 + (c - '0');
    if (negative)
        value = -value;
    if (value < INT32_MIN || value > INT32_MAX)
        bad("out of the signed 32-bit range");
    return static_cast<std::int32_t>(value);
}

// The VK field: "%02X" of a 16-bit code.
unsigned ParseKeyCode(std::string_view text, int line) {
    auto bad = [&](const char* why) {
        throw DataFileError(line, "bad key code " + Quoted(text) + ": " + why);
    };
    if (text.size() < 2)
        bad("fewer than two hex digits");
    unsigned value = 0;
    for (char c : text) {
        int digit = HexValue(c);
        if (digit < 0)
            bad("not upper-case hex");
        value = value * 16 + static_cast<unsigned>(digit);
        if (value > 0xFFFF)
            bad("beyond FFFF");
    }
    if (text.size() > 2 && text.front() == '0')
        bad("leading zero");
    return value;
}

// One modifier field: the letter, or empty.
bool ParseModifier(std::string_view text, char letter, const char* column, int line) {
    if (text.empty())
        return false;
    if (text.size() == 1 && text.front() == letter)
        return true;
    throw DataFileError(line, std::string(column) + " field " + Quoted(text) + " is neither " +
                                  letter + " nor empty");
}

// One line after the header, without its CR LF.
Row ParseRow(std::string_view text, int line) {
    // One walk over the bytes: the fields, and any CR among them.
    std::string_view fields[6];
    std::size_t count = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        char c = i < text.size() ? text[i] : '\t';
        if (c == '\r')
            throw DataFileError(line, "CR inside the line");
        if (c != '\t')
            continue;
        if (count < 6)
            fields[count] = text.substr(start, i - start);
        ++count;
        start = i + 1;
    }
    if (count != 6) {
        throw DataFileError(line, std::to_string(count) + (count == 1 ? " field" : " fields") +
                                      "; a row has 6 fields separated by TAB");
    }

    Row row;
    row.line = line;
    row.tick = ParseTick(fields[0], line);

    if (fields[1].empty()) {
        for (int i = 2; i < 6; ++i) {
            if (!fields[i].empty()) {
                throw DataFileError(line, "row without key code has " + Quoted(fields[i]) +
                                              " in field " + std::to_string(i + 1) +
                                              "; a quiet mark is a tick and five empty fields");
            }
        }
        row.kind = RowKind::Quiet;
        return row;
    }

    row.vk = static_cast<std::uint16_t>(ParseKeyCode(fields[1], line));
    std::string_view ud = fields[2];
    if (ud == "D") {
        row.kind = RowKind::Press;
    } else if (ud == "U") {
        row.kind = RowKind::Release;
    } else if (ud == "F") {
        row.kind = RowKind::Taken;
    } else if (ud.empty()) {
        throw DataFileError(line, "key code without D, U or F");
    } else {
        throw DataFileError(line, "U/D field " + Quoted(ud) + " is not D, U or F");
    }
    if (ParseModifier(fields[3], 'S', "Shift", line))
        row.mods |= kModShift;
    if (ParseModifier(fields[4], 'C', "Ctrl", line))
        row.mods |= kModCtrl;
    if (ParseModifier(fields[5], 'A', "Alt", line))
        row.mods |= kModAlt;
    if (row.kind == RowKind::Taken && row.vk > 0xFF) {
        throw DataFileError(line, "taken combination with key code " + std::string(fields[1]) +
                                      "; the tool only registers codes 00 to FF");
    }
    return row;
}

// The decimal digits that open the eight bytes at P, up to all eight, read at once: their
// value, and their count in N. The line's digits are mostly seven to ten of them.
std::uint32_t EightDigits(const char* p, unsigned& n) {
    std::uint64_t x;
    std::memcpy(&x, p, 8);
    if constexpr (std::endian::native == std::endian::big)
        x = __builtin_bswap64(x);
    x ^= 0x3030303030303030ULL; // a digit's byte is now its value, 0 to 9
    // A byte that is no digit has a high nibble, or a low one over 9 (adding 6 carries).
    // A carry out of such a byte spoils only the bytes after it, which are not read.
    const std::uint64_t other = (x | (x + 0x0606060606060606ULL)) & 0xF0F0F0F0F0F0F0F0ULL;
    n = other ? static_cast<unsigned>(__builtin_ctzll(other)) / 8 : 8;
    if (n == 0)
        return 0;
    // The digits at the top, zeros before them: "00000123".
    x <<= 8 * (8 - n);
    x = (x * 10 + (x >> 8)) & 0x00FF00FF00FF00FFULL;
    x = (x * 100 + (x >> 16)) & 0x0000FFFF0000FFFFULL;
    x = (x * 10000 + (x >> 32)) & 0xFFFFFFFFULL;
    return static_cast<std::uint32_t>(x);
}

// The cells of the tool's own line from P on, read in one walk into ROW: where they end, or
// null for anything else (ParseRow then reads the line or says what is wrong with it). Stops
// at END or at the first byte the cells cannot hold, so the line end is the caller's to check.
const char* ReadCommonCells(const char* p, const char* end, int line, Row& row) {
    const bool negative = p < end && *p == '-';
    p += negative;
    const char* const digits = p;
    const char* const digits_end = std::min(end, digits + 11);
    std::int64_t tick = 0;
    if (end - p >= 8) {
        unsigned n8 = 0;
        tick = EightDigits(p, n8);
        p += n8;
    }
    for (unsigned digit; p < digits_end && (digit = static_cast<unsigned char>(*p) - 48u) < 10; ++p)
        tick = tick * 10 + digit;
    const std::ptrdiff_t n = p - digits;
    if (n == 0 || n > 10 || (n > 1 && *digits == '0') || p == end || *p != '\t' ||
        (negative && tick == 0))
        return nullptr;
    tick = negative ? -tick : tick;
    if (tick < INT32_MIN || tick > INT32_MAX)
        return nullptr;
    const char* const hex = ++p;
    unsigned vk = 0;
    int high, low;
    if (end - p >= 8 && p[2] == '\t' && (high = HexValue(p[0])) >= 0 &&
        (low = HexValue(p[1])) >= 0) { // two digits, as the tool writes every key
        vk = static_cast<unsigned>(high * 16 + low);
        p += 2;
        // A key row without modifiers, as most are: TAB U/D and three empty cells.
        if (p[0] == '\t' && (p[1] == 'D' || p[1] == 'U') && std::memcmp(p + 2, "\t\t\t", 3) == 0) {
            row.line = line;
            row.tick = static_cast<std::int32_t>(tick);
            row.vk = static_cast<std::uint16_t>(vk);
            row.mods = 0;
            row.kind = p[1] == 'D' ? RowKind::Press : RowKind::Release;
            return p + 5;
        }
    }
    for (int digit; p < end && p - hex < 5 && (digit = HexValue(*p)) >= 0; ++p)
        vk = vk * 16 + static_cast<unsigned>(digit);
    const std::ptrdiff_t h = p - hex;
    row.line = line;
    row.tick = static_cast<std::int32_t>(tick);
    row.vk = static_cast<std::uint16_t>(vk);
    row.mods = 0;
    if (h == 0) {
        row.kind = RowKind::Quiet;
        return end - p >= 4 && std::string_view(p, 4) == "\t\t\t\t" ? p + 4 : nullptr;
    }
    if (h == 1 || h > 4 || (h > 2 && *hex == '0') || end - p < 5 || p[0] != '\t' || p[2] != '\t')
        return nullptr;
    row.kind = p[1] == 'D'   ? RowKind::Press
               : p[1] == 'U' ? RowKind::Release
               : p[1] == 'F' ? RowKind::Taken
                             : RowKind::Quiet;
    if (row.kind == RowKind::Quiet || (row.kind == RowKind::Taken && vk > 0xFF))
        return nullptr;
    p += 3;
    static constexpr char kLetter[3] = {'S', 'C', 'A'};
    static constexpr std::uint8_t kBit[3] = {kModShift, kModCtrl, kModAlt};
    for (int i = 0; i < 3; ++i) {
        if (p < end && *p == kLetter[i]) {
            row.mods |= kBit[i];
            ++p;
        }
        if (i < 2 && (p == end || *p++ != '\t'))
            return nullptr;
    }
    return p;
}

} // namespace

namespace {

constexpr std::size_t kChunk = 1 << 16; // bytes read at a time

// "UTF-16 little-endian text (byte-order mark FF FE)" and its like, for the messages.
std::string Utf16Name(bool little, bool bom) {
    return std::string("UTF-16 ") + (little ? "little" : "big") + "-endian text" +
           (bom ? " (byte-order mark " + std::string(little ? "FF FE" : "FE FF") + ")"
                : " without a byte-order mark");
}

// Reads raw bytes until at least WANT are waiting (or the file ends).
bool ReadMore(const ByteSource& source, std::string& raw, std::size_t& at, bool& end,
              std::size_t want) {
    if (at > 0 && at >= raw.size() / 2) {
        raw.erase(0, at);
        at = 0;
    }
    while (!end && raw.size() - at < want) {
        std::size_t old = raw.size();
        raw.resize(old + kChunk);
        std::size_t got = source(raw.data() + old, kChunk);
        raw.resize(old + got);
        end = got == 0;
    }
    return raw.size() > at;
}

} // namespace

DataFileReader::DataFileReader(ByteSource source) : source_(std::move(source)) {}

// A UTF-8 byte-order mark is dropped; UTF-16 (with or without its mark) is decoded as it
// comes. Each is named in the warnings.
void DataFileReader::DetectEncoding() {
    ReadMore(source_, raw_, raw_at_, raw_end_, 3);
    auto at = [&](std::size_t i) { return static_cast<unsigned char>(raw_[raw_at_ + i]); };
    std::size_t size = raw_.size() - raw_at_;
    if (size >= 3 && at(0) == 0xEF && at(1) == 0xBB && at(2) == 0xBF) {
        warnings_.push_back({0, "starts with a UTF-8 byte-order mark; read without it"});
        raw_at_ += 3;
        return;
    }
    bool bom_le = size >= 2 && at(0) == 0xFF && at(1) == 0xFE;
    bool bom_be = size >= 2 && at(0) == 0xFE && at(1) == 0xFF;
    bool bare_le = !bom_le && !bom_be && size >= 2 && at(0) != 0 && at(1) == 0;
    bool bare_be = !bom_le && !bom_be && size >= 2 && at(0) == 0 && at(1) != 0;
    if (!bom_le && !bom_be && !bare_le && !bare_be)
        return;
    bool little = bom_le || bare_le;
    utf16_ = little ? 1 : 2;
    utf16_name_ = Utf16Name(little, bom_le || bom_be);
    if (bom_le || bom_be)
        raw_at_ += 2;
    warnings_.push_back({0, "is " + utf16_name_ + "; read as the ASCII text it holds"});
}

// Moves the next chunk of the file into the text to split, after what is left of it; false
// at its end. The text's buffer is sized once and never cleared.
bool DataFileReader::FillText() {
    const std::size_t kept = text_end_ - text_at_;
    if (text_.size() < kept + kChunk)
        text_.resize(kept + kChunk);
    std::memmove(text_.data(), text_.data() + text_at_, kept);
    text_at_ = 0;
    text_end_ = kept;
    char* const out = text_.data() + kept;
    if (!utf16_ && raw_at_ == raw_.size()) {
        // Narrow text is read straight into the text to split, without a copy.
        const std::size_t got = raw_end_ ? 0 : source_(out, kChunk);
        text_end_ += got;
        raw_end_ = got == 0;
        return got > 0;
    }
    if (!ReadMore(source_, raw_, raw_at_, raw_end_, utf16_ ? 2 : 1))
        return false;
    const char* const in = raw_.data() + raw_at_;
    const std::size_t size = raw_.size() - raw_at_;
    if (!utf16_) {
        const std::size_t n = std::min(size, kChunk);
        std::memcpy(out, in, n);
        raw_at_ += n;
        text_end_ += n;
        return true;
    }
    if (size < 2) {
        throw DataFileError(0, "is " + utf16_name_ +
                                   " with an odd number of bytes; the tool writes "
                                   "narrow ASCII text");
    }
    const std::size_t units = std::min(size / 2, kChunk);
    const int high = utf16_ == 1 ? 1 : 0; // the byte that holds the high half
    for (std::size_t i = 0; i < units; ++i) {
        const unsigned char hi = static_cast<unsigned char>(in[2 * i + high]);
        const unsigned char lo = static_cast<unsigned char>(in[2 * i + 1 - high]);
        if (hi != 0 || lo > 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "%04X", hi << 8 | lo);
            decoded_lines_ += static_cast<int>(std::count(out, out + i, '\n'));
            throw DataFileError(decoded_lines_, "character U+" + std::string(hex) + " in " +
                                                    utf16_name_ +
                                                    "; the tool writes narrow ASCII text");
        }
        out[i] = static_cast<char>(lo);
    }
    decoded_lines_ += static_cast<int>(std::count(out, out + units, '\n'));
    raw_at_ += 2 * units;
    text_end_ += units;
    return true;
}

// The next line without its line end; false at the end of the file. UNENDED: the line is the
// last and has no LF.
bool DataFileReader::NextLine(std::string_view& text, bool& unended) {
    std::size_t searched = text_at_;
    for (;;) {
        const char* const base = text_.data();
        const void* lf = std::memchr(base + searched, '\n', text_end_ - searched);
        const std::size_t at = lf ? static_cast<const char*>(lf) - base : text_end_;
        if (lf && at - text_at_ <= kMaxLineBytes + 1) {
            text = std::string_view(base + text_at_, at - text_at_);
            text_at_ = at + 1;
            unended = false;
            return true;
        }
        if (text_end_ - text_at_ > kMaxLineBytes + 1) {
            throw DataFileError(line_ + 1, "a line of more than " + std::to_string(kMaxLineBytes) +
                                               " bytes; the tool's lines are at most " +
                                               std::to_string(kHeader.size()));
        }
        const std::size_t kept = text_end_ - text_at_;
        if (!FillText()) {
            if (text_end_ == text_at_)
                return false;
            text = std::string_view(text_.data() + text_at_, text_end_ - text_at_);
            text_at_ = text_end_;
            unended = true;
            return true;
        }
        searched = kept; // FillText moved the unsplit text to the front
    }
}

// The rows of the tool's own lines, CR LF ended, straight from the text to split: the
// common case, with no line split off first. False at anything else.
bool DataFileReader::NextCommonRow(Row& row) {
    const char* const base = text_.data();
    const char* const end = base + text_end_;
    const char* p = ReadCommonCells(base + text_at_, end, line_ + 1, row);
    if (p == nullptr || end - p < 2 || p[0] != '\r' || p[1] != '\n' || line_ >= INT32_MAX - 1)
        return false;
    ++line_;
    last_unended_ = false;
    text_at_ = static_cast<std::size_t>(p + 2 - base);
    return true;
}

// Reads lines until the next row; the header is checked on the way.
bool DataFileReader::Next(Row& row) {
    if (line_ > 0 && NextCommonRow(row))
        return true;
    if (!started_) {
        started_ = true;
        DetectEncoding();
    }
    while (!done_) {
        std::string_view text;
        bool unended = false;
        if (!NextLine(text, unended)) {
            Finish();
            return false;
        }
        if (line_ == INT32_MAX)
            throw DataFileError(line_, "more lines than the tool can write");
        int line = ++line_;
        last_unended_ = unended;
        if (!text.empty() && text.back() == '\r') {
            text.remove_suffix(1);
        } else if (!unended) {
            if (lf_only_++ == 0)
                first_lf_only_ = line;
        }
        if (line == 1) {
            if (text.find('\r') != std::string_view::npos)
                throw DataFileError(line, "CR inside the line");
            if (text != kHeaderText) {
                throw DataFileError(line, "missing header: expected "
                                          "SysTime<TAB>VK<TAB>U/D<TAB>Shift<TAB>Ctrl<TAB>Alt");
            }
            continue;
        }
        if (unended) {
            // The tool ends every line it writes: a line without its end was cut short
            // while the file was written, and what is left of it is not a row to trust.
            cut_line_ = line;
            warnings_.push_back({line, "the last line has no line end: the file is cut short "
                                       "there (saving stopped mid-write?); line left out"});
            continue;
        }
        const char* const end = text.data() + text.size();
        if (ReadCommonCells(text.data(), end, line, row) != end)
            row = ParseRow(text, line);
        return true;
    }
    return false;
}

// The warnings that need the whole file: lines ended by LF alone.
void DataFileReader::Finish() {
    if (done_)
        return;
    done_ = true;
    if (line_ == 0)
        throw DataFileError(1, "missing header: the file is empty");
    if (lf_only_ > 0) {
        int ended = line_ - (last_unended_ ? 1 : 0);
        std::string which = lf_only_ == ended ? "lines end"
                            : lf_only_ == 1   ? "1 line ends"
                                              : std::to_string(lf_only_) + " lines end";
        warnings_.push_back(
            {first_lf_only_, which + " with LF alone instead of CR LF; read anyway"});
        std::stable_sort(warnings_.begin(), warnings_.end(),
                         [](const Warning& a, const Warning& b) { return a.line < b.line; });
    }
}

// Reads every line of the bytes; throws DataFileError at the first bad one.
std::vector<Row> ParseDataFile(std::string_view bytes, std::vector<Warning>* warnings_out) {
    std::size_t at = 0;
    DataFileReader reader([&](char* buffer, std::size_t size) {
        std::size_t n = std::min(size, bytes.size() - at);
        std::copy_n(bytes.data() + at, n, buffer);
        at += n;
        return n;
    });
    std::vector<Row> rows;
    for (Row row; reader.Next(row);)
        rows.push_back(row);
    if (warnings_out)
        *warnings_out = reader.Warnings();
    return rows;
}

} // namespace report
