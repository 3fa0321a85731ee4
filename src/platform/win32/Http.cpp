// The internet layer on WinInet in its blocking mode. A blocking call can be left only
// by its server: closing its handle from another thread waits for it in Wine. So each
// session makes its blocking calls on a thread of its own while the caller waits for
// the call or for AbortHttpExchanges, whichever comes first. A caller that stops waiting
// leaves the handles to that thread, which closes them once the call returns (at the
// latest when the idle time-out ends it) and ends; the buffers it fills are its own.
#include "platform/Http.h"

#include <windows.h>
#include <wininet.h>

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

HttpTimeouts& Timeouts() {
    static HttpTimeouts timeouts;
    return timeouts;
}
std::mutex& TimeoutLock() {
    static std::mutex lock;
    return lock;
}

// Wine's WinInet waits for ever by default, and a silent server must not hold an update.
void SetTimeoutsOn(HINTERNET handle) {
    HttpTimeouts t;
    {
        std::lock_guard<std::mutex> hold(TimeoutLock());
        t = Timeouts();
    }
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

// One session's handles and the thread that makes its blocking calls.
class Exchange {
public:
    explicit Exchange(ThreadId owner) : m_owner(owner) {
        m_abort = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        m_jobReady = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        m_jobDone = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    ~Exchange() {
        for (HANDLE h : {m_abort, m_jobReady, m_jobDone})
            if (h) CloseHandle(h);
    }

    ThreadId Owner() const { return m_owner; }
    HINTERNET session = nullptr, connection = nullptr, request = nullptr;

    // Runs job on the exchange's thread; false when the exchange was aborted first.
    bool Run(const std::shared_ptr<Exchange>& self, std::function<void()> job) {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            if (m_aborted) return false;
            if (!m_thread && !StartThread(self)) return false;
            m_job = std::move(job);
            m_running = true;
        }
        SetEvent(m_jobReady);
        HANDLE events[2] = {m_jobDone, m_abort};
        bool finished = WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0;
        if (!finished) {
            std::lock_guard<std::mutex> hold(m_lock);
            // The call may have ended as the abort came: its result stands, its signal is spent.
            finished = !m_running;
            if (finished) WaitForSingleObject(m_jobDone, 0);
            else m_abandoned = true;  // the thread closes the handles when the call returns
        }
        // The library may have ended while the call ran, whatever it gave: nothing the caller
        // would go on with is there any more, and unwinding is not to be had while the
        // library is being unloaded. The caller waits here to be ended.
        if (LibraryEnding()) ParkForLibraryEnd();
        return finished;
    }

    void Abort() {
        std::lock_guard<std::mutex> hold(m_lock);
        m_aborted = true;
        SetEvent(m_abort);
    }
    bool Aborted() const {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_aborted;
    }

    // Closes one handle of the chain, unless a call still in flight owns them all now.
    void CloseHandleOf(HINTERNET& handle) {
        std::lock_guard<std::mutex> hold(m_lock);
        if (!m_abandoned && handle) InternetCloseHandle(handle);
        if (!m_abandoned) handle = nullptr;
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
        std::unique_ptr<Start>(static_cast<Start*>(param))->self->Serve();
        return 0;
    }

    void Serve() {
        for (;;) {
            WaitForSingleObject(m_jobReady, INFINITE);
            std::function<void()> job;
            {
                std::lock_guard<std::mutex> hold(m_lock);
                if (!m_running) {
                    if (m_quit) return;
                    continue;
                }
                job = std::move(m_job);
            }
            job();
            std::lock_guard<std::mutex> hold(m_lock);
            m_running = false;
            if (m_abandoned) {
                // Request, connection, session: each needs the one after it while it closes.
                for (HINTERNET* h : {&request, &connection, &session})
                    if (*h) InternetCloseHandle(*h), *h = nullptr;
                return;
            }
            SetEvent(m_jobDone);
        }
    }

    const ThreadId m_owner;
    mutable std::mutex m_lock;
    HANDLE m_abort, m_jobReady, m_jobDone;
    HANDLE m_thread = nullptr;
    std::function<void()> m_job;
    bool m_running = false, m_aborted = false, m_abandoned = false, m_quit = false;
};

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
    BuiltFirst() { ActiveLock(); Active(); TimeoutLock(); Timeouts(); }
} builtFirst __attribute__((init_priority(101)));

