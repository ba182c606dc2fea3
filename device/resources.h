// resources.h - a module's compiled resources as the simulated device loads them.
//
// The resource script (tool/tapwatcher.rc) is compiled at build time by
// tools/rcgen into a table of these records, the way a resource compiler
// produces the .res section that a Windows linker puts into the executable.
// RCDATA and MENU hold the bytes a Windows resource compiler would emit;
// strings are kept one record per string id.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

enum : uint16_t {
    RT_MENU_ID = 4,
    RT_STRING_ID = 6,
    RT_RCDATA_ID = 10,
};

struct ResData {
    uint16_t type; // RT_MENU_ID or RT_RCDATA_ID
    uint16_t id;
    uint16_t lang; // e.g. 1041
    const uint8_t* bytes;
    size_t size;
};

struct ResString {
    uint16_t id;
    uint16_t lang;
    const char16_t* text; // NUL-terminated
};

struct ModuleResources {
    const ResData* data;
    size_t ndata;
    const ResString* strings;
    size_t nstrings;
};

} // namespace sim
