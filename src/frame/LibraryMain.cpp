// The library's load and unload hooks: theApp starts when the host loads us.
#include "frame/App.h"
#include "frame/Messages.h"

namespace {

__attribute__((constructor)) void OnLoad() {
    // Nobody could answer a box while the host is still loading us; a failed upgrade
    // save is reported by the next change instead.
    SetMessagesSuppressed(true);
    theApp.InitInstance();
    SetMessagesSuppressed(false);
}

__attribute__((destructor)) void OnUnload() { theApp.ExitInstance(); }

}  // namespace
