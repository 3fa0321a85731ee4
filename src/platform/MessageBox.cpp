// The presenter in use: the system's own unless a test or tool has set one.
#include "platform/MessageBox.h"

#include <mutex>

namespace platform {
namespace {

std::mutex& Lock() {
    static std::mutex lock;
    return lock;
}
MessagePresenter& Current() {
    // Never destroyed: a thread may outlive the library's end.
    static auto* presenter = new MessagePresenter;
    return *presenter;
}
// Built before theApp, so destroyed after it: its end joins a worker that uses them.
struct BuiltFirst {
    BuiltFirst() { Lock(); Current(); }
} builtFirst __attribute__((init_priority(101)));

}  // namespace

void PresentMessage(unsigned id, unsigned type, const std::string& text) {
    MessagePresenter presenter;
    {
        std::lock_guard<std::mutex> hold(Lock());
        presenter = Current();
    }
    if (presenter) presenter(id, type, text);
    else PresentWithSystem(id, type, text);
}

MessagePresenter SetMessagePresenter(MessagePresenter presenter) {
    std::lock_guard<std::mutex> hold(Lock());
    MessagePresenter old = std::move(Current());
    Current() = std::move(presenter);
    return old;
}

}  // namespace platform
