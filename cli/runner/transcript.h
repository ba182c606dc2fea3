// transcript.h - what a person holding the device sees, one line per event,
// the device's tick first (as the tool prints it, with %d), in the manner of
// xev; or, for programs, one JSON object per event (--format jsonl, the
// schema in docs/transcript.md).
//
// Buffering, as programs expect it: line by line when the transcript goes to
// a terminal (or with --line-buffered); otherwise in a buffer of 64 KB,
// written out when full, whenever the runner is about to wait for more input
// (Flush), and at the end of the run.
//
//   0 start: device built-in (240x320, 96 dpi, ...), exe \Program Files\tapwatcher.exe
//   1 row 1: C1 (App1) F
//   1000 line 12: type Ctrl+A
//   1 held elsewhere: App1 (0xC1), all 8 modifier sets (rows 1-8)
//   1000 row 49: 11 (Ctrl) D C
//   1000 key A (0x41) down, mods Ctrl, synthesised
//   1000 row 52: 11 (Ctrl) U C +0 ms (echo of the tool's own Ctrl up)
//   4000 row 53: quiet mark
//   4000 screen at line 19 (show): rows 39-53 of 53, menu bar [Exit] [Clear]
//     +----------------------------------------+
//     ...
//   4000 message box "error": "Can't open file.(5)" [OK]
//   4000 data file written: tapwatcher-device/Program Files/tapwatcherdata.txt (1234 bytes)
//   4000 exit 0
#pragma once

#include "cli/runner/parse_util.h"
#include "cli/runner/screen.h"
#include "device/device.h"

#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace runner {

// The tick as the tool prints it: the 32-bit count as a signed decimal.
std::string TickText(DWORD tick);

// "key A (0x41) down, mods Ctrl, synthesised"
std::string DescribeSystemKey(const device::SystemKey& key);
// The buttons of a message box type (MB_OK and friends): "[OK] [Cancel]".
const char* MessageBoxButtons(UINT type);
// "message box "error": "Can't open file.(5)" [OK]"
std::string DescribeMessageBox(const device::MessageBoxRecord& box);

enum class Format { Text, Jsonl };

// One field of an event's JSON object: a number, a text, a flag or a list of texts.
struct Field {
    enum Kind { Int, Str, Bool, Strs } kind;
    const char* key;
    int64_t i = 0;
    std::string_view s;
    bool b = false;
    const std::vector<std::string>* list = nullptr;

    Field(const char* k, int64_t v) : kind(Int), key(k), i(v) {}
    Field(const char* k, int v) : kind(Int), key(k), i(v) {}
    Field(const char* k, uint32_t v) : kind(Int), key(k), i(v) {}
    Field(const char* k, uint64_t v) : kind(Int), key(k), i((int64_t)v) {}
    Field(const char* k, std::string_view v) : kind(Str), key(k), s(v) {}
    Field(const char* k, const char* v) : kind(Str), key(k), s(v) {}
    Field(const char* k, const std::string& v) : kind(Str), key(k), s(v) {}
    Field(const char* k, bool v) : kind(Bool), key(k), b(v) {}
    Field(const char* k, const std::vector<std::string>& v) : kind(Strs), key(k), list(&v) {}
};

class Transcript {
  public:
    // Lines go to `out` (none when NULL) and to `on_line`, when set.
    explicit Transcript(std::ostream* out, Format format = Format::Text)
        : out_(out), format_(format) {}
    ~Transcript() { Drain(); }
    Transcript(const Transcript&) = delete;
    Transcript& operator=(const Transcript&) = delete;

    // One event: its tick, its type (the JSON "type"), its text line without
    // the tick, and the fields of its JSON object.
    void Event(DWORD tick, const char* type, const std::string& text,
               std::initializer_list<Field> fields = {});
    // An event of no type of its own (other front ends' notes): "note", its
    // text the JSON object's "text".
    void Event(DWORD tick, const std::string& text) { Event(tick, "note", text, {{"text", text}}); }
    // A row the tool added to its list: number from 1, its six cells, and
    // whether the tool's own synthesised key `echo_of` ("Ctrl up") caused it.
    // The key's name goes beside its code, and a key row after another of
    // the same burst gets the time since it; a block of "F" rows is followed
    // by one "held" line per key.
    void Row(DWORD tick, int number, const std::array<std::string, 6>& cells,
             const std::string& echo_of);
    // A key event that reached the rest of the system.
    void SystemKey(DWORD tick, const device::SystemKey& key);
    // A scenario line reached ("line 12: type Ctrl+A").
    void Line(DWORD tick, int number, std::string_view text);
    // An event line followed by the screen, each of its lines indented.
    void Screen(DWORD tick, const std::string& at, const ScreenView& view);

    // Called before each event is written (not again from inside it): the
    // rows the tool added since the last event come first.
    std::function<void()> before_event;
    // Each text line, as it is written.
    std::function<void(const std::string& line)> on_line;
    // Write each line out at once (a terminal, --line-buffered).
    bool line_buffered = false;
    // Ends a start-up sweep's block of rows and writes out what is buffered.
    // False when the stream has failed.
    bool Flush();
    Format format() const { return format_; }
    // Events written so far.
    uint64_t Events() const { return events_; }

  private:
    // The keys whose combinations another program holds, from the "F" rows
    // of the start-up sweep: one "held" line each after the block.
    struct Held {
        uint8_t vk;
        unsigned mods; // bit n: the modifier set n is held
        int first, last;
        DWORD tick; // of its last row; the lines go out at the block's last
    };
    void EndSweep();
    bool Drain();
    void BeginJson(DWORD tick, const char* type);
    void Before();
    void WriteText(DWORD tick, std::string_view text);
    void AppendTick(DWORD tick);
    void EndLine();
    void WriteJson(DWORD tick, const char* type, std::initializer_list<Field> fields);
    void Put(const std::string& line);
    std::ostream* out_;
    Format format_;
    std::string buf_;
    std::string scratch_; // a line being made
    bool in_before_ = false;
    std::vector<Held> held_;
    bool in_burst_ = false; // the last row was a key row
    uint32_t burst_tick_ = 0;
    uint64_t events_ = 0;
};

} // namespace runner
