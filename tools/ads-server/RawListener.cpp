#include "RawListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace ads {

namespace {

constexpr size_t kMaxHead = 64 * 1024;
constexpr size_t kMaxBody = 16 * 1024 * 1024;

const char* Reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 301: return "Moved Permanently";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 500: return "Internal Server Error";
        case 503: return "Service Unavailable";
        default: return "Status";
    }
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A reset rather than an orderly close: the client's next read fails at once.
void Reset(int fd) {
    struct linger abort = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close(fd);
}

}  // namespace

RawListener::~RawListener() {
    Stop();
    for (std::thread& t : m_connections) t.join();
    if (m_listen >= 0) close(m_listen);
}

int RawListener::Bind(const std::string& address, int port) {
    m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listen < 0) return 0;
    int yes = 1;
    setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t length = sizeof addr;
    if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1 ||
        bind(m_listen, reinterpret_cast<sockaddr*>(&addr), length) != 0 || listen(m_listen, 64) != 0 ||
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
        return 0;
    return ntohs(addr.sin_port);
}

bool RawListener::Serve() {
    if (m_listen < 0) return false;
    while (Pause(0)) {
        pollfd p{m_listen, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const int fd = accept4(m_listen, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        if (fd < 0) continue;
        char remote[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &peer.sin_addr, remote, sizeof remote);
        std::lock_guard<std::mutex> hold(m_lock);
        m_connections.emplace_back([this, fd, who = std::string(remote)] { Connection(fd, who); });
    }
    return true;
}

void RawListener::Stop() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_stopping = true;
    m_stopped.notify_all();
}

bool RawListener::Pause(int ms) {
    std::unique_lock<std::mutex> hold(m_lock);
    return !m_stopped.wait_for(hold, std::chrono::milliseconds(ms), [this] { return m_stopping; });
}

bool RawListener::ReadRequest(int fd, RawRequest* request) {
    std::string data;
    size_t wanted = std::string::npos, bodyAt = 0;
    char buffer[16384];
    while (data.size() < wanted) {
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, 50);
        if (!Pause(0)) return false;
        if (ready <= 0) continue;
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        data.append(buffer, static_cast<size_t>(n));
        const size_t end = data.find("\r\n\r\n");
        if (wanted != std::string::npos) continue;
        if (end == std::string::npos) {
            if (data.size() > kMaxHead) return false;
            continue;
        }
        const std::string head = data.substr(0, end + 2);
        const size_t line = head.find("\r\n");
        const std::string requestLine = head.substr(0, line);
        const size_t sp1 = requestLine.find(' '), sp2 = requestLine.find(' ', sp1 + 1);
        if (sp1 == std::string::npos || sp2 == std::string::npos) return false;
        request->method = requestLine.substr(0, sp1);
        request->path = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
        size_t body = 0;
        const size_t at = Lower(head).find("\r\ncontent-length:");
        if (at != std::string::npos) body = std::strtoul(head.c_str() + at + 17, nullptr, 10);
        if (body > kMaxBody) return false;
        bodyAt = end + 4;
        wanted = bodyAt + body;
    }
    request->body = data.substr(bodyAt, wanted - bodyAt);
    return true;
}

bool RawListener::SendAll(int fd, const std::string& bytes) {
    for (size_t at = 0; at < bytes.size();) {
        const ssize_t n = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n <= 0) return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

void RawListener::Connection(int fd, const std::string& remote) {
    RawRequest request;
    request.remote = remote;
    if (!ReadRequest(fd, &request)) return (void)close(fd);
    if (m_fault == RawFault::Mute) {
        m_log(request, 0);
        while (Pause(1000)) {
        }
        return (void)close(fd);
    }
    const RawAnswer answer = m_answer(request);
    m_log(request, answer.status);
    const std::string head = "HTTP/1.1 " + std::to_string(answer.status) + " " + Reason(answer.status) +
                             "\r\nContent-Type: " + answer.type + "\r\nContent-Length: " +
                             std::to_string(answer.body.size()) + "\r\nConnection: close\r\n\r\n";
    const std::string interim = "HTTP/1.1 100 Continue\r\n\r\n";
    switch (m_fault) {
        case RawFault::ResetHead:
            SendAll(fd, head.substr(0, head.size() / 2));
            return Reset(fd);
        case RawFault::ResetBody:
            SendAll(fd, head + answer.body.substr(0, answer.body.size() / 2));
            return Reset(fd);
        case RawFault::Garbage: {
            // Neither a status line nor anything like one, zeros included.
            std::string junk(4096, '\0');
            uint32_t x = 2463534242u;
            for (char& c : junk) {
                x ^= x << 13, x ^= x >> 17, x ^= x << 5;
                c = static_cast<char>(x);
            }
            junk[0] = '\x16';
            SendAll(fd, junk);
            break;
        }
        case RawFault::InterimOnly:
            SendAll(fd, interim);
            break;
        case RawFault::Continue:
            SendAll(fd, interim + head + answer.body);
            break;
        case RawFault::Trickle: {
            const std::string all = head + answer.body;
            for (size_t i = 0; i < all.size() && SendAll(fd, all.substr(i, 1)) && Pause(m_trickleMs); ++i) {
            }
            break;
        }
        default:
            SendAll(fd, head + answer.body);
    }
    close(fd);
}

}  // namespace ads
