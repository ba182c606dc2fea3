// terminal.h - the interactive device: keys typed on a terminal drive the
// device on a real-time clock, and its screen is redrawn in place.
#pragma once

#include "cli/runner/job.h"

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace runner {

// One key as the terminal reported it. A terminal without the keyboard
// protocol reports no releases, so each typed key becomes presses of `keys`
// in order (modifiers first, the key last) and releases in reverse order, as
// `type` does. With the protocol, presses, repeats and releases are real,
// one key each.
struct TypedKey {
    enum Kind {
        Keys,    // a combination typed: pressed and released at once
        Press,   // one key goes down (the keyboard protocol); `repeat` for a repeat
        Release, // one key goes up (the keyboard protocol)
        Exit,    // Ctrl-X: tap the menu bar's "Exit"; the device never sees it
        Clear,   // Ctrl-L: tap the menu bar's "Clear"; the device never sees it
        Leave,   // Ctrl-C, or the end of input: the shell closes the tool
        Prefix,  // Ctrl-]: the next key is App1-App6 (1-6), F13-F24 (F1-F12), or h: hold
    } kind = Keys;
    std::vector<uint8_t> keys;
    bool repeat = false;
    bool operator==(const TypedKey& o) const {
        return kind == o.kind && keys == o.keys && repeat == o.repeat;
    }
};

// Turns the bytes a terminal sends into keys: letters, digits and symbols (US
// layout, Shift added where the symbol needs it), Enter, Tab, Backspace, Esc,
// Ctrl+letter, Alt+key (sent as Esc and the key), and the escape sequences of
// the arrows, Home, End, Insert, Delete, PageUp, PageDown and F1-F12 with
// their modifiers. With `protocol` set, the keyboard protocol's key events
// (CSI ... u with event types) as presses, repeats and releases. Replies to
// the runner's queries (CSI ? ... and CSI > ...) are no keys.
class TerminalDecoder {
  public:
    // Decodes what it can; an escape sequence cut short is kept for the next call.
    std::vector<TypedKey> Feed(std::string_view bytes);
    // Decodes what was kept as it stands (a lone Esc is the Esc key).
    std::vector<TypedKey> Flush();
    bool Pending() const { return !pending_.empty(); }
    bool protocol = false;

  private:
    std::vector<TypedKey> Decode(bool final);
    size_t Escape(size_t i, bool final, std::vector<TypedKey>& out) const;
    size_t Csi(size_t i, bool final, std::vector<TypedKey>& out) const;
    static std::optional<TypedKey> ProtocolKey(std::string_view params, char final);
    std::string pending_;
};

// Whether a terminal's answer to "CSI ? u" followed by "CSI c" holds the
// keyboard protocol's reply: "yes", "no" (the device attributes came alone),
// or "unknown" (no full answer yet). `rest` gets the bytes that were no part
// of an answer (keys typed meanwhile).
enum class ProtocolAnswer { Yes, No, Unknown };
ProtocolAnswer ParseProtocolAnswer(std::string_view bytes, std::string& rest);

// Runs the job's device on the terminal until the tool exits. Returns the
// exit status. With `out` a terminal (`out_is_terminal`), the screen is drawn
// there and the last screen, the events and the exit are printed afterwards;
// otherwise the screen is drawn on the controlling terminal and the
// transcript, in `format`, goes to `out` as the run goes.
int RunInteractive(const Job& job, std::ostream& out, std::ostream& errors, bool out_is_terminal,
                   Format format = Format::Text);

} // namespace runner
