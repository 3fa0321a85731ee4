// A good cabinet of a movie and its thumbnail, and the same cabinet damaged in the ways
// a broken or hostile server could send it. The test suite checks each of them, and
// fuzz/make_cabinet_seeds writes them out as seeds for the cabinet fuzz target.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "CabinetBuilder.h"

struct DamagedCabinet {
    const char* name;
    // What the update job must make of it: 'A' the movie and thumbnail as packed,
    // 'R' refused, '?' either (both are sound).
    char expect;
    std::string bytes;
};

inline std::string SampleMovie() {
    std::string movie;
    for (int i = 0; i < 300; ++i) movie += static_cast<char>('a' + i % 26);
    return movie;
}

inline std::string SampleThumbnail() { return std::string("\xFF\xD8\xFF\xE0 thumbnail \xFF\xD9", 16); }

inline std::vector<DamagedCabinet> DamagedCabinets() {
    const std::string movie = SampleMovie(), thumb = SampleThumbnail();
    const std::string good = BuildCabinet({{"movie.asf", movie}, {"thumb.jpg", thumb}});
    // Where the fields lie in `good`: the header's, the folder entry, the two file
    // entries (sizes, offset, folder index, date, time, attributes, name) and the block.
    const size_t coffFiles = 16, cFolders = 26, cFiles = 28, flags = 30;
    const size_t folder = 36, file1 = 44, file2 = file1 + 16 + 10, block = file2 + 16 + 10;
    auto put16 = [](std::string s, size_t at, uint32_t v) {
        const char bytes[2] = {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)};
        return s.replace(at, 2, bytes, 2);
    };
    auto put32 = [&](std::string s, size_t at, uint32_t v) { return put16(put16(s, at, v & 0xFFFF), at + 2, v >> 16); };
    auto rename = [](std::string s, size_t file, const char* name) { return s.replace(file + 16, 9, name); };
    const uint32_t packed = static_cast<uint32_t>(movie.size() + thumb.size());

    // A second folder entry over the same data block, holding the thumbnail.
    std::string twoFolders = good;
    twoFolders.insert(folder + 8, good, folder, 8);
    twoFolders = put16(twoFolders, cFolders, 2);
    twoFolders = put32(twoFolders, coffFiles, file1 + 8);
    twoFolders = put32(twoFolders, folder, block + 8);
    twoFolders = put32(twoFolders, folder + 8, block + 8);
    twoFolders = put16(twoFolders, file2 + 8 + 8, 1);
    twoFolders = put32(twoFolders, 8, static_cast<uint32_t>(twoFolders.size()));

    // The file table moved behind the data block.
    std::string filesLast = good.substr(0, file1) + good.substr(block) + good.substr(file1, block - file1);
    filesLast = put32(filesLast, coffFiles, static_cast<uint32_t>(good.size() - (block - file1)));
    filesLast = put32(filesLast, folder, file1);

    return {
        {"good", 'A', good},
        {"cut-in-data", 'R', good.substr(0, good.size() - 5)},
        {"cut-in-file-table", 'R', good.substr(0, file2 + 8)},
        {"member-beyond-data", 'R', put32(good, file2 + 4, packed + 1)},
        {"member-longer-than-data", 'R', put32(good, file2, static_cast<uint32_t>(thumb.size()) + 1)},
        {"member-size-huge", 'R', put32(good, file1, 0xFFFFFFFF)},
        {"member-offset-wraps", 'R', put32(put32(good, file2 + 4, 0xFFFFFFF0), file2, 0x20)},
        {"overlapping-folders", '?', twoFolders},
        // The file table where the header says, but not after the folder table.
        {"file-table-after-data", '?', filesLast},
        // The header's offset of the file table pointing elsewhere.
        {"file-table-offset-in-header", '?', put32(good, coffFiles, 0)},
        {"file-table-offset-in-data", '?', put32(good, coffFiles, block + 8)},
        {"file-table-offset-past-end", '?', put32(good, coffFiles, static_cast<uint32_t>(good.size()) + 64)},
        {"more-files-than-table", 'R', put16(good, cFiles, 3)},
        {"no-folder", 'R', put16(good, cFolders, 0)},
        {"folder-index-out-of-range", 'R', put16(good, file1 + 8, 5)},
        {"continued-from-previous", 'R', put16(good, file1 + 8, 0xFFFD)},
        {"no-data-block", 'R', put16(good, folder + 4, 0)},
        {"block-count-huge", '?', put16(good, folder + 4, 0xFFFF)},
        {"block-longer-than-cabinet", 'R', put16(good, block + 4, 0xFFFF)},
        {"block-unpacks-short", '?', put16(good, block + 6, packed - 1)},
        {"unknown-compression", 'R', put16(good, folder + 6, 0x000F)},
        {"bad-checksum", 'R', put32(good, block, 0x12345678)},
        {"reserve-flag-without-sizes", 'R', put16(good, flags, 0x0004)},
        {"previous-cabinet-flag", 'R', put16(good, flags, 0x0001)},
        {"same-name-twice", 'R', rename(good, file2, "movie.asf")},
        {"two-movies", 'R', rename(good, file2, "thumb.wmv")},
        {"two-thumbnails", 'R', rename(good, file1, "movie.jpg")},
        {"thumbnail-in-capitals", 'A', rename(good, file2, "thumb.JPG")},
    };
}
