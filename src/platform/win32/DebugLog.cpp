// The developer's trail on Windows: FLB_DEBUG_LOG in the environment names the file, and
// each line is one append, so lines of two threads or processes never interleave.
#include "platform/DebugLog.h"

#include <windows.h>

namespace platform {

void DebugLog(const std::string& line) {
    char file[MAX_PATH];
    const DWORD n = GetEnvironmentVariableA("FLB_DEBUG_LOG", file, sizeof file);
    if (n == 0 || n >= sizeof file) return;
    HANDLE h = CreateFileA(file, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    std::string whole;
    whole.reserve(line.size() + 2);
    for (char c : line) whole += (c == '\n' || c == '\r') ? ' ' : c;
    whole += "\r\n";
    DWORD written = 0;
    WriteFile(h, whole.data(), static_cast<DWORD>(whole.size()), &written, nullptr);
    CloseHandle(h);
}

}  // namespace platform
