// The internet layer on WinInet in its blocking mode. Each session makes its blocking
// calls on a thread of its own while the caller waits for the call, for an abort, or for
// the answer to fall below the slowest rate we accept. An abort or a time-out closes the
// session's handles from the thread that decides it, which is how WinInet lets a blocked
// call go; the caller stops waiting at once and the session's thread ends when its call
// returns. Wine's WinInet keeps such a call blocked until its server lets it go (its idle
// time-out, or the end of a trickle): the thread then ends on its own. Bodies are read a
// piece at a time as they arrive, so a trickling body returns to us between pieces.
#include "platform/Http.h"

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/win32/Module.h"

namespace platform {
namespace {

// An exchange that receives fewer bytes than this in the idle time fails as a silent one.
constexpr uint64_t kLeastBytesPerIdle = 1024;

HttpTimeouts& Timeouts() {
    static HttpTimeouts timeouts;
    return timeouts;
}
std::mutex& TimeoutLock() {
    static std::mutex lock;
    return lock;
}
HttpTimeouts CurrentTimeouts() {
    std::lock_guard<std::mutex> hold(TimeoutLock());
    return Timeouts();
}

// Wine's WinInet waits for ever by default, and a silent server must not hold an update.
void SetTimeoutsOn(HINTERNET handle) {
    const HttpTimeouts t = CurrentTimeouts();
    DWORD connect = t.connectMs, idle = t.idleSeconds * 1000u;
    InternetSetOptionA(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof connect);
    InternetSetOptionA(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &idle, sizeof idle);
    InternetSetOptionA(handle, INTERNET_OPTION_SEND_TIMEOUT, &idle, sizeof idle);
}

std::string SystemErrorText(DWORD code) {
    char* text = nullptr;
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_HMODULE |
                        FORMAT_MESSAGE_FROM_SYSTEM;
    const DWORD n = FormatMessageA(flags, GetModuleHandleA("wininet.dll"), code, 0, reinterpret_cast<char*>(&text),
                                   0, nullptr);
    std::string out = n && text ? std::string(text, n) : "error " + std::to_string(code);
    if (text) LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) out.pop_back();
    return out;
}

class Exchange;
// The exchanges whose threads are inside a call, by system thread: the status callback
// runs on the thread that makes the call. Never destroyed: a call may return after the
// library's end.
std::mutex& CallingLock() {
    static auto* lock = new std::mutex;
    return *lock;
}
std::map<DWORD, Exchange*>& Calling() {
    static auto* calling = new std::map<DWORD, Exchange*>;
    return *calling;
}
void CALLBACK OnStatus(HINTERNET, DWORD_PTR, DWORD status, LPVOID, DWORD);

// One session's handles and the thread that makes its blocking calls.
class Exchange {
public:
    explicit Exchange(ThreadId owner) : m_owner(owner), m_idleMs(CurrentTimeouts().idleSeconds * 1000u) {
        m_abort = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        m_jobReady = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        m_jobDone = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    ~Exchange() {
        for (HANDLE h : {m_abort, m_jobReady, m_jobDone})
            if (h) CloseHandle(h);
    }

    ThreadId Owner() const { return m_owner; }

    // The handles, set on the caller's thread while no call runs; an abort or a time-out
    // closes them from its own thread and leaves null.
    HINTERNET Handle(HINTERNET Exchange::*which) const {
        std::lock_guard<std::mutex> hold(m_lock);
        return this->*which;
    }
    void SetHandle(HINTERNET Exchange::*which, HINTERNET handle) {
        std::lock_guard<std::mutex> hold(m_lock);
        this->*which = handle;
    }
    HINTERNET session = nullptr, connection = nullptr, request = nullptr;

    // Runs job with the request handle on the exchange's thread: 0 once it ran, else
    // why it did not finish (the abort, or too few bytes in the idle time).
    DWORD Run(const std::shared_ptr<Exchange>& self, std::function<void(HINTERNET)> job) {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            if (m_failure) return m_failure;
            if (!request) return ERROR_INTERNET_OPERATION_CANCELLED;
            if (!m_thread && !StartThread(self)) return ERROR_NOT_ENOUGH_MEMORY;
            m_job = std::move(job);
            m_jobRequest = request;
            m_running = true;
            if (!m_clockStarted) Mark(GetTickCount());
            m_clockStarted = true;
        }
        SetEvent(m_jobReady);
        HANDLE events[2] = {m_jobDone, m_abort};
        DWORD failure = 0;
        for (;;) {
            const DWORD woke = WaitForMultipleObjects(2, events, FALSE, WaitMs());
            if (woke == WAIT_OBJECT_0) break;
            std::lock_guard<std::mutex> hold(m_lock);
            if (woke == WAIT_OBJECT_0 + 1) failure = m_failure;
            else if (TooSlow()) failure = Fail(ERROR_INTERNET_TIMEOUT);
            if (!failure) continue;
            // The call may have ended as the failure came: its result stands.
            if (!m_running) {
                WaitForSingleObject(m_jobDone, 0);
                failure = 0;
            }
            break;
        }
        // The library may have ended while the call ran, whatever it gave: nothing the caller
        // would go on with is there any more, and unwinding is not to be had while the
        // library is being unloaded. The caller waits here to be ended.
        if (LibraryEnding()) ParkForLibraryEnd();
        return failure;
    }

