#include "platform/ThreadQueue.h"

#include "platform/DebugLog.h"
#include "platform/posix/MessageWait.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

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
// Built before theApp, so destroyed after it: its end joins a worker that uses them.
struct BuiltFirst {
    BuiltFirst() { Lock(); Queues(); }
} builtFirst __attribute__((init_priority(101)));

ThreadId NewId() {
    static std::atomic<ThreadId> next{1};
    return next.fetch_add(1);
}
thread_local ThreadId t_id = 0;

void CreateQueue(ThreadId id) {
    std::lock_guard<std::mutex> hold(Lock());
    Queues()[id];
}

class PosixThread final : public Thread {
public:
    explicit PosixThread(ThreadId id) : m_id(id) {}
    ~PosixThread() override {
        // A thread that is never joined would run on in a library that may be unloaded.
        if (m_thread.joinable()) m_thread.join();
    }
    bool Start(std::function<void()> body) {
        try {
            m_thread = std::thread([id = m_id, body = std::move(body)] {
                t_id = id;
                body();
                ReleaseThreadQueue();
            });
        } catch (const std::system_error&) {
            return false;
        }
        return true;
    }
    ThreadId Id() const override { return m_id; }
    void Join() override {
        if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
    }

private:
    ThreadId m_id;
    std::thread m_thread;
};
}  // namespace

ThreadId CurrentThreadId() {
    if (t_id == 0) t_id = NewId();
    return t_id;
}

bool PostToThread(ThreadId thread, unsigned message, uintptr_t wParam, intptr_t lParam) {
    std::lock_guard<std::mutex> hold(Lock());
    auto& queues = Queues();
    auto it = queues.find(thread);
    if (it == queues.end()) return false;
    it->second.push_back({message, wParam, lParam});
    return true;
}

bool PeekOwnThreadMessage(unsigned& message) {
    const ThreadId self = CurrentThreadId();
    std::lock_guard<std::mutex> hold(Lock());
    auto& queues = Queues();
    auto it = queues.find(self);
    if (it == queues.end() || it->second.empty()) return false;
    message = it->second.front().message;
    it->second.pop_front();
    return true;
}

void CreateThreadQueue() { CreateQueue(CurrentThreadId()); }

void ReleaseThreadQueue() {
    const ThreadId self = CurrentThreadId();
    std::lock_guard<std::mutex> hold(Lock());
    Queues().erase(self);
}

std::unique_ptr<Thread> StartThread(std::function<void()> body) {
    const ThreadId id = NewId();
    CreateQueue(id);
    auto thread = std::make_unique<PosixThread>(id);
    if (!thread->Start(std::move(body))) {
        std::lock_guard<std::mutex> hold(Lock());
        Queues().erase(id);
        return nullptr;
    }
    return thread;
}

namespace {

// One write that never waits: a host whose pipe is full, or never read, loses the
// message, as a full Windows queue refuses it. The descriptor is the host's, so its flags
// stay as they are: the record goes only where there is room for it now, which for a
// pipe means 12 bytes go in at once (only another thread of the host filling the same
// pipe between the two calls could still make it wait).
ssize_t WriteWithoutWaiting(int fd, const unsigned char* record, size_t size) {
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, 0) != 1 || !(p.revents & POLLOUT)) {
        errno = (p.revents & (POLLERR | POLLHUP)) ? EPIPE : EAGAIN;
        return -1;
    }
    if (S_ISSOCK(st.st_mode)) return send(fd, record, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    return write(fd, record, size);
}

}  // namespace

bool PostToWindow(void* window, unsigned message, uint32_t wParam, uint32_t lParam) {
    const intptr_t value = reinterpret_cast<intptr_t>(window);
    if (value < 0 || value > INT32_MAX) return false;
    const int fd = static_cast<int>(value);
    unsigned char record[12];
    const uint32_t fields[3] = {message, wParam, lParam};
    for (int f = 0; f < 3; ++f)
        for (int b = 0; b < 4; ++b) record[f * 4 + b] = static_cast<unsigned char>(fields[f] >> (8 * b));

    // A host that has closed its end must not kill the process with SIGPIPE: block it
    // here and take back the one this write may raise.
    sigset_t pipeOnly, old;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeOnly, &old);
    ssize_t n;
    do {
        n = WriteWithoutWaiting(fd, record, sizeof record);
    } while (n < 0 && errno == EINTR);
    const int error = n < 0 ? errno : 0;
    if (n < 0 && errno == EPIPE) {
        const timespec zero{0, 0};
        while (sigtimedwait(&pipeOnly, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (n == static_cast<ssize_t>(sizeof record)) return true;
    DebugLog("post\twindow=" + std::to_string(fd) + "\tmessage=" + std::to_string(message) + "\twParam=" +
             std::to_string(wParam) + "\tlParam=" + std::to_string(lParam) + "\tlost\tos_error=" + std::to_string(error));
    return false;
}

void SleepMilliseconds(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace platform

namespace platform {

void EndLibraryThreads() { AnswerOpenMessages(); }
bool LibraryEnding() { return false; }
void ParkForLibraryEnd() {}

}  // namespace platform
