// Serving until SIGINT or SIGTERM, for the reference servers. The handler only writes
// a byte to a pipe; a watcher thread does the stopping, which is not safe in a handler.
#pragma once
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include <httplib.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

namespace tools {

inline int& SignalPipeEnd(int end) {
    static int fds[2] = {-1, -1};
    return fds[end];
}

inline void OnStopSignal(int signo) {
    const int saved = errno;
    const unsigned char b = static_cast<unsigned char>(signo);
    (void)!write(SignalPipeEnd(1), &b, 1);
    errno = saved;
}

// Runs serve until a signal comes; stop is then called, repeatedly, until serve has
// returned, since a signal that comes before serving has begun would find nothing to
// stop. From a second after the signal on, giveUp is called as well, to end what keeps
// serving from returning. False when serving failed.
inline bool ServeUntilSignal(const std::function<bool()>& serve, const std::function<void()>& stop,
                             const std::function<void()>& giveUp = {}) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    SignalPipeEnd(0) = fds[0];
    SignalPipeEnd(1) = fds[1];
    struct sigaction sa = {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);  // a client that hangs up must not end the server

    std::atomic<bool> over{false};
    std::thread watcher([&] {
        unsigned char b = 0;
        while (read(fds[0], &b, 1) < 0 && errno == EINTR) {
        }
        const auto patience = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (!over) {
            stop();
            if (giveUp && std::chrono::steady_clock::now() > patience) giveUp();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    const bool served = serve();
    over = true;
    const unsigned char quit = 0;
    (void)!write(fds[1], &quit, 1);  // wakes the watcher when serving failed
    watcher.join();
    return served;
}

// Shuts down the connections accepted on port, so that a worker blocked reading one (a
// request trickling in a byte at a time) returns; httplib waits for every worker.
inline void DropConnections(int port) {
    DIR* fds = opendir("/proc/self/fd");
    if (!fds) return;
    while (const dirent* e = readdir(fds)) {
        const int fd = std::atoi(e->d_name);
        struct stat st;
        if (fd <= 2 || fd == dirfd(fds) || fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
        sockaddr_storage addr = {};
        socklen_t length = sizeof addr;
        int listening = 0;
        socklen_t size = sizeof listening;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0 ||
            getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || listening)
            continue;
        const int local = addr.ss_family == AF_INET    ? ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port)
                          : addr.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port)
                                                       : -1;
        if (local == port) shutdown(fd, SHUT_RDWR);
    }
    closedir(fds);
}

// Runs the server bound to port; onStop runs once a signal has come, before the server
// stops. A connection still busy a second later is cut.
inline bool ServeUntilSignal(httplib::Server& server, int port, const std::function<void()>& onStop) {
    bool stopping = false;  // the watcher's alone
    return ServeUntilSignal([&] { return server.listen_after_bind(); },
                            [&] {
                                if (!stopping && onStop) onStop();
                                stopping = true;
                                server.stop();
                            },
                            [port] { DropConnections(port); });
}

}  // namespace tools
