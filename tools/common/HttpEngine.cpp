#include "HttpEngine.h"

#include <signal.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <chrono>
#include <list>
#include <mutex>
#include <thread>

#include "Bounds.h"

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using boost::system::error_code;

namespace tools {

namespace {

int64_t Now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class Session;

// What the listener and every session share.
struct Core {
    explicit Core(Service& s) : service(s) {}

    void Accept();
    void MakeRoom();
    void Stop();
    void WatchStop();

    Service& service;
    size_t maxConnections = kDefaultMaxConnections;
    int threadCount = 1;
    std::mutex mutex;
    std::list<Session*> sessions;  // under mutex; each leaves as it ends
    std::atomic<size_t> open{0};
    std::atomic<bool> stopping{false};
    int64_t deadline = 0;
    // After the registry, so that the sessions the context still holds can leave it.
    net::io_context ioc;
    net::strand<net::io_context::executor_type> control = net::make_strand(ioc);
    tcp::acceptor acceptor{control};
    net::signal_set signals{control};
    net::steady_timer stopTimer{control};
    net::steady_timer acceptRetry{control};
    std::vector<std::thread> threads;
};

// One connection, from the listener's accept to its close, as a chain of handlers on
// its own strand: no thread waits for it.
class Session : public std::enable_shared_from_this<Session> {
public:
    enum Phase { Idle, Reading, Answering, Sending, Pausing, Holding, Closing, Closed };

    Session(tcp::socket&& socket, Core& core)
        : m_stream(std::move(socket)), m_timer(m_stream.get_executor()), m_core(core) {
        error_code ec;
        const auto peer = m_stream.socket().remote_endpoint(ec);
        m_remote = ec ? "?" : peer.address().to_string();
        // An answer goes out as head and pieces: the last must not wait for a delayed ACK.
        m_stream.socket().set_option(tcp::no_delay(true), ec);
        m_lastActive = Now();
        ++m_core.open;
    }

    ~Session() {
        if (m_registered) {
            std::lock_guard<std::mutex> lock(m_core.mutex);
            m_core.sessions.erase(m_place);
        }
        --m_core.open;
    }

    void Start() {
        {
            std::lock_guard<std::mutex> lock(m_core.mutex);
            m_place = m_core.sessions.insert(m_core.sessions.end(), this);
            m_registered = true;
        }
        net::dispatch(m_stream.get_executor(), [self = shared_from_this()] { self->WaitForRequest(); });
    }

    Phase CurrentPhase() const { return m_phase; }
    int64_t LastActive() const { return m_lastActive; }

    // From any thread.
    void Shutdown() {
        net::post(m_stream.get_executor(), [self = shared_from_this()] { self->OnShutdown(); });
    }
    void Evict() {
        net::post(m_stream.get_executor(), [self = shared_from_this()] { self->Close(false); });
    }

private:
    void WaitForRequest() {
        m_phase = Idle;
        m_lastActive = Now();
        if (m_core.stopping) return Close(false);
        if (m_buffer.size() > 0) return ReadHead();
        // An idle connection holds no buffer; it waits for its next byte without one.
        m_buffer.shrink_to_fit();
        auto self = shared_from_this();
        m_timer.expires_after(std::chrono::seconds(kIdleSeconds));
        m_timer.async_wait([self](error_code ec) {
            if (!ec && self->m_phase == Idle) self->Close(false);
        });
        m_stream.socket().async_wait(tcp::socket::wait_read, [self](error_code ec) {
            if (self->m_phase != Idle) return;
            self->m_timer.cancel();
            if (ec) return self->Close(false);
            self->ReadHead();
        });
    }

    void ReadHead() {
        m_phase = Reading;
        m_request = Request{};
        m_request.remote = m_remote;
        m_parser.emplace();
        m_parser->header_limit(static_cast<uint32_t>(kMaxHeadBytes));
        m_parser->body_limit(m_core.service.MaxBody());
        m_stream.expires_after(std::chrono::seconds(kHeadSeconds));
        http::async_read_header(m_stream, m_buffer, *m_parser,
                                [self = shared_from_this()](error_code ec, size_t) { self->OnHead(ec); });
    }

    static bool IsHttpError(const error_code& ec) {
        return ec.category() == http::make_error_code(http::error::bad_method).category() &&
               ec != http::error::end_of_stream && ec != http::error::partial_message;
    }

