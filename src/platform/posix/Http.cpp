// The internet layer on libcurl's multi interface, driven only from inside Send and Read,
// so the caller gets control back after every chunk. A write callback feeds a buffer of
// about one chunk and pauses the transfer when it is full: an answer never piles up in
// memory ahead of the reader.
#include "platform/Http.h"

#include <curl/curl.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

namespace platform {
namespace {

constexpr auto kPartialReadAfter = std::chrono::milliseconds(250);
constexpr int kPollMs = 50;
constexpr size_t kMinBytesPerWindow = 1024;

std::mutex& TimeoutLock() {
    static std::mutex lock;
    return lock;
}
HttpTimeouts& Timeouts() {
    static HttpTimeouts timeouts;
    return timeouts;
}
// Built before theApp, so destroyed after it: its end joins a worker that uses them.
struct BuiltFirst {
    BuiltFirst() { TimeoutLock(); Timeouts(); }
} builtFirst __attribute__((init_priority(101)));

HttpTimeouts CurrentTimeouts() {
    std::lock_guard<std::mutex> hold(TimeoutLock());
    return Timeouts();
}

bool GlobalInit() {
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ready;
}

// Connections stay open between exchanges, as the system's internet layer keeps them:
// one cache for the process, which every request's handle takes its connection from.
// Built before theApp and so gone after it, as its end joins a worker that uses it.
class ConnectionPool {
public:
    ~ConnectionPool() {
        if (m_share) curl_share_cleanup(m_share);
    }
    // Null when the cache cannot be made: each request then connects anew.
    CURLSH* Share() {
        std::call_once(m_made, [this] {
            CURLSH* share = curl_share_init();
            if (!share) return;
            if (curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &ConnectionPool::Lock) != CURLSHE_OK ||
                curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &ConnectionPool::Unlock) != CURLSHE_OK ||
                curl_share_setopt(share, CURLSHOPT_USERDATA, this) != CURLSHE_OK ||
                curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT) != CURLSHE_OK) {
                curl_share_cleanup(share);
                return;
            }
            m_share = share;
        });
        return m_share;
    }

private:
    static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
        static_cast<ConnectionPool*>(user)->LockOf(data).lock();
    }
    static void Unlock(CURL*, curl_lock_data data, void* user) { static_cast<ConnectionPool*>(user)->LockOf(data).unlock(); }
    std::mutex& LockOf(curl_lock_data data) { return m_locks[data >= 0 && data < CURL_LOCK_DATA_LAST ? data : 0]; }

    std::once_flag m_made;
    CURLSH* m_share = nullptr;
    std::mutex m_locks[CURL_LOCK_DATA_LAST];
};
ConnectionPool connectionPool __attribute__((init_priority(101)));

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool StartsNoCase(const std::string& text, const char* prefix) {
    size_t n = std::strlen(prefix);
    if (text.size() < n) return false;
    for (size_t i = 0; i < n; ++i)
        if (Lower(text[i]) != Lower(prefix[i])) return false;
    return true;
}

bool ValidHost(const std::string& host) {
    for (char c : host)
        if (!IsAlpha(c) && !IsDigit(c) && c != '.' && c != '-' && c != '_') return false;
    return !host.empty();
}

bool ValidIpv6(const std::string& host) {
    for (char c : host)
        if (!IsDigit(c) && !(Lower(c) >= 'a' && Lower(c) <= 'f') && c != ':' && c != '.') return false;
    return host.find(':') != std::string::npos;
}

// Bytes that may not stand on a request line go escaped, as a browser would send them.
std::string EscapeObject(const std::string& object) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : object) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c >= 0x7F) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += ch;
        }
    }
    return out;
}

class CurlFile;

// The requests under way, by the thread that runs each, so a cancel from another thread
// can reach the one it means.
std::mutex& ActiveLock() {
    static std::mutex lock;
    return lock;
}
std::multimap<ThreadId, CurlFile*>& Active() {
    static std::multimap<ThreadId, CurlFile*> active;
    return active;
}
struct ActiveBuiltFirst {
    ActiveBuiltFirst() { ActiveLock(); Active(); }
} activeBuiltFirst __attribute__((init_priority(101)));