    void Abort() {
        std::lock_guard<std::mutex> hold(m_lock);
        if (!m_failure) Fail(ERROR_INTERNET_OPERATION_CANCELLED);
    }
    bool Aborted() const {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_failure == ERROR_INTERNET_OPERATION_CANCELLED;
    }

    // On the exchange's thread, as the body arrives.
    void Received(DWORD bytes) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_received += bytes;
        if (m_received - m_markBytes >= kLeastBytesPerIdle) Mark(GetTickCount());
    }
    // A connection being made is bounded by the connect time-out, not by the rate.
    void Connecting(bool connecting) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_connecting = connecting;
        if (!connecting) Mark(GetTickCount());
    }
    // Stops the call in flight once the body is over or failed: a blocked read is not left.
    bool Stopped() const {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_failure != 0;
    }

    // Closes one handle of the chain, unless an abort has closed them all already.
    void CloseHandleOf(HINTERNET Exchange::*which) {
        std::lock_guard<std::mutex> hold(m_lock);
        CloseQuietly(this->*which);
    }

    // The session's end: the thread goes too (at once when idle, else after its call).
    void Finish() {
        std::lock_guard<std::mutex> hold(m_lock);
        m_quit = true;
        if (m_thread) {
            SetEvent(m_jobReady);
            CloseHandle(m_thread);
            m_thread = nullptr;
        }
    }