    void OnHead(error_code ec) {
        if (m_phase != Reading) return;
        if (ec == http::error::header_limit) return Refuse(431, "request head over the limit\n");
        const auto& head = m_parser->get();
        m_request.method = std::string(head.method_string());
        m_request.target = std::string(head.target());
        m_request.contentType = std::string(head[http::field::content_type]);
        // The parser refuses a length over the limit as soon as the head is whole.
        if (ec == http::error::body_limit)
            return head.method() == http::verb::post ? TooLarge() : Refuse(405, "POST only\n");
        if (IsHttpError(ec)) return Refuse(400, "bad request\n");
        if (ec) return Close(false);
        m_keepAlive = head.keep_alive();
        m_version = head.version();
        const bool hasBody = m_parser->chunked() || m_parser->content_length().value_or(0) > 0;
        if (head.method() == http::verb::get) {
            const std::string path = m_request.target.substr(0, m_request.target.find('?'));
            if (path == "/health" || path == "/metrics") return Built(path, hasBody);
        }
        if (head.method() != http::verb::post) return Refuse(405, "POST only\n");
        if (m_parser->content_length().value_or(0) > m_core.service.MaxBody()) return TooLarge();
        if (beast::iequals(head[http::field::expect], "100-continue")) {
            m_phase = Sending;
            m_continue = {http::status::continue_, m_version};
            m_stream.expires_after(std::chrono::seconds(kWriteSeconds));
            return http::async_write(m_stream, m_continue, [self = shared_from_this()](error_code ec, size_t) {
                if (ec) return self->Close(false);
                self->ReadBody();
            });
        }
        ReadBody();
    }

    void ReadBody() {
        m_phase = Reading;
        const uint64_t announced = m_parser->content_length().value_or(m_core.service.MaxBody());
        m_stream.expires_after(std::chrono::seconds(BodySeconds(announced)));
        http::async_read(m_stream, m_buffer, *m_parser,
                         [self = shared_from_this()](error_code ec, size_t) { self->OnBody(ec); });
    }

    void OnBody(error_code ec) {
        if (m_phase != Reading) return;
        if (ec == http::error::body_limit) return TooLarge();
        if (IsHttpError(ec)) return Refuse(400, "bad request\n");
        if (ec) return Close(false);
        m_request.body = std::move(m_parser->get().body());
        m_parser.reset();
        m_phase = Answering;
        m_lastActive = Now();
        m_stream.expires_never();
        auto self = shared_from_this();
        m_core.service.Post(std::move(m_request), [self](Reply reply) {
            net::post(self->m_stream.get_executor(),
                      [self, reply = std::move(reply)]() mutable { self->Send(std::move(reply)); });
        });
    }

    void TooLarge() {
        Reply reply = m_core.service.TooLarge(m_request);
        reply.ending = Ending::Close;  // the rest of the body stays unread
        Send(std::move(reply));
    }

    void Refuse(int status, const char* text) {
        Reply reply;
        reply.status = status;
        reply.body = text;
        if (status == 405) reply.fields.emplace_back("Allow", "POST");
        reply.ending = Ending::Close;
        m_core.service.Answered(m_request, status);
        Send(std::move(reply));
    }

    void Built(const std::string& path, bool hasBody) {
        Reply reply;
        if (path == "/health") {
            const bool healthy = !m_core.stopping && m_core.service.Healthy();
            reply.status = healthy ? 200 : 503;
            reply.body = healthy ? "ok\n" : "unavailable\n";
        } else {
            reply.type = "text/plain; version=0.0.4; charset=utf-8";
            reply.body = m_core.service.Metrics();
        }
        if (hasBody) reply.ending = Ending::Close;
        m_core.service.Answered(m_request, reply.status);
        Send(std::move(reply));
    }

    void Send(Reply reply) {
        if (m_phase == Closed || m_phase == Closing) return;
        m_reply = std::move(reply);
        m_sent = 0;
        if (m_reply.delayMs > 0) {
            if (m_core.stopping) return Close(false);
            Pause(m_reply.delayMs, [](Session& s) { s.WriteHead(); });
            return;
        }
        WriteHead();
    }

    template <typename Then>
    void Pause(int ms, Then then) {
        m_phase = Pausing;
        m_timer.expires_after(std::chrono::milliseconds(ms));
        m_timer.async_wait([self = shared_from_this(), then](error_code ec) {
            if (ec || self->m_phase != Pausing) return;
            then(*self);
        });
    }

    bool KeepAfter() const {
        return m_reply.ending == Ending::Keep && m_keepAlive && !m_core.stopping && !m_reply.raw;
    }

