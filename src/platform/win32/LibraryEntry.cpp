// DllMain: theApp starts when the host loads the DLL. At FreeLibrary the library ends
// its running work first; at process exit the other threads are gone already and the
// runtime's destruction of theApp is all that is left.
#include <windows.h>

#include "frame/LibraryMain.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        LibraryAttach();
        break;
    case DLL_PROCESS_DETACH:
        if (!reserved) LibraryDetach();
        break;
    default:
        break;
    }
    return TRUE;
}
