// Nothing but the static runtime the library is linked with (C++, threads, exceptions):
// the baseline of what a DLL keeps per load and unload.
#include <windows.h>

#include <mutex>
#include <string>

namespace {
std::mutex g_lock;
std::string g_text;
}  // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        std::lock_guard<std::mutex> hold(g_lock);
        g_text.assign(64, 'x');
    }
    return TRUE;
}
