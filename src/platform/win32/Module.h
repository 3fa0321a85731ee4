// The module our code lives in: the DLL, or the test program that links the core.
#pragma once
#include <windows.h>

namespace platform {

inline HMODULE ThisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&ThisModule), &module);
    return module;
}

// A reference on the DLL for a thread that runs its code, so the host's FreeLibrary
// cannot unmap it under the thread; the thread ends with FreeLibraryAndExitThread.
// Null in a program that links the code itself, which needs nothing held.
inline HMODULE HoldThisModule() {
    HMODULE self = ThisModule();
    if (!self || self == GetModuleHandleA(nullptr)) return nullptr;
    HMODULE held = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&ThisModule), &held);
    return held;
}

// The end of a thread started with HoldThisModule's reference.
inline DWORD EndHeldThread(HMODULE held) {
    if (held) FreeLibraryAndExitThread(held, 0);
    return 0;
}

}  // namespace platform
