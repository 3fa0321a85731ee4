#include "update/Cabinet.h"

#include <cstdio>
#include <cstring>

#include "platform/Cabinet.h"
#include "platform/Files.h"

CCabinet::CCabinet() {
    std::memset(m_szCabinetName, 0, sizeof m_szCabinetName);
    std::memset(m_szFilePath, 0, sizeof m_szFilePath);
    std::memset(m_szFolder, 0, sizeof m_szFolder);
}

bool CCabinet::IsSafeMemberName(const CString& name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (size_t i = 0; i < name.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        // The second byte of a double-byte character may be 0x5C without being a separator.
        if (IsLeadByte(c) && i + 1 < name.size()) { ++i; continue; }
        if (c == '/' || c == '\\' || c == ':' || c < 0x20) return false;
    }
    return true;
}

BOOL CCabinet::Extract(const char* cabinetPath, std::vector<CString>* names, const Naming& naming) {
    if (!cabinetPath) return FALSE;
    m_pNames = names;
    if (m_pNames) m_pNames->clear();

    platform::CabinetArchive archive;
    if (!archive.Open(cabinetPath)) return FALSE;

    const CString path = cabinetPath;
    size_t sep = FindLastSingleByte(path, platform::kPathSeparator);
    const CString folder = sep == CString::npos ? CString() : path.substr(0, sep + 1);
    const CString cabinetName = sep == CString::npos ? path : path.substr(sep + 1);
    if (folder.size() >= kPathSize || cabinetName.size() >= kPathSize) return FALSE;
    std::snprintf(m_szFolder, kPathSize, "%s", folder.c_str());
    std::snprintf(m_szCabinetName, kPathSize, "%s", cabinetName.c_str());

    // Names come from the network: check them all before the first byte is written.
    std::vector<CString> stored, chosen;
    for (const platform::CabinetMember& m : archive.Members()) {
        if (!IsSafeMemberName(m.name)) return FALSE;
        stored.push_back(m.name);
    }
    if (!naming) chosen = stored;
    else if (!naming(stored, chosen) || chosen.size() != stored.size()) return FALSE;
    for (const CString& name : chosen)
        if (!IsSafeMemberName(name) || folder.size() + name.size() >= kPathSize) return FALSE;

    for (size_t i = 0; i < chosen.size(); ++i) {
        std::snprintf(m_szFilePath, kPathSize, "%s%s", m_szFolder, chosen[i].c_str());
        // Replace what is there rather than write into it: it may be a link, or read-only.
        platform::RemoveFile(m_szFilePath);
        if (!archive.ExtractMember(i, m_szFilePath)) return FALSE;
        if (m_pNames) m_pNames->push_back(m_szFilePath);
    }
    return TRUE;
}
