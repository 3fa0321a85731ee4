// Cabinets built byte by byte, so that names, attributes and every field of the format
// can be anything a server might send.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct CabinetEntry {
    std::string name;
    std::string data;
    uint16_t attributes = 0x20;
};

// An uncompressed cabinet with one folder and one data block. Stored time: 2001-02-03
// 04:05:06. Layout: header (36 bytes), folder entry (8), file entries, data block.
inline std::string BuildCabinet(const std::vector<CabinetEntry>& members) {
    auto u16 = [](std::string& s, uint16_t v) { s += char(v & 0xFF); s += char(v >> 8); };
    auto u32 = [&](std::string& s, uint32_t v) { u16(s, uint16_t(v & 0xFFFF)); u16(s, uint16_t(v >> 16)); };
    std::string files, data;
    for (const CabinetEntry& m : members) {
        u32(files, uint32_t(m.data.size()));
        u32(files, uint32_t(data.size()));
        u16(files, 0);
        u16(files, uint16_t(((2001 - 1980) << 9) | (2 << 5) | 3));
        u16(files, uint16_t((4 << 11) | (5 << 5) | (6 / 2)));
        u16(files, m.attributes);
        files += m.name;
        files += '\0';
        data += m.data;
    }
    const uint32_t header = 36, folder = 8, filesAt = header + folder, dataAt = filesAt + uint32_t(files.size());
    const uint32_t total = dataAt + 8 + uint32_t(data.size());
    std::string cab = "MSCF";
    u32(cab, 0); u32(cab, total); u32(cab, 0); u32(cab, filesAt); u32(cab, 0);
    cab += char(3); cab += char(1);
    u16(cab, 1); u16(cab, uint16_t(members.size())); u16(cab, 0); u16(cab, 0); u16(cab, 0);
    u32(cab, dataAt); u16(cab, 1); u16(cab, 0);
    cab += files;
    u32(cab, 0); u16(cab, uint16_t(data.size())); u16(cab, uint16_t(data.size()));
    cab += data;
    return cab;
}
