// resources.cpp - reading a .res file: its records, a resource by type and id,
// and a string of the string table.
//
// A .res file is a run of DWORD-aligned records: DataSize and HeaderSize
// (DWORDs), TYPE and NAME (each 0xFFFF then a 16-bit ordinal, or a
// NUL-terminated UTF-16 name), padding to a DWORD, DataVersion (DWORD),
// MemoryFlags and LanguageId (WORDs), Version and Characteristics (DWORDs), and
// then DataSize bytes of data. windres begins the file with an empty record of
// type 0, which stands for no resource. The string table is stored in blocks of
// 16 strings: string `id` is number id % 16 of block (id / 16) + 1, each string a
// WORD length and that many UTF-16 units, no NUL.
//
// Choices:
//  - Lookups are by ordinal only (all the tool uses): a resource whose type or
//    name is a string is stepped over by its HeaderSize, unread.
//  - A record whose header or data runs past the end of the file, or whose
//    header is shorter than the smallest one (32 bytes), ends the reading: the
//    records before it stay usable, nothing is read out of bounds.
//  - A string is looked up in its block in the device's language when there is
//    one, like any other resource; strings of another language do not fill gaps.
#include "device/resources.h"

#include <algorithm>

namespace device {

// The little-endian WORD at `at` of `b`.
static uint16_t Le16(std::span<const uint8_t> b, size_t at) {
    return uint16_t(b[at] | b[at + 1] << 8);
}

// The little-endian DWORD at `at` of `b`.
static uint32_t Le32(std::span<const uint8_t> b, size_t at) {
    return Le16(b, at) | uint32_t(Le16(b, at + 2)) << 16;
}

std::vector<ResRecord> ReadResources(ModuleResources res) {
    std::vector<ResRecord> records;
    for (size_t at = 0; res.size() - at >= 8;) {
        size_t data_size = Le32(res, at), head_size = Le32(res, at + 4);
        if (head_size < 32 || head_size > res.size() - at ||
            data_size > res.size() - at - head_size)
            break;
        // Two ordinals (0xFFFF and the type, 0xFFFF and the name), type 0 being
        // the empty record; then the fixed fields, LanguageId at 22.
        if (Le16(res, at + 8) == 0xFFFF && Le16(res, at + 12) == 0xFFFF && Le16(res, at + 10))
            records.push_back({Le16(res, at + 10), Le16(res, at + 14), Le16(res, at + 22),
                               res.subspan(at + head_size, data_size)});
        at = std::min(res.size(), (at + head_size + data_size + 3) & ~size_t(3));
    }
    return records;
}

std::optional<std::span<const uint8_t>> FindResourceData(ModuleResources res, uint16_t type,
                                                         uint16_t id) {
    std::optional<std::span<const uint8_t>> found;
    for (const ResRecord& r : ReadResources(res))
        if (r.type == type && r.id == id) {
            if (r.lang == kDeviceLang)
                return r.data;
            if (!found)
                found = r.data;
        }
    return found;
}

std::u16string LoadResString(ModuleResources res, uint16_t id) {
    std::optional<std::span<const uint8_t>> block =
        FindResourceData(res, RT_STRING_ID, uint16_t((id >> 4) + 1));
    if (!block)
        return u"";
    size_t at = 0;
    for (int i = 0; i < (id & 15); ++i) { // past the strings before it
        if (at + 2 > block->size())
            return u"";
        at += 2 + 2 * size_t(Le16(*block, at));
    }
    if (at + 2 > block->size())
        return u"";
    size_t len = Le16(*block, at);
    if (len > (block->size() - at - 2) / 2)
        return u"";
    std::u16string text;
    for (size_t j = 0; j < len; ++j)
        text += char16_t(Le16(*block, at + 2 + 2 * j));
    return text;
}

} // namespace device
