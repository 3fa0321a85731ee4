// HTTP served by hand, for answers that break where httplib never would: inside the
// status line, with a reset, after an interim answer, or a byte at a time.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Options.h"

namespace ads {

struct RawRequest {
    std::string remote, method, path, body;
};

struct RawAnswer {
    int status = 200;
    std::string type = "text/plain";
    std::string body;
};

class RawListener {
public:
    using Answerer = std::function<RawAnswer(const RawRequest&)>;
    using Logger = std::function<void(const RawRequest&, int status)>;

    RawListener(RawFault fault, int trickleMs, Answerer answer, Logger log)
        : m_fault(fault), m_trickleMs(trickleMs), m_answer(std::move(answer)), m_log(std::move(log)) {}
    ~RawListener();
    RawListener(const RawListener&) = delete;
    RawListener& operator=(const RawListener&) = delete;

    // Port 0 picks a free one. The port bound, or 0 when none could be.
    int Bind(const std::string& address, int port);
    // Accepts until Stop, one thread per connection, one request per connection.
    bool Serve();
    void Stop();

private:
    void Connection(int fd, const std::string& remote);
    bool ReadRequest(int fd, RawRequest* request);
    bool SendAll(int fd, const std::string& bytes);
    // False once stopping.
    bool Pause(int ms);

    const RawFault m_fault;
    const int m_trickleMs;
    const Answerer m_answer;
    const Logger m_log;
    int m_listen = -1;
    std::mutex m_lock;
    std::condition_variable m_stopped;
    bool m_stopping = false;
    std::vector<std::thread> m_connections;
};

}  // namespace ads
