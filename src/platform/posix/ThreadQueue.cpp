#include "platform/ThreadQueue.h"

#include <pthread.h>

#include <deque>
#include <map>
#include <mutex>

namespace platform {
namespace {
struct Queued {
    unsigned message;
    uintptr_t wParam;
    intptr_t lParam;
};
// Function-local, so they exist whenever the library's load hook first needs them.
std::mutex& Lock() {
    static std::mutex lock;
    return lock;
}
std::map<ThreadId, std::deque<Queued>>& Queues() {
    static std::map<ThreadId, std::deque<Queued>> queues;
    return queues;
}
}  // namespace

ThreadId CurrentThreadId() { return static_cast<ThreadId>(pthread_self()); }

bool PostToThread(ThreadId thread, unsigned message, uintptr_t wParam, intptr_t lParam) {
    std::lock_guard<std::mutex> hold(Lock());
    auto& queues = Queues();
    auto it = queues.find(thread);
    if (it == queues.end()) return false;
    it->second.push_back({message, wParam, lParam});
    return true;
}

bool PeekOwnThreadMessage(unsigned& message) {
    std::lock_guard<std::mutex> hold(Lock());
    auto& queues = Queues();
    auto it = queues.find(CurrentThreadId());
    if (it == queues.end() || it->second.empty()) return false;
    message = it->second.front().message;
    it->second.pop_front();
    return true;
}

void CreateThreadQueue() {
    std::lock_guard<std::mutex> hold(Lock());
    auto& queues = Queues();
    queues[CurrentThreadId()];
}

void ReleaseThreadQueue() {
    std::lock_guard<std::mutex> hold(Lock());
    auto& queues = Queues();
    queues.erase(CurrentThreadId());
}

}  // namespace platform
