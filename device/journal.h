// journal.h - the simulated device's journal: the ordered record of the
// platform calls and messages it handled, each written out as text (windows
// by class, structures field by field), so that a test can compare a whole
// call sequence as Wine's message-sequence tests do.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <string>

namespace device {

class Device;

// One entry of the journal: a platform call, a message the device itself
// sends to a window procedure (WM_CREATE, WM_SIZE, WM_COMMAND, WM_DESTROY), or
// the device's own release of a destroyed window's hot key (FreeHotKey).
struct JournalEntry {
    std::string what;    // e.g. "RegisterHotKey", "WM_DESTROY"
    HWND hwnd = nullptr; // the window the call names
    int64_t result = 0;
    std::string args;  // every argument as handed, structures field by field
    std::string shown; // the result as text; empty for a message or a note
    // "what(args) -> shown": windows by class ("<SysListView32>"), text quoted.
    std::string ToString() const;
    // Argument n (from 0) as written in `args`, a structure whole; empty
    // when the call has fewer.
    std::string Arg(size_t n) const;
};

// Writes the arguments of one journal entry: values separated by ", ",
// structures as {field=value, ...}, windows by their class, text quoted.
class JournalArgs {
  public:
    explicit JournalArgs(const Device& dev) : dev_(dev) {}
    JournalArgs& Int(int64_t v);
    JournalArgs& Hex(uint64_t v);
    JournalArgs& Wnd(HWND h);
    JournalArgs& Ptr(const void* p);                      // NULL or its address
    JournalArgs& Out(const void* p);                      // NULL or "out": a buffer the call fills
    JournalArgs& Text(const WCHAR* s, size_t max = 1024); // NULL or "text"
    JournalArgs& Char(WCHAR c);                           // 'c'
    JournalArgs& Bytes(const void* p, size_t n);          // "bytes", C escapes
    JournalArgs& Msg(UINT msg);                           // WM_ or LVM_ name, else hex
    JournalArgs& Rect(const RECT* rc);                    // {left, top, right, bottom} or NULL
    JournalArgs& Field(const char* name);                 // "name=" inside a structure
    JournalArgs& Begin();                                 // "{"
    JournalArgs& End();                                   // "}"
    JournalArgs& Raw(const std::string& text);
    std::string text;

  private:
    void Sep();
    const Device& dev_;
};

} // namespace device