class CurlFile final : public HttpFile {
public:
    CurlFile(CURLM* multi, CURL* easy, bool post) : m_multi(multi), m_easy(easy), m_post(post) {
        m_error[0] = '\0';
        // From the moment it exists, not from the send: a cancel between the two must count.
        std::lock_guard<std::mutex> hold(ActiveLock());
        m_entry = Active().emplace(CurrentThreadId(), this);
    }
    ~CurlFile() override {
        Close();
        std::lock_guard<std::mutex> hold(ActiveLock());
        Active().erase(m_entry);
    }

    // From another thread: the wait in Drive wakes and gives up.
    void Abort() {
        m_aborted = true;
        if (m_multi) curl_multi_wakeup(m_multi);
    }

    bool Configure(const std::string& url, const std::string& referrer, const std::string& agent) {
        const HttpTimeouts timeouts = CurrentTimeouts();
        bool ok = true;
        auto set = [&](CURLoption option, auto value) {
            if (ok && curl_easy_setopt(m_easy, option, value) != CURLE_OK) ok = false;
        };
        set(CURLOPT_ERRORBUFFER, m_error);
        set(CURLOPT_URL, url.c_str());
        set(CURLOPT_PROTOCOLS_STR, "http");
        set(CURLOPT_PATH_AS_IS, 1L);
        set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
        set(CURLOPT_NOSIGNAL, 1L);
        set(CURLOPT_FOLLOWLOCATION, 0L);
        // The answer's bytes as they came: no content decoding.
        set(CURLOPT_HTTP_CONTENT_DECODING, 0L);
        set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeouts.connectMs));
        // Our own window ends a slow exchange first; this is only the fallback.
        set(CURLOPT_LOW_SPEED_LIMIT, 1L);
        set(CURLOPT_LOW_SPEED_TIME, static_cast<long>(timeouts.idleSeconds) + 5);
        m_window = std::chrono::seconds(timeouts.idleSeconds);
        set(CURLOPT_USERAGENT, agent.c_str());
        if (!referrer.empty()) set(CURLOPT_REFERER, referrer.c_str());
        set(CURLOPT_WRITEFUNCTION, &CurlFile::OnBody);
        set(CURLOPT_WRITEDATA, this);
        set(CURLOPT_HEADERFUNCTION, &CurlFile::OnHeader);
        set(CURLOPT_HEADERDATA, this);
        if (CURLSH* share = connectionPool.Share()) set(CURLOPT_SHARE, share);
        return ok;
    }

    bool Send(const std::string& headers, const void* body, size_t length) override {
        if (!m_easy || m_added) return Fail(CURLE_BAD_FUNCTION_ARGUMENT, "request already sent or closed");
        bool hasAccept = false;
        for (size_t at = 0; at < headers.size();) {
            size_t end = headers.find("\r\n", at);
            if (end == std::string::npos) end = headers.size();
            std::string line = headers.substr(at, end - at);
            at = end + 2;
            if (line.empty()) continue;
            if (StartsNoCase(line, "Accept:")) hasAccept = true;
            if (!Append(line.c_str())) return Fail(CURLE_OUT_OF_MEMORY, "out of memory");
        }
        // No header the caller did not ask for, apart from Host and Content-Length.
        if (!Append("Expect:") || (!hasAccept && !Append("Accept:")))
            return Fail(CURLE_OUT_OF_MEMORY, "out of memory");
        m_body.assign(static_cast<const char*>(body ? body : ""), body ? length : 0);

        CURLcode rc = curl_easy_setopt(m_easy, CURLOPT_HTTPHEADER, m_headers);
        // A body is always given, even an empty one: without it a POST would read stdin.
        if (rc == CURLE_OK && m_post) rc = curl_easy_setopt(m_easy, CURLOPT_POST, 1L);
        if (rc == CURLE_OK && !m_post && !m_body.empty()) rc = curl_easy_setopt(m_easy, CURLOPT_CUSTOMREQUEST, "GET");
        if (rc == CURLE_OK && (m_post || !m_body.empty())) {
            rc = curl_easy_setopt(m_easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(m_body.size()));
            if (rc == CURLE_OK) rc = curl_easy_setopt(m_easy, CURLOPT_POSTFIELDS, m_body.data());
        }
        if (rc != CURLE_OK) return Fail(rc, nullptr);
        if (curl_multi_add_handle(m_multi, m_easy) != CURLM_OK) return Fail(CURLE_FAILED_INIT, "cannot start the transfer");
        m_added = true;

        Drive([this] { return m_headersDone; });
        if (m_headersDone) return true;
        if (m_finished && m_result == CURLE_OK) return Fail(CURLE_GOT_NOTHING, "the server sent no answer");
        return Fail(m_result, nullptr);
    }

    bool QueryStatusCode(uint32_t& status) override {
        long code = 0;
        if (!m_headersDone || curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK || code <= 0)
            return false;
        status = static_cast<uint32_t>(code);
        return true;
    }

    int64_t ContentLength() override {
        curl_off_t length = -1;
        if (!m_headersDone || curl_easy_getinfo(m_easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK)
            return -1;
        return length < 0 ? -1 : static_cast<int64_t>(length);
    }

    int64_t Read(void* buf, size_t max) override {
        if (!m_added || !m_easy) {
            Fail(CURLE_BAD_FUNCTION_ARGUMENT, "request not sent");
            return -1;
        }
        if (max == 0) return 0;
        m_highWater = max;
        // A slow answer hands over what it has now and then, so the caller's cancel
        // check runs while the answer trickles in.
        const auto started = std::chrono::steady_clock::now();
        Drive([this, max, started] {
            return m_pending.size() >= max ||
                   (!m_pending.empty() && std::chrono::steady_clock::now() - started >= kPartialReadAfter);
        });
        if (m_finished && m_result != CURLE_OK) {
            Fail(m_result, nullptr);
            return -1;
        }
        size_t n = std::min(max, m_pending.size());
        std::memcpy(buf, m_pending.data(), n);
        m_pending.erase(0, n);
        return static_cast<int64_t>(n);
    }

    bool Aborted() const override { return m_aborted; }
    uint32_t ErrorCode() const override { return m_errorCode; }
    std::string ErrorText() const override { return m_errorText; }

    void Close() override {
        if (m_easy) {
            if (m_added) curl_multi_remove_handle(m_multi, m_easy);
            curl_easy_cleanup(m_easy);
            m_easy = nullptr;
        }
        curl_slist_free_all(m_headers);
        m_headers = nullptr;
    }

private:
    bool Append(const char* line) {
        curl_slist* list = curl_slist_append(m_headers, line);
        if (!list) return false;
        m_headers = list;
        return true;
    }

    bool Fail(CURLcode code, const char* text) {
        m_errorCode = static_cast<uint32_t>(code);
        m_errorText = text ? text : m_error[0] ? m_error : curl_easy_strerror(code);
        return false;
    }

    // Runs the transfer until done() holds or it has ended.
    template <class Done>
    void Drive(Done done) {
        while (!done() && !m_finished) {
            if (m_aborted) return End(CURLE_ABORTED_BY_CALLBACK);
            if (m_paused) {
                // Resuming may hand over held data at once, and may pause again.
                m_paused = false;
                if (m_ready) Restart(std::chrono::steady_clock::now());  // the silence was ours
                if (curl_easy_pause(m_easy, CURLPAUSE_CONT) != CURLE_OK) return End(CURLE_RECV_ERROR);
                continue;
            }
            int running = 0;
            if (curl_multi_perform(m_multi, &running) != CURLM_OK) return End(CURLE_FAILED_INIT);
            int left = 0;
            while (CURLMsg* msg = curl_multi_info_read(m_multi, &left))
                if (msg->msg == CURLMSG_DONE && msg->easy_handle == m_easy) End(msg->data.result);
            if (done() || m_finished || m_paused) continue;
            if (TooSlow()) {
                std::snprintf(m_error, sizeof m_error, "Operation too slow: under %zu bytes in %lld s", kMinBytesPerWindow,
                              static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(m_window).count()));
                return End(CURLE_OPERATION_TIMEDOUT);
            }
            if (curl_multi_poll(m_multi, nullptr, 0, kPollMs, nullptr) != CURLM_OK) return End(CURLE_FAILED_INIT);
        }
    }

    // Fewer than kMinBytesPerWindow bytes in the last window since the request could go
    // out: a server that trickles would hold the update as long as it likes, so it ends
    // as a mute one does. libcurl's own low-speed limit averages over several seconds and
    // so ends a mute server late.
    bool TooSlow() {
        const auto now = std::chrono::steady_clock::now();
        if (!m_ready) {
            curl_off_t ready = 0;
            if (curl_easy_getinfo(m_easy, CURLINFO_PRETRANSFER_TIME_T, &ready) != CURLE_OK || ready <= 0) return false;
            m_ready = true;
            Restart(now);
            return false;
        }
        while (!m_arrivals.empty() && now - m_arrivals.front().first >= m_window) {
            m_windowBytes -= m_arrivals.front().second;
            m_arrivals.pop_front();
        }
        return m_windowBytes < kMinBytesPerWindow && now - m_windowStart >= m_window;
    }

    void Restart(std::chrono::steady_clock::time_point now) {
        m_windowStart = now;
        m_arrivals.clear();
        m_windowBytes = 0;
    }

    // Older arrivals matter only while the newer ones fall short of the minimum, so the
    // list stays short however fast the answer comes. A header counts once its line is
    // whole, as libcurl hands it over.
    void Arrived(size_t length) {
        if (length == 0) return;
        m_arrivals.emplace_back(std::chrono::steady_clock::now(), length);
        m_windowBytes += length;
        while (m_arrivals.size() > 1 && m_windowBytes - m_arrivals.front().second >= kMinBytesPerWindow) {
            m_windowBytes -= m_arrivals.front().second;
            m_arrivals.pop_front();
        }
    }

    void End(CURLcode result) {
        m_finished = true;
        m_result = m_callbackFailed ? CURLE_OUT_OF_MEMORY : result;
    }

    static size_t OnHeader(char* data, size_t size, size_t count, void* user) {
        auto* self = static_cast<CurlFile*>(user);
        const size_t length = size * count;
        try {
            self->Arrived(length);
        } catch (...) {
            self->m_callbackFailed = true;
            return 0;
        }
        if (self->m_headersDone) return length;  // trailers
        if (length >= 5 && std::memcmp(data, "HTTP/", 5) == 0) {
            // A new status line: an interim answer (100 Continue) is followed by the real one.
            const char* p = static_cast<const char*>(std::memchr(data, ' ', length));
            int status = 0;
            for (const char* q = p ? p + 1 : data + length; q < data + length && IsDigit(*q); ++q)
                status = status * 10 + (*q - '0');
            self->m_status = status;
        } else if ((length == 2 && data[0] == '\r' && data[1] == '\n') || (length == 1 && data[0] == '\n')) {
            if (self->m_status >= 200) self->m_headersDone = true;
        }
        return length;
    }

    static size_t OnBody(char* data, size_t size, size_t count, void* user) {
        auto* self = static_cast<CurlFile*>(user);
        const size_t length = size * count;
        if (self->m_pending.size() >= self->m_highWater) {
            self->m_paused = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        try {
            self->Arrived(length);
            self->m_pending.append(data, length);
        } catch (...) {
            // Nothing may unwind through the C library.
            self->m_callbackFailed = true;
            return 0;
        }
        return length;
    }

    CURLM* m_multi;
    CURL* m_easy;
    const bool m_post;
    curl_slist* m_headers = nullptr;
    std::string m_body;
    bool m_added = false;
    char m_error[CURL_ERROR_SIZE];

    std::string m_pending;  // body bytes received and not yet read
    size_t m_highWater = 102400;
    bool m_paused = false;
    int m_status = 0;
    bool m_headersDone = false;
    bool m_finished = false;
    bool m_callbackFailed = false;
    CURLcode m_result = CURLE_OK;

    uint32_t m_errorCode = 0;
    std::string m_errorText;

    std::chrono::steady_clock::duration m_window{};
    std::chrono::steady_clock::time_point m_windowStart{};
    std::deque<std::pair<std::chrono::steady_clock::time_point, size_t>> m_arrivals;
    size_t m_windowBytes = 0;  // the sum of m_arrivals
    bool m_ready = false;      // the request could go out: the window runs

    std::atomic<bool> m_aborted{false};
    std::multimap<ThreadId, CurlFile*>::iterator m_entry;
};

