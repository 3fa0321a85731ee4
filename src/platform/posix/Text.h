// Display conversion for the posix backend: the library's texts are code page 932 bytes.
#pragma once
#include <string>

namespace platform {
// Bytes that do not convert show as "?"; the rest of the text is kept.
std::string Cp932ToUtf8(const std::string& text);
}  // namespace platform