private:
    // Under m_lock. A call in flight is let go by closing its handles; otherwise their
    // owners close them. Request, connection, session: each needs the one after it.
    DWORD Fail(DWORD why) {
        m_failure = why;
        if (m_running)
            for (HINTERNET* h : {&request, &connection, &session}) CloseQuietly(*h);
        SetEvent(m_abort);
        return why;
    }
    // Nothing of the handle calls back into us once it is closed: the library may be gone.
    static void CloseQuietly(HINTERNET& handle) {
        if (!handle) return;
        InternetSetStatusCallbackA(handle, nullptr);
        InternetCloseHandle(handle);
        handle = nullptr;
    }
    void Mark(DWORD now) {
        m_mark = now;
        m_markBytes = m_received;
    }
    bool TooSlow() const {
        return !m_connecting && GetTickCount() - m_mark >= m_idleMs && m_received - m_markBytes < kLeastBytesPerIdle;
    }
    // Until the rate could next fall short; a connection being made is looked at again later.
    DWORD WaitMs() const {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_connecting) return 1000;
        const DWORD spent = GetTickCount() - m_mark;
        return spent < m_idleMs ? m_idleMs - spent : 0;
    }

    bool StartThread(const std::shared_ptr<Exchange>& self) {
        auto* start = new Start{self};
        m_thread = StartLibraryThread(ThreadMain, start);
        if (m_thread) return true;
        delete start;
        return false;
    }

    struct Start {
        std::shared_ptr<Exchange> self;
    };

    static DWORD WINAPI ThreadMain(void* param) {
        std::unique_ptr<Start> start(static_cast<Start*>(param));
        {
            std::lock_guard<std::mutex> hold(CallingLock());
            Calling()[GetCurrentThreadId()] = start->self.get();
        }
        start->self->Serve();
        std::lock_guard<std::mutex> hold(CallingLock());
        Calling().erase(GetCurrentThreadId());
        return 0;
    }

    void Serve() {
        for (;;) {
            WaitForSingleObject(m_jobReady, INFINITE);
            std::function<void(HINTERNET)> job;
            HINTERNET handle;
            {
                std::lock_guard<std::mutex> hold(m_lock);
                if (!m_running) {
                    if (m_quit) return;
                    continue;
                }
                job = std::move(m_job);
                handle = m_jobRequest;
            }
            job(handle);
            std::lock_guard<std::mutex> hold(m_lock);
            m_running = false;
            m_connecting = false;
            // Failed meanwhile: the caller has gone on without us.
            if (m_failure) return;
            SetEvent(m_jobDone);
        }
    }

    const ThreadId m_owner;
    const DWORD m_idleMs;
    mutable std::mutex m_lock;
    HANDLE m_abort, m_jobReady, m_jobDone;
    HANDLE m_thread = nullptr;
    std::function<void(HINTERNET)> m_job;
    HINTERNET m_jobRequest = nullptr;
    DWORD m_failure = 0;  // why the exchange ended early; its handles are closed then
    bool m_running = false, m_quit = false, m_connecting = false, m_clockStarted = false;
    uint64_t m_received = 0, m_markBytes = 0;
    DWORD m_mark = 0;  // when m_markBytes had arrived
};

void CALLBACK OnStatus(HINTERNET, DWORD_PTR, DWORD status, LPVOID, DWORD) {
    if (status != INTERNET_STATUS_CONNECTING_TO_SERVER && status != INTERNET_STATUS_CONNECTED_TO_SERVER) return;
    std::lock_guard<std::mutex> hold(CallingLock());
    auto it = Calling().find(GetCurrentThreadId());
    if (it != Calling().end()) it->second->Connecting(status == INTERNET_STATUS_CONNECTING_TO_SERVER);
}

// Sessions under way, by the thread that opened them.
std::mutex& ActiveLock() {
    static std::mutex lock;
    return lock;
}
std::multimap<ThreadId, std::weak_ptr<Exchange>>& Active() {
    // Never destroyed: an exchange may outlive the library's end.
    static auto* active = new std::multimap<ThreadId, std::weak_ptr<Exchange>>;
    return *active;
}
// Built before theApp, so destroyed after it: its end joins a worker that uses them.
struct BuiltFirst {
    BuiltFirst() { ActiveLock(); Active(); TimeoutLock(); Timeouts(); CallingLock(); Calling(); }
} builtFirst __attribute__((init_priority(101)));

class WinInetFile final : public HttpFile {
public:
    explicit WinInetFile(std::shared_ptr<Exchange> exchange) : m_x(std::move(exchange)) {}
    ~WinInetFile() override { Close(); }

    bool Send(const std::string& headers, const void* body, size_t length) override {
        auto state = std::make_shared<Result>();
        const std::string text(static_cast<const char*>(body), body ? length : 0);
        const DWORD failure = m_x->Run(m_x, [state, headers, text](HINTERNET request) {
            state->ok = HttpSendRequestA(request, headers.c_str(), static_cast<DWORD>(headers.size()),
                                         const_cast<char*>(text.data()), static_cast<DWORD>(text.size()));
            state->error = state->ok ? 0 : GetLastError();
        });
        return Outcome(failure, *state);
    }