class CurlConnection final : public HttpConnection {
public:
    CurlConnection(CURLM* multi, const std::string& agent, const std::string& server, uint16_t port)
        : m_multi(multi), m_agent(agent), m_server(server), m_port(port) {}

    std::unique_ptr<HttpFile> OpenRequest(const char* verb, const std::string& object,
                                          const std::string& referrer) override {
        if (!m_multi || !verb) return nullptr;
        bool post = std::strcmp(verb, "POST") == 0;
        if (!post && std::strcmp(verb, "GET") != 0) return nullptr;
        CURL* easy = curl_easy_init();
        if (!easy) return nullptr;
        auto file = std::make_unique<CurlFile>(m_multi, easy, post);
        std::string host = m_server.find(':') != std::string::npos ? "[" + m_server + "]" : m_server;
        std::string path = object.empty() || object[0] != '/' ? "/" + object : object;
        std::string url = "http://" + host + ":" + std::to_string(m_port) + path;
        if (!file->Configure(url, referrer, m_agent)) return nullptr;
        return file;
    }

    void Close() override { m_multi = nullptr; }

private:
    CURLM* m_multi;
    std::string m_agent;
    std::string m_server;
    uint16_t m_port;
};

class CurlSession final : public HttpSession {
public:
    CurlSession(CURLM* multi, const std::string& agent) : m_multi(multi), m_agent(agent) {}
    ~CurlSession() override { Close(); }

