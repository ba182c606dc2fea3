// transcript.cpp - the runner's transcript: text lines or JSON objects, and
// the buffer they go through.
//
// The JSON objects are made in place, as the text lines are; text that is not
// UTF-8 (it cannot come from the tool, which writes UTF-16) is written with
// U+FFFD in its place rather than stopping the run.
#include "cli/runner/transcript.h"

#include "cli/common/keys.h"

#include <charconv>

namespace runner {

namespace {

constexpr size_t kBufferBytes = 64 * 1024;

} // namespace

const char* MessageBoxButtons(UINT type) {
    switch (type & 0xF) {
    case 0:
        return "[OK]";
    case 1:
        return "[OK] [Cancel]";
    case 2:
        return "[Abort] [Retry] [Ignore]";
    case 3:
        return "[Yes] [No] [Cancel]";
    case 4:
        return "[Yes] [No]";
    case 5:
        return "[Retry] [Cancel]";
    default:
        return "[?]";
    }
}

std::string TickText(DWORD tick) {
    return std::to_string((int32_t)tick);
}

std::string DescribeSystemKey(const device::SystemKey& key) {
    std::string name = keys::KeyName(key.vk), code = keys::HexCode(key.vk);
    std::string s = "key " + name;
    if (name != code)
        s += " (" + code + ")";
    s += key.down ? " down" : " up";
    s += ", mods " + keys::ModsName(key.mods);
    if (key.synthesized)
        s += ", synthesised";
    return s;
}

std::string DescribeMessageBox(const device::MessageBoxRecord& box) {
    return "message box \"" + device::Narrow(box.caption) + "\": \"" + device::Narrow(box.text) +
           "\" " + MessageBoxButtons(box.type);
}

void Transcript::Before() {
    ++events_;
    if (before_event && !in_before_) {
        in_before_ = true;
        before_event();
        in_before_ = false;
    }
}

void Transcript::Put(const std::string& line) {
    if (out_) {
        buf_ += line;
        EndLine();
    }
}

void Transcript::EndLine() {
    buf_ += '\n';
    if (line_buffered || buf_.size() >= kBufferBytes)
        Drain();
}

void Transcript::AppendTick(DWORD tick) {
    char digits[16];
    auto r = std::to_chars(digits, digits + sizeof digits, (int32_t)tick);
    buf_.append(digits, (size_t)(r.ptr - digits));
    buf_ += ' ';
}

bool Transcript::Flush() {
    EndSweep();
    return Drain();
}

bool Transcript::Drain() {
    if (!out_)
        return true;
    if (!buf_.empty()) {
        out_->write(buf_.data(), (std::streamsize)buf_.size());
        buf_.clear();
    }
    out_->flush();
    return !out_->fail();
}

void Transcript::WriteText(DWORD tick, std::string_view text) {
    if (out_) {
        AppendTick(tick);
        buf_.append(text);
        EndLine();
    }
    if (on_line)
        on_line(TickText(tick) + " " + std::string(text));
}

namespace {

// Appends `s` as a JSON string: quotes, escapes, and U+FFFD in place of each
// byte that does not begin or continue a UTF-8 character.
void AppendJsonString(std::string& out, std::string_view s) {
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    size_t i = 0, n = s.size();
    while (i < n) {
        size_t plain = i;
        while (plain < n && (unsigned char)s[plain] >= 0x20 && (unsigned char)s[plain] < 0x80 &&
               s[plain] != '"' && s[plain] != '\\')
            ++plain;
        out.append(s.data() + i, plain - i);
        i = plain;
        if (i == n)
            break;
        unsigned char c = (unsigned char)s[i];
        if (c < 0x80) {
            out += '\\';
            switch (c) {
            case '"':
            case '\\':
                out += (char)c;
                break;
            case '\b':
                out += 'b';
                break;
            case '\f':
                out += 'f';
                break;
            case '\n':
                out += 'n';
                break;
            case '\r':
                out += 'r';
                break;
            case '\t':
                out += 't';
                break;
            default:
                out += "u00";
                out += kHex[c >> 4];
                out += kHex[c & 15];
            }
            ++i;
            continue;
        }
        size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        uint32_t cp = c >= 0xF0 ? c & 7u : c >= 0xE0 ? c & 15u : c & 31u;
        bool ok = c >= 0xC2 && c <= 0xF4 && i + len <= n;
        for (size_t k = 1; ok && k < len; ++k) {
            ok = ((unsigned char)s[i + k] & 0xC0) == 0x80;
            cp = cp << 6 | ((unsigned char)s[i + k] & 0x3F);
        }
        ok = ok && !(len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp < 0xE000))) &&
             !(len == 4 && (cp < 0x10000 || cp > 0x10FFFF));
        if (ok) {
            out.append(s.data() + i, len);
            i += len;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    out += '"';
}

// Appends a whole number in decimal.
void AppendInt(std::string& out, int64_t v) {
    char digits[24];
    auto r = std::to_chars(digits, digits + sizeof digits, v);
    out.append(digits, (size_t)(r.ptr - digits));
}

// Appends `,"key":` to an object being made.
void AppendKey(std::string& out, const char* key) {
    out += ",\"";
    out += key;
    out += "\":";
}

// The row's key code, from its VK cell (two hex digits), or -1.
int RowKey(const std::string& cell) {
    unsigned vk = 0;
    if (cell.empty() || cell.size() > 2)
        return -1;
    auto r = std::from_chars(cell.data(), cell.data() + cell.size(), vk, 16);
    return r.ec == std::errc() && r.ptr == cell.data() + cell.size() ? (int)vk : -1;
}

// A row's tick, from its SysTime cell (the tool's %d).
bool RowTick(const std::string& cell, uint32_t& tick) {
    int64_t v = 0;
    auto r = std::from_chars(cell.data(), cell.data() + cell.size(), v);
    tick = (uint32_t)v;
    return r.ec == std::errc() && r.ptr == cell.data() + cell.size();
}

// What rows and held lines write for a key code: " (A)" beside the code in
// text, `"key":"A","vk":65` in JSON; worked out once, a long run writes millions.
struct KeyTexts {
    std::array<std::string, 256> beside, json;
    KeyTexts() {
        for (unsigned vk = 0; vk < 256; ++vk) {
            std::string name = keys::KeyName(vk);
            if (name != keys::HexCode(vk))
                beside[vk] = " (" + name + ")";
            json[vk] = ",\"key\":";
            AppendJsonString(json[vk], name);
            json[vk] += ",\"vk\":" + std::to_string(vk);
        }
    }
};

const KeyTexts& Keys() {
    static const KeyTexts k;
    return k;
}

} // namespace

void Transcript::BeginJson(DWORD tick, const char* type) {
    buf_ += "{\"tick\":";
    AppendInt(buf_, (int32_t)tick);
    buf_ += ",\"type\":\"";
    buf_ += type;
    buf_ += '"';
}

void Transcript::WriteJson(DWORD tick, const char* type, std::initializer_list<Field> fields) {
    if (!out_)
        return;
    BeginJson(tick, type);
    for (const Field& f : fields) {
        AppendKey(buf_, f.key);
        switch (f.kind) {
        case Field::Int:
            AppendInt(buf_, f.i);
            break;
        case Field::Str:
            AppendJsonString(buf_, f.s);
            break;
        case Field::Bool:
            buf_ += f.b ? "true" : "false";
            break;
        case Field::Strs:
            buf_ += '[';
            for (size_t k = 0; k < f.list->size(); ++k) {
                if (k)
                    buf_ += ',';
                AppendJsonString(buf_, (*f.list)[k]);
            }
            buf_ += ']';
            break;
        }
    }
    buf_ += '}';
    EndLine();
}

void Transcript::Event(DWORD tick, const char* type, const std::string& text,
                       std::initializer_list<Field> fields) {
    Before();
    EndSweep();
    if (format_ == Format::Jsonl) {
        WriteJson(tick, type, fields);
        if (on_line)
            on_line(TickText(tick) + " " + text);
    } else {
        WriteText(tick, text);
    }
}

void Transcript::EndSweep() {
    std::vector<Held> held;
    held.swap(held_);
    for (const Held& h : held) {
        std::string name = keys::KeyName(h.vk), code = keys::HexCode(h.vk);
        std::vector<std::string> mods;
        for (unsigned bits = 0; bits < 8; ++bits)
            if (h.mods & (1u << bits))
                mods.push_back(keys::ModsName(bits));
        std::string text = "held elsewhere: " + name + (name != code ? " (" + code + ")" : "");
        if (mods.size() == 8) {
            text += ", all 8 modifier sets";
        } else {
            for (size_t k = 0; k < mods.size(); ++k)
                text += (k ? ", " : " with ") + mods[k];
        }
        text += h.first == h.last
                    ? " (row " + std::to_string(h.first) + ")"
                    : " (rows " + std::to_string(h.first) + "-" + std::to_string(h.last) + ")";
        Event(held.back().tick, "held", text,
              {{"key", name},
               {"vk", (int)h.vk},
               {"mods", mods},
               {"first_row", h.first},
               {"last_row", h.last}});
    }
}

void Transcript::Row(DWORD tick, int number, const std::array<std::string, 6>& cells,
                     const std::string& echo_of) {
    Before();
    bool quiet = true;
    for (int c = 1; c < 6; ++c)
        quiet = quiet && cells[c].empty();
    const int vk = quiet ? -1 : RowKey(cells[1]);
    const bool key_row = cells[2] == "D" || cells[2] == "U";
    if (vk >= 0 && cells[2] == "F") {
        unsigned mods = (cells[3].empty() ? 0 : keys::kModShift) |
                        (cells[4].empty() ? 0 : keys::kModCtrl) |
                        (cells[5].empty() ? 0 : keys::kModAlt);
        if (held_.empty() || held_.back().vk != vk)
            held_.push_back({(uint8_t)vk, 0, number, number, tick});
        held_.back().mods |= 1u << mods;
        held_.back().last = number;
        held_.back().tick = tick;
    } else {
        EndSweep();
    }
    // Time since the previous key row of the same burst.
    uint32_t row_tick = 0;
    int64_t since = -1;
    if (key_row && RowTick(cells[0], row_tick)) {
        if (in_burst_)
            since = (uint32_t)(row_tick - burst_tick_);
        in_burst_ = true;
        burst_tick_ = row_tick;
    } else {
        in_burst_ = false;
    }
    if (format_ == Format::Jsonl) {
        if (out_) {
            BeginJson(tick, "row");
            AppendKey(buf_, "row");
            AppendInt(buf_, number);
            buf_ += ",\"cells\":[";
            for (int c = 0; c < 6; ++c) {
                if (c)
                    buf_ += ',';
                AppendJsonString(buf_, cells[c]);
            }
            buf_ += quiet ? "],\"quiet\":true" : "],\"quiet\":false";
            if (vk >= 0)
                buf_ += Keys().json[vk];
            if (since >= 0) {
                AppendKey(buf_, "since_ms");
                AppendInt(buf_, since);
            }
            if (!echo_of.empty()) {
                AppendKey(buf_, "echo_of");
                AppendJsonString(buf_, echo_of);
            }
            buf_ += '}';
            EndLine();
        }
        if (!on_line)
            return;
    }
    // The text line, made in place: a long run writes millions of them.
    std::string& text = scratch_;
    text.assign("row ");
    AppendInt(text, number);
    text += ':';
    if (quiet) {
        text += " quiet mark";
    } else {
        for (int c = 1; c < 6; ++c)
            if (!cells[c].empty()) {
                text += ' ';
                text += cells[c];
                if (c == 1 && vk >= 0)
                    text += Keys().beside[vk];
            }
    }
    if (since >= 0) {
        text += " +";
        AppendInt(text, since);
        text += " ms";
    }
    if (!echo_of.empty())
        text += " (echo of the tool's own " + echo_of + ")";
    if (format_ == Format::Jsonl)
        on_line(TickText(tick) + " " + text);
    else
        WriteText(tick, text);
}

void Transcript::SystemKey(DWORD tick, const device::SystemKey& key) {
    Before();
    EndSweep();
    if (format_ == Format::Jsonl) {
        if (out_) {
            BeginJson(tick, "key");
            buf_ += Keys().json[key.vk];
            buf_ += key.down ? ",\"down\":true,\"mods\":" : ",\"down\":false,\"mods\":";
            AppendJsonString(buf_, keys::ModsName(key.mods));
            buf_ += key.synthesized ? ",\"synthesised\":true}" : ",\"synthesised\":false}";
            EndLine();
        }
        if (on_line)
            on_line(TickText(tick) + " " + DescribeSystemKey(key));
        return;
    }
    // Made in place from names worked out once: a long run writes millions.
    static const std::array<std::string, 256> kKeys = [] {
        std::array<std::string, 256> k;
        for (int vk = 0; vk < 256; ++vk) {
            std::string name = keys::KeyName(vk), code = keys::HexCode(vk);
            k[vk] = "key " + name + (name != code ? " (" + code + ")" : "");
        }
        return k;
    }();
    static const std::array<std::string, 8> kMods = [] {
        std::array<std::string, 8> m;
        for (unsigned bits = 0; bits < 8; ++bits)
            m[bits] = ", mods " + keys::ModsName(bits);
        return m;
    }();
    std::string& line = scratch_;
    line.assign(kKeys[key.vk]);
    line += key.down ? " down" : " up";
    if ((key.mods & ~7u) == 0)
        line += kMods[key.mods];
    else
        line += ", mods " + keys::ModsName(key.mods);
    if (key.synthesized)
        line += ", synthesised";
    WriteText(tick, line);
}

void Transcript::Line(DWORD tick, int number, std::string_view text) {
    bool plain = text.size() <= 80;
    for (size_t i = 0; plain && i < text.size(); ++i)
        plain = text[i] >= 0x20 && text[i] < 0x7F;
    if (plain) { // made in place, as rows are
        Before();
        EndSweep();
        std::string& line = scratch_;
        line.assign("line ");
        AppendInt(line, number);
        line += ": ";
        line.append(text);
        if (format_ == Format::Text) {
            WriteText(tick, line);
            return;
        }
        if (out_) {
            BeginJson(tick, "line");
            AppendKey(buf_, "line");
            AppendInt(buf_, number);
            AppendKey(buf_, "text");
            AppendJsonString(buf_, text);
            buf_ += '}';
            EndLine();
        }
        if (on_line)
            on_line(TickText(tick) + " " + line);
        return;
    }
    std::string shown = Printable(text);
    Event(tick, "line", "line " + std::to_string(number) + ": " + shown,
          {{"line", number}, {"text", shown}});
}

void Transcript::Screen(DWORD tick, const std::string& at, const ScreenView& view) {
    if (format_ == Format::Jsonl) {
        Before();
        EndSweep();
        WriteJson(tick, "screen", {{"at", at}, {"summary", view.summary}, {"lines", view.lines}});
        if (on_line)
            on_line(TickText(tick) + " screen at " + at + ": " + view.summary);
        return;
    }
    Event(tick, "screen", "screen at " + at + ": " + view.summary);
    for (const std::string& line : view.lines)
        Put("  " + line);
}

} // namespace runner
