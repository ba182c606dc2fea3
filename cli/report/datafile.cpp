// datafile.cpp - strict reader of the data file. The accepted grammar, line by line:
//
//   line 1   SysTime TAB VK TAB U/D TAB Shift TAB Ctrl TAB Alt CR LF
//   key row  TICK TAB VK TAB (D|U) TAB (S|) TAB (C|) TAB (A|) CR LF
//   taken    TICK TAB VK TAB F TAB (S|) TAB (C|) TAB (A|) CR LF     (VK at most FF)
//   quiet    TICK TAB TAB TAB TAB TAB CR LF
//
// TICK is a signed 32-bit number exactly as "%d" prints it (no sign but '-', no leading
// zero, no "-0"); VK is "%02X" of a 16-bit code: upper-case hex, two digits, or three or
// four without a leading zero.
#include "datafile.h"

#include <cstdio>

namespace report {

namespace {

constexpr std::string_view kHeaderText = "SysTime\tVK\tU/D\tShift\tCtrl\tAlt";

// Field text for a message, with bytes that would not print shown as \xNN.
std::string Quoted(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
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
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (;;) {
        std::size_t tab = text.find('\t', start);
        fields.push_back(text.substr(start, tab - start));
        if (tab == std::string_view::npos)
            break;
        start = tab + 1;
    }
    if (fields.size() != 6) {
        throw DataFileError(line, std::to_string(fields.size()) +
                                      (fields.size() == 1 ? " field" : " fields") +
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

    row.vk = ParseKeyCode(fields[1], line);
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

} // namespace

// Reads every line of the file; throws DataFileError at the first bad one.
std::vector<Row> ParseDataFile(std::string_view bytes) {
    if (bytes.empty())
        throw DataFileError(1, "missing header: the file is empty");

    std::vector<Row> rows;
    std::size_t pos = 0;
    for (int line = 1; pos < bytes.size(); ++line) {
        std::size_t lf = bytes.find('\n', pos);
        if (lf == std::string_view::npos)
            throw DataFileError(line, "last line does not end with CR LF");
        std::string_view text = bytes.substr(pos, lf - pos);
        pos = lf + 1;
        if (text.empty() || text.back() != '\r')
            throw DataFileError(line, "line ends with LF alone; lines end with CR LF");
        text.remove_suffix(1);
        if (text.find('\r') != std::string_view::npos)
            throw DataFileError(line, "CR inside the line");

        if (line == 1) {
            if (text != kHeaderText) {
                throw DataFileError(line, "missing header: expected "
                                          "SysTime<TAB>VK<TAB>U/D<TAB>Shift<TAB>Ctrl<TAB>Alt");
            }
            continue;
        }
        rows.push_back(ParseRow(text, line));
    }
    return rows;
}

// Modifier bit of Shift, Ctrl or Alt; 0 for other keys.
unsigned ModifierOfKey(unsigned vk) {
    switch (vk) {
    case kVkShift:
        return kModShift;
    case kVkCtrl:
        return kModCtrl;
    case kVkAlt:
        return kModAlt;
    default:
        return 0;
    }
}

} // namespace report
