// transcript.cpp - the runner's transcript: text lines or JSON objects, and
// the buffer they go through.
//
// The JSON objects are made and escaped by nlohmann-json; text that is not
// UTF-8 (it cannot come from the tool, which writes UTF-16) is written with
// U+FFFD in its place rather than stopping the run.
#include "cli/runner/transcript.h"

#include "cli/common/keys.h"

#include <nlohmann/json.hpp>

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

namespace {} // namespace

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
        Flush();
}

void Transcript::AppendTick(DWORD tick) {
    char digits[16];
    auto r = std::to_chars(digits, digits + sizeof digits, (int32_t)tick);
    buf_.append(digits, (size_t)(r.ptr - digits));
    buf_ += ' ';
}

bool Transcript::Flush() {
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

void Transcript::WriteJson(DWORD tick, const char* type, std::initializer_list<Field> fields) {
    nlohmann::ordered_json j;
    j["tick"] = (int32_t)tick;
    j["type"] = type;
    for (const Field& f : fields) {
        switch (f.kind) {
        case Field::Int:
            j[f.key] = f.i;
            break;
        case Field::Str:
            j[f.key] = std::string(f.s);
            break;
        case Field::Bool:
            j[f.key] = f.b;
            break;
        case Field::Strs:
            j[f.key] = *f.list;
            break;
        }
    }
    Put(j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
}

void Transcript::Event(DWORD tick, const char* type, const std::string& text,
                       std::initializer_list<Field> fields) {
    Before();
    if (format_ == Format::Jsonl) {
        WriteJson(tick, type, fields);
        if (on_line)
            on_line(TickText(tick) + " " + text);
    } else {
        WriteText(tick, text);
    }
}

void Transcript::Row(DWORD tick, int number, const std::array<std::string, 6>& cells,
                     const std::string& echo_of) {
    Before();
    bool quiet = true;
    for (int c = 1; c < 6; ++c)
        quiet = quiet && cells[c].empty();
    if (format_ == Format::Jsonl) {
        std::vector<std::string> list(cells.begin(), cells.end());
        if (echo_of.empty())
            WriteJson(tick, "row", {{"row", number}, {"cells", list}, {"quiet", quiet}});
        else
            WriteJson(tick, "row",
                      {{"row", number}, {"cells", list}, {"quiet", quiet}, {"echo_of", echo_of}});
        if (!on_line)
            return;
    }
    // The text line, made in place: a long run writes millions of them.
    std::string& text = scratch_;
    text.assign("row ");
    char digits[16];
    auto r = std::to_chars(digits, digits + sizeof digits, number);
    text.append(digits, (size_t)(r.ptr - digits));
    text += ':';
    if (quiet) {
        text += " quiet mark";
    } else {
        for (int c = 1; c < 6; ++c)
            if (!cells[c].empty()) {
                text += ' ';
                text += cells[c];
            }
    }
    if (!echo_of.empty())
        text += " (echo of the tool's own " + echo_of + ")";
    if (format_ == Format::Jsonl)
        on_line(TickText(tick) + " " + text);
    else
        WriteText(tick, text);
}

void Transcript::SystemKey(DWORD tick, const device::SystemKey& key) {
    if (format_ == Format::Jsonl) {
        Before();
        std::string name = keys::KeyName(key.vk), mods = keys::ModsName(key.mods);
        WriteJson(tick, "key",
                  {{"key", name},
                   {"vk", (int)key.vk},
                   {"down", key.down},
                   {"mods", mods},
                   {"synthesised", key.synthesized}});
        if (on_line)
            on_line(TickText(tick) + " " + DescribeSystemKey(key));
        return;
    }
    Before();
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
    if (plain && format_ == Format::Text) { // made in place, as rows are
        Before();
        std::string& line = scratch_;
        line.assign("line ");
        char digits[16];
        auto r = std::to_chars(digits, digits + sizeof digits, number);
        line.append(digits, (size_t)(r.ptr - digits));
        line += ": ";
        line.append(text);
        WriteText(tick, line);
        return;
    }
    std::string shown = Printable(text);
    Event(tick, "line", "line " + std::to_string(number) + ": " + shown,
          {{"line", number}, {"text", shown}});
}

void Transcript::Screen(DWORD tick, const std::string& at, const ScreenView& view) {
    if (format_ == Format::Jsonl) {
        Before();
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
