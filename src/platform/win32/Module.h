// The module our code lives in (the DLL, or the test program that links the core), and
// the threads that run its code.
#pragma once
#include <windows.h>

namespace platform {

inline HMODULE ThisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&ThisModule), &module);
    return module;
}

// A thread of the library's own. It holds no reference on the DLL while it works, so the
// host's FreeLibrary is the last one and ends the library at once, update or not; it is
// listed from its creation to its end, which is FreeLibraryAndExitThread (see
// EndLibraryThreads). The handle is the caller's.
HANDLE StartLibraryThread(LPTHREAD_START_ROUTINE body, void* param);

}  // namespace platform
