// The library's first and last moments, called by the backend's entry point (a load hook,
// or DllMain). theApp itself ends with its destruction, which the runtime runs at
// unloading and at exit alike.
#include "frame/LibraryMain.h"

#include "frame/App.h"
#include "frame/Messages.h"

void LibraryAttach() {
    // Nobody could answer a box while the host is still loading us; a failed upgrade
    // save is reported by the next change instead.
    SetMessagesSuppressed(true);
    theApp.InitInstance();
    SetMessagesSuppressed(false);
}

void LibraryDetach() { theApp.ExitInstance(); }
