// The HTTP engine under both reference servers: a few threads serve every connection,
// each read under the bounds of Bounds.h; a request is handed whole to a Service, whose
// answer may come later from any thread, so that storage never blocks serving.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tools {

struct Request {
    std::string method, target, remote, contentType, body;
    std::string path() const { return target.substr(0, target.find('?')); }
};

// What becomes of the connection once the answer is out.
enum class Ending {
    Keep,   // kept when the client asked for it
    Close,
    Reset,  // closed with a reset rather than an orderly end
    Hold,   // left open, nothing more sent, until the client leaves or the server stops
};

struct Reply {
    int status = 200;
    std::string type = "text/plain";
    std::vector<std::pair<std::string, std::string>> fields;
    std::string body;
    std::optional<uint64_t> length;  // the Content-Length announced, when not the body's size
    // The body's next piece once body is out, given how many body bytes went before;
    // false when there is no more (or it cannot be read).
    std::function<bool(uint64_t sent, std::string* piece)> more;
    int delayMs = 0;   // before anything is sent
    int paceMs = 0;    // before each piece from more
    bool raw = false;  // body is the whole answer, bytes as they are, with no head made for it
    Ending ending = Ending::Keep;
};

// Sends the answer to one request; callable once, from any thread.
using Respond = std::function<void(Reply)>;

class Service {
public:
    virtual ~Service() = default;
    virtual size_t MaxBody() const = 0;
    // A whole POST request.
    virtual void Post(Request request, Respond respond) = 0;
    // A POST whose body is over MaxBody(), refused with 413 before the rest is read.
    virtual Reply TooLarge(const Request& request) = 0;
    // Each request the engine answers itself: 405, 431, 400, /health and /metrics.
    virtual void Answered(const Request&, int /*status*/) {}
    virtual bool Healthy() { return true; }
    virtual std::string Metrics() = 0;
    // A signal came: answers are to end rather than wait.
    virtual void Stopping() {}
};

struct EngineSettings {
    std::string bind = "127.0.0.1";
    int port = 0;
    int threads = 0;  // 0: one per core
    size_t maxConnections = 0;
};

// Both servers' command lines name these the same.
template <class Options>
EngineSettings SettingsOf(const Options& options) {
    EngineSettings settings;
    settings.bind = options.bind;
    settings.port = options.port;
    settings.threads = options.threads;
    settings.maxConnections = static_cast<size_t>(options.maxConnections);
    return settings;
}

class Engine {
public:
    explicit Engine(Service& service);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Binds and listens; false with *error when the address cannot be had.
    bool Listen(const EngineSettings& settings, std::string* error);
    int Port() const;
    // Starts the threads and the signal handling (std::system_error when a thread cannot
    // start), then serves until SIGINT or SIGTERM: no more connections are taken, answers
    // to whole requests go out, the rest are closed, and within a second it returns.
    void Start();
    void Wait();
    size_t OpenConnections() const;

private:
    struct State;
    std::unique_ptr<State> m_state;
};

}  // namespace tools
