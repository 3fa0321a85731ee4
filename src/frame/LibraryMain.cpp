// The library's load hook: theApp starts when the host loads us; it ends with the
// destruction of theApp, which the runtime runs at unloading and at exit alike.
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

}  // namespace
