// Serving until SIGINT or SIGTERM, for the reference servers. The handler only writes
// a byte to a pipe; a watcher thread does the stopping, which is not safe in a handler.
#pragma once
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <httplib.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
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
// stop. A connection still busy after a second (a request trickling in a byte at a time) is
// not waited for: the process ends with status 0 without it. False when serving failed.
inline bool ServeUntilSignal(const std::function<bool()>& serve, const std::function<void()>& stop) {
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
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (!over) {
            stop();
            if (std::chrono::steady_clock::now() > giveUp) {
                std::fflush(nullptr);
                _exit(0);
            }
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

// Runs the bound server; onStop runs once a signal has come, before the server stops.
inline bool ServeUntilSignal(httplib::Server& server, const std::function<void()>& onStop) {
    bool stopping = false;  // the watcher's alone
    return ServeUntilSignal([&] { return server.listen_after_bind(); },
                            [&] {
                                if (!stopping && onStop) onStop();
                                stopping = true;
                                server.stop();
                            });
}

}  // namespace tools
