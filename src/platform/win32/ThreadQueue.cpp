// Threads with the system's message queues. Our ids are never reused, unlike the
// system's: a table maps each to the system thread while its queue is ours, so a post to
// an ended worker goes nowhere instead of to a thread that inherited its number.
#include "platform/ThreadQueue.h"

#include <windows.h>

#include <atomic>
#include <map>
#include <mutex>

#include "platform/win32/Module.h"

namespace platform {
namespace {

std::mutex& Lock() {
    static std::mutex lock;
    return lock;
}
std::map<ThreadId, DWORD>& Queues() {
    // Never destroyed: a thread may outlive the library's end (see EndLibraryThreads).
    static auto* queues = new std::map<ThreadId, DWORD>;
    return *queues;
}
// Built before theApp, so destroyed after it: its end joins a worker that uses them.
struct BuiltFirst {
    BuiltFirst() { Lock(); Queues(); }
} builtFirst __attribute__((init_priority(101)));

ThreadId NewId() {
    static std::atomic<ThreadId> next{1};
    return next.fetch_add(1);
}
thread_local ThreadId t_id = 0;

void MakeQueue(ThreadId id) {
    // The system gives a thread its queue at its first look into it.
    MSG msg;
    PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    std::lock_guard<std::mutex> hold(Lock());
    Queues()[id] = GetCurrentThreadId();
}

struct StartBlock {
    ThreadId id;
    std::function<void()> body;
    HANDLE queued;
};

DWORD WINAPI Trampoline(void* param) {
    StartBlock* start = static_cast<StartBlock*>(param);
    t_id = start->id;
    std::function<void()> body = std::move(start->body);
    MakeQueue(start->id);
    SetEvent(start->queued);  // the starter frees the block from here on
    body();
    body = nullptr;
    ReleaseThreadQueue();
    return 0;
}

class Win32Thread final : public Thread {
public:
    Win32Thread(ThreadId id, HANDLE handle, DWORD systemId) : m_id(id), m_handle(handle), m_systemId(systemId) {}
    ~Win32Thread() override {
        Join();
        if (m_handle) CloseHandle(m_handle);
    }
    ThreadId Id() const override { return m_id; }
    // After EndLibraryThreads the thread is gone, or was ended: nothing is left to wait for.
    void Join() override {
        if (m_handle && m_systemId != GetCurrentThreadId() && !LibraryEnding())
            WaitForSingleObject(m_handle, INFINITE);
    }

private:
    ThreadId m_id;
    HANDLE m_handle;
    DWORD m_systemId;
};

}  // namespace

ThreadId CurrentThreadId() {
    if (t_id == 0) t_id = NewId();
    return t_id;
}

bool PostToThread(ThreadId thread, unsigned message, uintptr_t wParam, intptr_t lParam) {
    std::lock_guard<std::mutex> hold(Lock());
    auto it = Queues().find(thread);
    return it != Queues().end() && PostThreadMessageA(it->second, message, wParam, lParam);
}

bool PeekOwnThreadMessage(unsigned& message) {
    MSG msg;
    if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) return false;
    message = msg.message;
    return true;
}

void CreateThreadQueue() { MakeQueue(CurrentThreadId()); }

void ReleaseThreadQueue() {
    std::lock_guard<std::mutex> hold(Lock());
    Queues().erase(CurrentThreadId());
}

std::unique_ptr<Thread> StartThread(std::function<void()> body) {
    HANDLE queued = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!queued) return nullptr;
    auto* start = new StartBlock{NewId(), std::move(body), queued};
    HANDLE handle = StartLibraryThread(Trampoline, start);
    if (!handle) {
        CloseHandle(queued);
        delete start;
        return nullptr;
    }
    // Its queue exists before anyone can post to it.
    WaitForSingleObject(queued, INFINITE);
    CloseHandle(queued);
    const ThreadId id = start->id;
    delete start;
    return std::make_unique<Win32Thread>(id, handle, GetThreadId(handle));
}

bool PostToWindow(void* window, unsigned message, uint32_t wParam, uint32_t lParam) {
    return PostMessageA(static_cast<HWND>(window), message, wParam, lParam);
}

void SleepMilliseconds(uint32_t ms) { Sleep(ms); }

}  // namespace platform
