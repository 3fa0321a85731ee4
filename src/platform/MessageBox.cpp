// The presenter in use: the system's own unless a test or tool has set one.
#include "platform/MessageBox.h"

#include <mutex>
#include <new>

namespace platform {
namespace {

std::mutex& Lock() {
    static std::mutex lock;
    return lock;
}
MessagePresenter& Current() {
    // Never destroyed: a thread may outlive the library's end. Built in the library's own
    // storage, so an unloaded library leaves no block behind on the heap.
    alignas(MessagePresenter) static unsigned char storage[sizeof(MessagePresenter)];
    static auto* presenter = new (storage) MessagePresenter;
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
