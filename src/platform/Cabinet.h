// Cabinet archives: the check that a file is one, the list of its members with what is
// stored for each, and the unpacking of one member to a path of our choosing.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// Attribute bits a cabinet stores that an unpacked file keeps; the others are dropped.
enum : uint32_t {
    kCabinetReadOnly = 0x01,
    kCabinetHidden = 0x02,
    kCabinetSystem = 0x04,
    kCabinetArchive = 0x20,
    kCabinetKeptAttributes = 0x27,
};

struct CabinetMember {
    std::string name;  // as stored, bytes in the system's code page
    int year = 1980, month = 1, day = 1, hour = 0, minute = 0, second = 0;  // stored, local time
    uint32_t attributes = 0;
};

class CabinetArchive {
public:
    CabinetArchive();
    ~CabinetArchive();
    CabinetArchive(const CabinetArchive&) = delete;
    CabinetArchive& operator=(const CabinetArchive&) = delete;

    // False when the file cannot be read or is not a cabinet.
    bool Open(const std::string& path);
    const std::vector<CabinetMember>& Members() const { return m_members; }
    // Writes member `index` to `path`, creating or emptying it, and gives the file the
    // member's stored time (local time) and the stored attributes the system keeps:
    // read-only, and where the system has them hidden, system and archive.
    bool ExtractMember(size_t index, const std::string& path);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
    std::vector<CabinetMember> m_members;
};

}  // namespace platform
