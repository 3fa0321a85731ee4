// The library's first and last moments, called by the backend's entry point (a load hook,
// or DllMain). theApp itself ends with its destruction, which the runtime runs at
// unloading and at exit alike.
#include "frame/LibraryMain.h"

#include "frame/App.h"
#include "frame/Messages.h"
#include "platform/CatalogLock.h"

void LibraryAttach() {
    // Nobody could answer a box while the host is still loading us; a failed upgrade
    // save is reported by the next change instead. The system's loader lock is held:
    // another program's hold on the catalogue is waited for only briefly.
    SetMessagesSuppressed(true);
    platform::CatalogLock::BoundWaits(true);
    theApp.InitInstance();
    platform::CatalogLock::BoundWaits(false);
    SetMessagesSuppressed(false);
}

// Nothing of the library may reach the host once FreeLibrary has returned.
void LibraryDetach() {
    SetMessagesSuppressed(true);
    // A worker storing its last ad must not wait on another program's catalogue lock
    // for ever while the host waits for us.
    platform::CatalogLock::BoundWaits(true);
    theApp.ExitInstance();
}
