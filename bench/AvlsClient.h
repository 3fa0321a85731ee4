// The benches' client of the log server: plain sockets, views posted as the library posts them.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace avlsbench {

// A non-blocking connection to 127.0.0.1:port; the bench ends when it cannot be made.
inline int Connect(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);   // as the library's transport does
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 && errno != EINPROGRESS) {
        std::perror("avls bench: connect");
        std::exit(1);
    }
    return fd;
}

inline std::string ViewRequest(const std::string& body) {
    return "POST /log.php3 HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\nUser-Agent: Tidewell\r\n"
           "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

// 0 while `got` is short of a whole answer; then 1 for a 200 whose body is `ok`, -1 for any other.
inline int Verdict(const std::string& got, const std::string& ok) {
    const size_t end = got.find("\r\n\r\n"), length = got.find("\r\nContent-Length: ");
    if (end == std::string::npos) return 0;
    if (got.size() < end + 4 + (length < end ? std::strtoul(got.c_str() + length + 18, nullptr, 10) : 0)) return 0;
    return got.compare(0, 12, "HTTP/1.1 200") == 0 && got.compare(end + 4, std::string::npos, ok) == 0 ? 1 : -1;
}

// Sends `request` on fd and reads until the answer is whole: what came of it, cut short
// when the connection fails or stays silent for timeoutMs.
inline std::string Exchange(int fd, const std::string& request, const std::string& ok, int timeoutMs) {
    std::string got;
    size_t sent = 0;
    while (sent < request.size() || Verdict(got, ok) == 0) {
        pollfd p = {fd, static_cast<short>(sent < request.size() ? POLLOUT : POLLIN), 0};
        char buf[4096];
        if (poll(&p, 1, timeoutMs) <= 0) break;
        const ssize_t n = sent < request.size() ? send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL)
                                                : read(fd, buf, sizeof buf);
        if (n < 0 && errno == EAGAIN) continue;
        if (n <= 0) break;
        if (sent < request.size()) sent += static_cast<size_t>(n);
        else got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

struct Server {
    pid_t pid = -1;
    int port = 0;
};

// The log server at binary with args, on a free port, which its first line on stdout
// names; the bench ends when it does not start.
inline Server StartServer(const std::string& binary, std::vector<std::string> args) {
    args.insert(args.begin(), {binary, "--port", "0"});
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) std::abort();
    Server s;
    s.pid = fork();
    if (s.pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execv(binary.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    std::FILE* f = fdopen(out[0], "r");
    char line[128] = {};
    if (!f || !std::fgets(line, sizeof line, f) || !std::strrchr(line, ':')) {
        std::fprintf(stderr, "%s did not start\n", binary.c_str());
        std::exit(1);
    }
    s.port = std::atoi(std::strrchr(line, ':') + 1);
    std::fclose(f);
    return s;
}

inline void StopServer(const Server& s) {
    kill(s.pid, SIGTERM);
    waitpid(s.pid, nullptr, 0);
}

}  // namespace avlsbench
