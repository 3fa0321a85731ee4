// The load hook: theApp starts when the host loads us and ends with its destruction.
#include "frame/LibraryMain.h"

namespace {
__attribute__((constructor)) void OnLoad() { LibraryAttach(); }
}  // namespace
