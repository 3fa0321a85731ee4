#include "frame/Messages.h"

#include <atomic>

#include "frame/Exceptions.h"
#include "platform/MessageBox.h"
#include "res/StringTable.h"

namespace {
std::atomic<bool> g_suppressed{false};
}

void SetMessagesSuppressed(bool suppressed) { g_suppressed = suppressed; }

void ShowMessage(unsigned id) {
    if (g_suppressed) return;
    unsigned type = (id >= 21000 && id < 22000) ? platform::kMbOk : platform::kMbIconHand;
    platform::PresentMessage(id, type, LoadResString(id));
}

void ShowMessageAndThrow(unsigned id) {
    ShowMessage(id);
    AfxThrowUserException();
}
