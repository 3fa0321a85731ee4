// Unpacks a downloaded cabinet into the folder it lies in: each member under its
// stored name, with its stored time and read-only attribute.
#pragma once
#include <functional>
#include <vector>

#include "frame/Afx.h"

class CCabinet {
public:
    CCabinet();
    virtual ~CCabinet() = default;
    CCabinet(const CCabinet&) = delete;
    CCabinet& operator=(const CCabinet&) = delete;

    // Given every stored name, gives the name in the folder of each member in cabinet
    // order; false refuses the cabinet. Asked before anything is written.
    using Naming = std::function<bool(const std::vector<CString>& stored, std::vector<CString>& chosen)>;

    // TRUE when every member was unpacked; `names` (if given) then lists the created
    // paths in cabinet order. A cabinet with a member name that would leave the folder,
    // or one that `naming` refuses, is refused before anything is written. Without
    // `naming` each member keeps its stored name.
    BOOL Extract(const char* cabinetPath, std::vector<CString>* names, const Naming& naming = nullptr);

    // A member name that stays inside the folder: no separator of either kind, no
    // drive, not "." or "..".
    static bool IsSafeMemberName(const CString& name);

private:
    static constexpr size_t kPathSize = 260;

    char m_szCabinetName[kPathSize];
    char m_szFilePath[kPathSize];
    char m_szFolder[kPathSize];
    std::vector<CString>* m_pNames = nullptr;
};