    void WriteHead() {
        m_phase = Sending;
        m_lastActive = Now();
        m_stream.expires_after(std::chrono::seconds(kWriteSeconds));
        auto self = shared_from_this();
        if (m_reply.raw) {
            m_out = std::move(m_reply.body);
            return net::async_write(m_stream, net::buffer(m_out),
                                    [self](error_code ec, size_t) { self->OnWritten(ec, self->m_out.size()); });
        }
        m_response = {};
        m_response.version(m_version);
        m_response.result(static_cast<unsigned>(m_reply.status));
        m_response.set(http::field::content_type, m_reply.type);
        for (const auto& field : m_reply.fields) m_response.set(field.first, field.second);
        // Set by hand, not from the body: a fault may announce more than it sends.
        m_response.content_length(m_reply.length.value_or(m_reply.body.size()));
        m_response.keep_alive(KeepAfter());
        m_response.body() = std::move(m_reply.body);
        http::async_write(m_stream, m_response,
                          [self](error_code ec, size_t) { self->OnWritten(ec, self->m_response.body().size()); });
    }

    void OnWritten(error_code ec, size_t bodyBytes) {
        if (ec) return Close(false);
        m_sent += bodyBytes;
        if (!m_reply.more || (m_core.stopping && m_reply.paceMs > 0)) return Finish();
        if (m_reply.paceMs > 0) return Pause(m_reply.paceMs, [](Session& s) { s.NextPiece(); });
        NextPiece();
    }

    void NextPiece() {
        m_phase = Sending;
        m_out.clear();
        if (!m_reply.more(m_sent, &m_out) || m_out.empty()) {
            m_reply.more = nullptr;
            return Finish();
        }
        m_stream.expires_after(std::chrono::seconds(kWriteSeconds));
        net::async_write(m_stream, net::buffer(m_out), [self = shared_from_this()](error_code ec, size_t) {
            self->OnWritten(ec, self->m_out.size());
        });
    }

    void Finish() {
        m_reply.more = nullptr;
        m_out.clear();
        m_out.shrink_to_fit();
        m_response = {};
        m_lastActive = Now();
        switch (m_reply.ending) {
            case Ending::Hold:
                if (m_core.stopping) return Close(false);
                m_phase = Holding;
                m_stream.expires_never();
                return Discard();
            case Ending::Reset: {
                error_code ec;
                m_stream.socket().set_option(net::socket_base::linger(true, 0), ec);
                return Close(false);
            }
            case Ending::Close: return Close(true);
            case Ending::Keep: break;
        }
        const bool whole = !m_reply.length || m_sent >= *m_reply.length;
        if (!whole || !KeepAfter()) return Close(true);
        WaitForRequest();
    }

    // Reads and drops what the client still sends, until it leaves.
    void Discard() {
        m_stream.async_read_some(net::buffer(m_scratch), [self = shared_from_this()](error_code ec, size_t) {
            if (ec) return self->Close(false);
            if (self->m_phase == Holding || self->m_phase == Closing) self->Discard();
        });
    }

    void OnShutdown() {
        switch (m_phase) {
            case Idle:
            case Reading:
            case Pausing:
            case Holding:
            case Closing: return Close(false);
            default: return;  // a whole request: its answer goes out, then the connection closes
        }
    }

    // With linger the answer's end is told to the client and what it still sends is read
    // for a moment, so that closing over unread bytes cannot reset the answer away.
    void Close(bool linger) {
        if (m_phase == Closed) return;
        error_code ec;
        m_timer.cancel();
        if (linger && m_phase != Closing && !m_core.stopping) {
            m_phase = Closing;
            m_stream.socket().shutdown(tcp::socket::shutdown_send, ec);
            m_stream.expires_after(std::chrono::seconds(2));
            return Discard();
        }
        m_phase = Closed;
        m_stream.socket().shutdown(tcp::socket::shutdown_both, ec);
        m_stream.close();
    }

