// The library's own texts are code page 932 bytes whatever the system's code page is:
// they reach the screen through the wide functions, converted from 932, so that every
// system with a Japanese font shows them alike. Texts from the host, the servers and the
// system itself are in the system's code page (CP_ACP).
#pragma once
#include <windows.h>

#include <string>

namespace platform {

constexpr UINT kLibraryCodePage = 932;

inline std::wstring Widen(const std::string& text, UINT codePage) {
    if (text.empty()) return std::wstring();
    const int n = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) return std::wstring(text.begin(), text.end());
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
    return wide;
}

}  // namespace platform