    bool QueryStatusCode(uint32_t& status) override {
        HINTERNET request = m_x->Handle(&Exchange::request);
        if (m_x->Stopped() || !request) return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
        DWORD code = 0, size = sizeof code, index = 0;
        if (!HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size, &index))
            return Fail(GetLastError());
        status = code;
        return true;
    }

    int64_t ContentLength() override {
        HINTERNET request = m_x->Handle(&Exchange::request);
        if (m_x->Stopped() || !request) return -1;
        char text[32];
        DWORD size = sizeof text, index = 0;
        if (!HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, text, &size, &index)) return -1;
        char* end = nullptr;
        const long long n = std::strtoll(text, &end, 10);
        return end == text || n < 0 ? -1 : n;
    }

    int64_t Read(void* buf, size_t max) override {
        auto state = std::make_shared<Result>();
        state->bytes.resize(max);
        auto x = m_x;
        // Up to max bytes, or less where the body ends; each read takes only what has
        // arrived, so the rate is seen as it comes and an abort is not waited for.
        const DWORD failure = m_x->Run(m_x, [x, state, max](HINTERNET request) {
            size_t got = 0;
            while (got < max && !x->Stopped()) {
                DWORD ready = 0, n = 0;
                if (!InternetQueryDataAvailable(request, &ready, 0, 0) ||
                    (ready && !InternetReadFile(request, &state->bytes[got],
                                                static_cast<DWORD>(std::min<size_t>(ready, max - got)), &n))) {
                    state->error = GetLastError();
                    return;
                }
                if (n == 0) break;
                got += n;
                x->Received(n);
            }
            state->ok = true;
            state->bytes.resize(got);
        });
        if (!Outcome(failure, *state)) return -1;
        std::memcpy(buf, state->bytes.data(), state->bytes.size());
        return static_cast<int64_t>(state->bytes.size());
    }

    bool Aborted() const override { return m_x->Aborted(); }
    uint32_t ErrorCode() const override { return m_error; }
    std::string ErrorText() const override { return SystemErrorText(m_error); }
    void Close() override { m_x->CloseHandleOf(&Exchange::request); }

private:
    struct Result {
        bool ok = false;
        DWORD error = 0;
        std::vector<char> bytes;
    };
    bool Outcome(DWORD failure, const Result& r) {
        if (failure) return Fail(failure);
        return r.ok || Fail(r.error);
    }
    bool Fail(DWORD error) {
        m_error = error;
        return false;
    }

    std::shared_ptr<Exchange> m_x;
    DWORD m_error = 0;
};

class WinInetConnection final : public HttpConnection {
public:
    explicit WinInetConnection(std::shared_ptr<Exchange> exchange) : m_x(std::move(exchange)) {}
    ~WinInetConnection() override { Close(); }
    std::unique_ptr<HttpFile> OpenRequest(const char* verb, const std::string& object,
                                          const std::string& referrer) override {
        HINTERNET connection = m_x->Handle(&Exchange::connection);
        if (!connection || m_x->Handle(&Exchange::request)) return nullptr;
        HINTERNET request = HttpOpenRequestA(connection, verb, object.c_str(), nullptr,
                                             referrer.empty() ? nullptr : referrer.c_str(), nullptr,
                                             INTERNET_FLAG_EXISTING_CONNECT, 1);
        if (!request) return nullptr;
        SetTimeoutsOn(request);
        m_x->SetHandle(&Exchange::request, request);
        return std::make_unique<WinInetFile>(m_x);
    }
    void Close() override { m_x->CloseHandleOf(&Exchange::connection); }

private:
    std::shared_ptr<Exchange> m_x;
};

