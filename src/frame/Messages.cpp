#include "frame/Messages.h"

#include <atomic>

#include "frame/Exceptions.h"
#include "platform/MessageBox.h"
#include "res/StringTable.h"

namespace {
std::atomic<bool> g_suppressed{false};
thread_local void (*t_before)(void*) = nullptr;
thread_local void* t_context = nullptr;
}  // namespace

void SetMessagesSuppressed(bool suppressed) { g_suppressed = suppressed; }

CBoxPreamble::CBoxPreamble(void (*before)(void*), void* context) {
    t_before = before;
    t_context = context;
}
CBoxPreamble::~CBoxPreamble() { t_before = nullptr; }

void ShowMessage(unsigned id) {
    if (g_suppressed) return;
    if (t_before) t_before(t_context);
    unsigned type = (id >= 21000 && id < 22000) ? platform::kMbOk : platform::kMbIconHand;
    platform::PresentMessage(id, type, LoadResString(id));
}

void ShowMessageAndThrow(unsigned id) {
    ShowMessage(id);
    AfxThrowUserException();
}
