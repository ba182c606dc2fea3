// terminal.h - the interactive device: keys typed on a terminal drive the
// device on a real-time clock, and its screen is redrawn in place.
#pragma once

#include "cli/sim/job.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace runner {

// One key as the terminal reported it. A terminal reports no releases, so
// each typed key becomes presses of `keys` in order (modifiers first, the key
// last) and releases in reverse order, as `type` does.
struct TypedKey {
    enum Kind {
        Keys,  // goes to the device
        Exit,  // Ctrl-X: tap the menu bar's "Exit"; the device never sees it
        Clear, // Ctrl-L: tap the menu bar's "Clear"; the device never sees it
        Leave, // Ctrl-C, or the end of input: the shell closes the tool
    } kind = Keys;
    std::vector<uint8_t> keys;
    bool operator==(const TypedKey& o) const { return kind == o.kind && keys == o.keys; }
};

// Turns the bytes a terminal sends into keys: letters, digits and symbols (US
// layout, Shift added where the symbol needs it), Enter, Tab, Backspace, Esc,
// Ctrl+letter, Alt+key (sent as Esc and the key), and the escape sequences of
// the arrows, Home, End, Insert, Delete, PageUp, PageDown and F1-F12 with
// their modifiers.
class TerminalDecoder {
  public:
    // Decodes what it can; an escape sequence cut short is kept for the next call.
    std::vector<TypedKey> Feed(std::string_view bytes);
    // Decodes what was kept as it stands (a lone Esc is the Esc key).
    std::vector<TypedKey> Flush();
    bool Pending() const { return !pending_.empty(); }

  private:
    std::vector<TypedKey> Decode(bool final);
    std::string pending_;
};

// Runs the job's device on the terminal until the tool exits. Returns the
// exit status; the last screen and the exit are printed to `out` afterwards.
int RunInteractive(const Job& job, std::ostream& out, std::ostream& errors);

} // namespace runner