    std::unique_ptr<HttpConnection> Connect(const std::string& server, uint16_t port) override {
        if (!m_multi || server.empty() || port == 0) return nullptr;
        return std::make_unique<CurlConnection>(m_multi, m_agent, server, port);
    }

    void Close() override {
        if (m_multi) curl_multi_cleanup(m_multi);
        m_multi = nullptr;
    }

private:
    CURLM* m_multi;
    std::string m_agent;
};

}  // namespace

bool ParseUrl(const std::string& url, UrlParts& parts) {
    const size_t sep = url.find("://");
    if (sep == std::string::npos || sep == 0 || !IsAlpha(url[0])) return false;
    std::string scheme;
    for (size_t i = 0; i < sep; ++i) {
        char c = url[i];
        if (!IsAlpha(c) && !IsDigit(c) && c != '+' && c != '-' && c != '.') return false;
        scheme += Lower(c);
    }
    struct Scheme {
        const char* name;
        uint32_t service;
        uint16_t port;
    };
    static const Scheme kSchemes[] = {{"http", kInetServiceHttp, 80},
                                      {"https", kInetServiceHttps, 443},
                                      {"ftp", kInetServiceFtp, 21},
                                      {"gopher", kInetServiceGopher, 70},
                                      {"file", kInetServiceFile, 0}};
    UrlParts out;
    for (const Scheme& s : kSchemes)
        if (scheme == s.name) {
            out.service = s.service;
            out.port = s.port;
        }

    const std::string rest = url.substr(sep + 3);
    const size_t authorityEnd = std::min(rest.find_first_of("/?#"), rest.size());
    std::string authority = rest.substr(0, authorityEnd);
    std::string object = rest.substr(authorityEnd);
    if (size_t at = authority.rfind('@'); at != std::string::npos) authority.erase(0, at + 1);

    std::string portText;
    bool hasPort = false;
    if (!authority.empty() && authority[0] == '[') {
        size_t close = authority.find(']');
        if (close == std::string::npos) return false;
        out.server = authority.substr(1, close - 1);
        std::string after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') return false;
            hasPort = true;
            portText = after.substr(1);
        }
        if (!ValidIpv6(out.server)) return false;
    } else {
        size_t colon = authority.find(':');
        out.server = authority.substr(0, colon);
        if (colon != std::string::npos) {
            hasPort = true;
            portText = authority.substr(colon + 1);
        }
        if (out.service == kInetServiceFile && out.server.empty() && !hasPort) {
            // file:///path names no host, and is no URL this layer can serve anyway.
        } else if (!ValidHost(out.server)) {
            return false;
        }
    }
    if (hasPort && !portText.empty()) {
        if (portText.size() > 5) return false;
        unsigned port = 0;
        for (char c : portText) {
            if (!IsDigit(c)) return false;
            port = port * 10 + static_cast<unsigned>(c - '0');
        }
        if (port == 0 || port > 65535) return false;
        out.port = static_cast<uint16_t>(port);
    }
    if (size_t hash = object.find('#'); hash != std::string::npos) object.erase(hash);
    if (object.empty() || object[0] != '/') object.insert(0, "/");
    out.object = EscapeObject(object);
    parts = std::move(out);
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
    for (auto it = range.first; it != range.second; ++it) it->second->Abort();
}

// libcurl's TLS library keeps state per thread, freed only when the thread ends; a
// process that exits first would lose it.
void ReleaseHttpThreadState() { OPENSSL_thread_stop(); }

std::unique_ptr<HttpSession> OpenHttpSession(const std::string& agent) {
    if (!GlobalInit()) return nullptr;
    CURLM* multi = curl_multi_init();
    if (!multi) return nullptr;
    return std::make_unique<CurlSession>(multi, agent);
}

}  // namespace platform