class WinInetFile final : public HttpFile {
public:
    explicit WinInetFile(std::shared_ptr<Exchange> exchange) : m_x(std::move(exchange)) {}
    ~WinInetFile() override { Close(); }

    bool Send(const std::string& headers, const void* body, size_t length) override {
        auto state = std::make_shared<Result>();
        auto x = m_x;
        const std::string text(static_cast<const char*>(body), body ? length : 0);
        const bool ran = m_x->Run(m_x, [x, state, headers, text] {
            state->ok = HttpSendRequestA(x->request, headers.c_str(), static_cast<DWORD>(headers.size()),
                                         const_cast<char*>(text.data()), static_cast<DWORD>(text.size()));
            state->error = state->ok ? 0 : GetLastError();
        });
        return Outcome(ran, *state);
    }

    bool QueryStatusCode(uint32_t& status) override {
        if (m_x->Aborted() || !m_x->request) return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
        DWORD code = 0, size = sizeof code, index = 0;
        if (!HttpQueryInfoA(m_x->request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size, &index))
            return Fail(GetLastError());
        status = code;
        return true;
    }

    int64_t ContentLength() override {
        if (m_x->Aborted() || !m_x->request) return -1;
        char text[32];
        DWORD size = sizeof text, index = 0;
        if (!HttpQueryInfoA(m_x->request, HTTP_QUERY_CONTENT_LENGTH, text, &size, &index)) return -1;
        char* end = nullptr;
        const long long n = std::strtoll(text, &end, 10);
        return end == text || n < 0 ? -1 : n;
    }

    int64_t Read(void* buf, size_t max) override {
        auto state = std::make_shared<Result>();
        state->bytes.resize(max);
        auto x = m_x;
        // Up to max bytes, or less where the body ends.
        const bool ran = m_x->Run(m_x, [x, state, max] {
            size_t got = 0;
            while (got < max) {
                DWORD n = 0;
                if (!InternetReadFile(x->request, &state->bytes[got], static_cast<DWORD>(max - got), &n)) {
                    state->ok = false;
                    state->error = GetLastError();
                    return;
                }
                if (n == 0) break;
                got += n;
            }
            state->ok = true;
            state->bytes.resize(got);
        });
        if (!Outcome(ran, *state)) return -1;
        std::memcpy(buf, state->bytes.data(), state->bytes.size());
        return static_cast<int64_t>(state->bytes.size());
    }

    bool Aborted() const override { return m_x->Aborted(); }
    uint32_t ErrorCode() const override { return m_error; }
    std::string ErrorText() const override { return SystemErrorText(m_error); }
    void Close() override { m_x->CloseHandleOf(m_x->request); }

private:
    struct Result {
        bool ok = false;
        DWORD error = 0;
        std::vector<char> bytes;
    };
    bool Outcome(bool ran, const Result& r) {
        if (!ran) return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
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
        if (!m_x->connection || m_x->request) return nullptr;
        m_x->request = HttpOpenRequestA(m_x->connection, verb, object.c_str(), nullptr,
                                        referrer.empty() ? nullptr : referrer.c_str(), nullptr,
                                        INTERNET_FLAG_EXISTING_CONNECT, 1);
        if (!m_x->request) return nullptr;
        SetTimeoutsOn(m_x->request);
        return std::make_unique<WinInetFile>(m_x);
    }
    void Close() override { m_x->CloseHandleOf(m_x->connection); }

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
        if (!m_x->session || m_x->connection) return nullptr;
        m_x->connection = InternetConnectA(m_x->session, server.c_str(), port, nullptr, nullptr,
                                           INTERNET_SERVICE_HTTP, 0, 0);
        if (!m_x->connection) return nullptr;
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
        m_x->CloseHandleOf(m_x->session);
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
    x->session = InternetOpenA(agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (!x->session) return nullptr;
    SetTimeoutsOn(x->session);
    return std::make_unique<WinInetSession>(x);
}

}  // namespace platform
