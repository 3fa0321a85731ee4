// DllMain: theApp starts when the host loads the DLL. At FreeLibrary the library ends
// its running work first; at process exit the other threads are gone already and the
// runtime's destruction of theApp is all that is left.
#include <windows.h>

#include <initializer_list>

#include "frame/LibraryMain.h"

// The C++ runtime's reserve for exceptions thrown when memory runs out: a block of some
// 75 KiB that the runtime never frees, so each load of the DLL would keep one.
namespace __gnu_cxx {
void __freeres() noexcept;
}
#include "platform/win32/Module.h"

namespace {
// Plain data, kept by an image that a thread of the last instance still holds mapped:
// such an image is not started again (its statics were destroyed at its end); a later
// load, once that thread has let it go, gets a fresh one.
bool g_ended = false, g_refused = false;
}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    switch (reason) {
    case DLL_PROCESS_ATTACH: {
        if (g_ended) {
            g_refused = true;
            SetLastError(ERROR_DLL_INIT_FAILED);
            return FALSE;
        }
        // What we load goes with us at FreeLibrary, even while our image stays mapped for a
        // thread that outlives the library's end: the progress bar's class lives in comctl32,
        // and an exchange blocked on a silent server returns into wininet.
        for (const char* name : {"comctl32.dll", "wininet.dll"}) {
            HMODULE pinned = nullptr;
            GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_PIN, name, &pinned);
        }
        LibraryAttach();
        break;
    }
    case DLL_PROCESS_DETACH:
        if (!reserved && !g_refused) LibraryDetach();
        g_ended = true;
        // A thread the end left blocked in the internet layer leaves without throwing.
        if (!reserved) __gnu_cxx::__freeres();
        break;
    default:
        break;
    }
    return TRUE;
}