    beast::tcp_stream m_stream;
    net::steady_timer m_timer;
    Core& m_core;
    std::string m_remote;
    std::list<Session*>::iterator m_place;
    bool m_registered = false;
    std::atomic<Phase> m_phase{Idle};
    std::atomic<int64_t> m_lastActive{0};
    beast::flat_buffer m_buffer;
    std::optional<http::request_parser<http::string_body>> m_parser;
    Request m_request;
    bool m_keepAlive = false;
    unsigned m_version = 11;
    http::response<http::empty_body> m_continue;
    Reply m_reply;
    uint64_t m_sent = 0;
    http::response<http::string_body> m_response;
    std::string m_out;
    char m_scratch[512];
};

void Core::Accept() {
    acceptor.async_accept(net::make_strand(ioc), [this](error_code ec, tcp::socket socket) {
        if (stopping || !acceptor.is_open()) return;
        if (ec) {
            // Out of descriptors, say: try again shortly rather than spin.
            acceptRetry.expires_after(std::chrono::milliseconds(100));
            acceptRetry.async_wait([this](error_code e) {
                if (!e) Accept();
            });
            return;
        }
        if (open >= maxConnections) MakeRoom();
        std::make_shared<Session>(std::move(socket), *this)->Start();
        Accept();
    });
}

// Closes the connection idle longest (a slow sender counts as idle since its request
// began) for the one just accepted.
void Core::MakeRoom() {
    std::shared_ptr<Session> victim;  // released after the lock: it may be the last reference
    {
        std::lock_guard<std::mutex> lock(mutex);
        Session* oldest = nullptr;
        for (Session* s : sessions) {
            const auto phase = s->CurrentPhase();
            if (phase != Session::Idle && phase != Session::Reading && phase != Session::Holding) continue;
            if (!oldest || s->LastActive() < oldest->LastActive()) oldest = s;
        }
        if (oldest) victim = oldest->weak_from_this().lock();
    }
    if (victim) victim->Evict();
}

void Core::Stop() {
    stopping = true;
    service.Stopping();
    error_code ec;
    acceptor.close(ec);
    acceptRetry.cancel();
    std::vector<std::shared_ptr<Session>> live;  // released after the lock, as in MakeRoom
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (Session* s : sessions)
            if (auto session = s->weak_from_this().lock()) live.push_back(std::move(session));
    }
    for (auto& session : live) session->Shutdown();
    deadline = Now() + 1000;
    WatchStop();
}

void Core::WatchStop() {
    if (open == 0 || Now() >= deadline) return ioc.stop();
    stopTimer.expires_after(std::chrono::milliseconds(10));
    stopTimer.async_wait([this](error_code) { WatchStop(); });
}

}  // namespace

struct Engine::State : Core {
    using Core::Core;
};

Engine::Engine(Service& service) : m_state(new State(service)) {}

Engine::~Engine() {
    m_state->ioc.stop();
    for (auto& t : m_state->threads)
        if (t.joinable()) t.join();
}

bool Engine::Listen(const EngineSettings& settings, std::string* error) {
    State& s = *m_state;
    s.maxConnections = settings.maxConnections ? settings.maxConnections : kDefaultMaxConnections;
    s.threadCount = settings.threads > 0 ? settings.threads : static_cast<int>(std::thread::hardware_concurrency());
    if (s.threadCount < 1) s.threadCount = 1;
    error_code ec;
    tcp::resolver resolver(s.ioc);
    const auto found =
        resolver.resolve(settings.bind, std::to_string(settings.port), tcp::resolver::passive | tcp::resolver::numeric_service, ec);
    if (ec || found.empty()) {
        *error = ec ? ec.message() : "no such address";
        return false;
    }
    const tcp::endpoint at = *found.begin();
    // A taken port must fail rather than be shared: reuse_address, never SO_REUSEPORT.
    if (s.acceptor.open(at.protocol(), ec) || s.acceptor.set_option(net::socket_base::reuse_address(true), ec) ||
        s.acceptor.bind(at, ec) || s.acceptor.listen(net::socket_base::max_listen_connections, ec)) {
        *error = ec.message();
        return false;
    }
    return true;
}

int Engine::Port() const {
    error_code ec;
    return m_state->acceptor.local_endpoint(ec).port();
}

size_t Engine::OpenConnections() const { return m_state->open; }

void Engine::Start() {
    State& s = *m_state;
    signal(SIGPIPE, SIG_IGN);  // a reader that went away must not end the server
    s.signals.add(SIGINT);
    s.signals.add(SIGTERM);
    s.signals.async_wait([&s](error_code ec, int) {
        if (!ec) s.Stop();
    });
    net::post(s.control, [&s] { s.Accept(); });
    try {
        for (int i = 0; i < s.threadCount; ++i)
            s.threads.emplace_back([&s] {
                for (;;) {
                    try {
                        s.ioc.run();
                        return;
                    } catch (const std::exception&) {
                        // One request's failure (memory, say) ends that request, not the server.
                    }
                }
            });
    } catch (...) {
        s.ioc.stop();
        for (auto& t : s.threads) t.join();
        s.threads.clear();
        throw;
    }
}

void Engine::Wait() {
    for (auto& t : m_state->threads) t.join();
    m_state->threads.clear();
}

}  // namespace tools
