// resources.h - a module's resources as the simulated device loads them.
//
// A module's resources are the bytes of a .res file: for the tool,
// tool/tapwatcher.res, which windres makes from the resource script
// (tools/regen-res.sh) and the build embeds. The device reads them the way
// FindResource and LoadString read an executable's resource section.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace device {

enum : uint16_t {
    RT_MENU_ID = 4,
    RT_STRING_ID = 6,
    RT_RCDATA_ID = 10,
};

// The device's own language, looked for first: Japanese.
constexpr uint16_t kDeviceLang = 1041;

// A module's resources: the bytes of a .res file.
using ModuleResources = std::span<const uint8_t>;

// One resource of a .res file whose type and name are ordinals.
struct ResRecord {
    uint16_t type;
    uint16_t id;
    uint16_t lang;
    std::span<const uint8_t> data;
};

// The resources of a .res file in file order, leaving out those named by a
// string; reading stops at the first malformed record.
std::vector<ResRecord> ReadResources(ModuleResources res);

// The data of resource `type`/`id`: in the device's language when the file has
// it there, else the first one; nullopt when there is none.
std::optional<std::span<const uint8_t>> FindResourceData(ModuleResources res, uint16_t type,
                                                         uint16_t id);

// String `id` of the string table, as LoadString finds it; u"" when absent.
std::u16string LoadResString(ModuleResources res, uint16_t id);

} // namespace device
