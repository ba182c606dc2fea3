// transcript.cpp - the runner's transcript: text lines or JSON objects, and
// the buffer they go through.
//
// The JSON objects are made and escaped by nlohmann-json; text that is not
// UTF-8 (it cannot come from the tool, which writes UTF-16) is written with
// U+FFFD in its place rather than stopping the run.
#include "cli/sim/transcript.h"

#include "cli/sim/keys.h"

#include <nlohmann/json.hpp>

#include <cstdio>

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

std::string DescribeSystemKey(const sim::SystemKey& key) {
    char code[8];
    std::snprintf(code, sizeof code, "0x%02X", key.vk);
    std::string name = KeyName(key.vk);
    std::string s = "key " + name;
    if (name != code)
        s += " (" + std::string(code) + ")";
    s += key.down ? " down" : " up";
    s += ", mods " + ModsName(key.mods);
    if (key.synthesized)
        s += ", synthesised";
    return s;
}

std::string DescribeMessageBox(const sim::MessageBoxRecord& box) {
    return "message box \"" + sim::Narrow(box.caption) + "\": \"" + sim::Narrow(box.text) + "\" " +
           MessageBoxButtons(box.type);
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
        buf_ += '\n';
        if (line_buffered || buf_.size() >= kBufferBytes)
            Flush();
    }
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

void Transcript::WriteText(DWORD tick, const std::string& text) {
    std::string line = TickText(tick);
    line += ' ';
    line += text;
    Put(line);
    if (on_line)
        on_line(line);
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
    std::string text = "row " + std::to_string(number) + ":";
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

void Transcript::SystemKey(DWORD tick, const sim::SystemKey& key) {
    if (format_ == Format::Jsonl) {
        Before();
        std::string name = KeyName(key.vk), mods = ModsName(key.mods);
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
    WriteText(tick, DescribeSystemKey(key));
}

void Transcript::Line(DWORD tick, int number, std::string_view text) {
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