class WinInetSession final : public HttpSession {
public:
    explicit WinInetSession(std::shared_ptr<Exchange> exchange) : m_x(std::move(exchange)) {
        std::lock_guard<std::mutex> hold(ActiveLock());
        Active().emplace(m_x->Owner(), m_x);
    }
    ~WinInetSession() override { Close(); }
    std::unique_ptr<HttpConnection> Connect(const std::string& server, uint16_t port) override {
        HINTERNET session = m_x->Handle(&Exchange::session);
        if (!session || m_x->Handle(&Exchange::connection)) return nullptr;
        HINTERNET connection = InternetConnectA(session, server.c_str(), port, nullptr, nullptr,
                                                INTERNET_SERVICE_HTTP, 0, 0);
        if (!connection) return nullptr;
        m_x->SetHandle(&Exchange::connection, connection);
        return std::make_unique<WinInetConnection>(m_x);
    }
    void Close() override {
        {
            std::lock_guard<std::mutex> hold(ActiveLock());
            auto range = Active().equal_range(m_x->Owner());
            for (auto it = range.first; it != range.second;) {
                auto held = it->second.lock();
                it = !held || held == m_x ? Active().erase(it) : std::next(it);
            }
        }
        m_x->CloseHandleOf(&Exchange::session);
        m_x->Finish();
    }

private:
    std::shared_ptr<Exchange> m_x;
};

uint32_t ServiceOf(INTERNET_SCHEME scheme) {
    switch (scheme) {
    case INTERNET_SCHEME_HTTP: return kInetServiceHttp;
    case INTERNET_SCHEME_HTTPS: return kInetServiceHttps;
    case INTERNET_SCHEME_FTP: return kInetServiceFtp;
    case INTERNET_SCHEME_GOPHER: return kInetServiceGopher;
    case INTERNET_SCHEME_FILE: return kInetServiceFile;
    default: return kInetServiceUnknown;
    }
}

}  // namespace

bool ParseUrl(const std::string& url, UrlParts& parts) {
    if (url.empty() || url.size() >= INTERNET_MAX_URL_LENGTH) return false;
    std::vector<char> host(INTERNET_MAX_HOST_NAME_LENGTH + 1), path(INTERNET_MAX_URL_LENGTH),
        extra(INTERNET_MAX_URL_LENGTH);
    URL_COMPONENTSA c = {};
    c.dwStructSize = sizeof c;
    c.lpszHostName = host.data();
    c.dwHostNameLength = static_cast<DWORD>(host.size());
    c.lpszUrlPath = path.data();
    c.dwUrlPathLength = static_cast<DWORD>(path.size());
    c.lpszExtraInfo = extra.data();
    c.dwExtraInfoLength = static_cast<DWORD>(extra.size());
    if (!InternetCrackUrlA(url.c_str(), static_cast<DWORD>(url.size()), 0, &c)) return false;
    UrlParts out;
    out.service = ServiceOf(c.nScheme);
    out.server.assign(host.data(), c.dwHostNameLength);
    if (out.server.size() > 2 && out.server.front() == '[' && out.server.back() == ']')
        out.server = out.server.substr(1, out.server.size() - 2);
    out.object = std::string(path.data(), c.dwUrlPathLength) + std::string(extra.data(), c.dwExtraInfoLength);
    if (out.object.empty() || out.object[0] != '/') out.object.insert(0, "/");
    out.port = c.nPort;
    if (out.server.empty() && out.service == kInetServiceHttp) return false;
    parts = out;
    return true;
}

HttpTimeouts SetHttpTimeouts(const HttpTimeouts& timeouts) {
    std::lock_guard<std::mutex> hold(TimeoutLock());
    HttpTimeouts old = Timeouts();
    Timeouts() = timeouts;
    return old;
}

void AbortHttpExchanges(ThreadId thread) {
    std::lock_guard<std::mutex> hold(ActiveLock());
    auto range = Active().equal_range(thread);
    for (auto it = range.first; it != range.second; ++it)
        if (auto x = it->second.lock()) x->Abort();
}

void ReleaseHttpThreadState() {}

std::unique_ptr<HttpSession> OpenHttpSession(const std::string& agent) {
    auto x = std::make_shared<Exchange>(CurrentThreadId());
    HINTERNET session = InternetOpenA(agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (!session) return nullptr;
    SetTimeoutsOn(session);
    InternetSetStatusCallbackA(session, OnStatus);
    x->SetHandle(&Exchange::session, session);
    return std::make_unique<WinInetSession>(x);
}

}  // namespace platform
