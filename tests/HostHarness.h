// End-to-end support: the library loaded as a host loads it, a reference server run as a
// real program, and the host window a completion message arrives at.
#pragma once
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "flyerbank.h"

extern char** environ;

// The exports of one dlopen'ed copy of the library.
struct Library {
    void* handle = nullptr;
#define FLB_EXPORT_FIELD(name) decltype(&::name) name = nullptr;
    FLB_EXPORT_FIELD(FLBUpdate)
    FLB_EXPORT_FIELD(FLBUpdateCancel)
    FLB_EXPORT_FIELD(FLBNotifyAVLS)
    FLB_EXPORT_FIELD(FLBSetFolder)
    FLB_EXPORT_FIELD(FLBGetOrder)
    FLB_EXPORT_FIELD(FLBGetPictureList)
    FLB_EXPORT_FIELD(FLBGetMovieList)
    FLB_EXPORT_FIELD(FLBGetName)
    FLB_EXPORT_FIELD(FLBGetFavoriteFlag)
    FLB_EXPORT_FIELD(FLBGetFileName)
    FLB_EXPORT_FIELD(FLBGetThumbnail)
    FLB_EXPORT_FIELD(FLBGetURL)
    FLB_EXPORT_FIELD(FLBSetName)
    FLB_EXPORT_FIELD(FLBSetFavoriteFlag)
    FLB_EXPORT_FIELD(FLBRemove)
#undef FLB_EXPORT_FIELD

    // Loaded once per test program; the library's state lives on between tests.
    static Library& Get() {
        static Library library = Load(FLB_LIBRARY);
        return library;
    }

private:
    static Library Load(const char* path) {
        Library l;
        l.handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (!l.handle) {
            std::fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
            std::abort();
        }
#define FLB_RESOLVE(name) l.name = reinterpret_cast<decltype(l.name)>(dlsym(l.handle, #name));
        FLB_RESOLVE(FLBUpdate)
        FLB_RESOLVE(FLBUpdateCancel)
        FLB_RESOLVE(FLBNotifyAVLS)
        FLB_RESOLVE(FLBSetFolder)
        FLB_RESOLVE(FLBGetOrder)
        FLB_RESOLVE(FLBGetPictureList)
        FLB_RESOLVE(FLBGetMovieList)
        FLB_RESOLVE(FLBGetName)
        FLB_RESOLVE(FLBGetFavoriteFlag)
        FLB_RESOLVE(FLBGetFileName)
        FLB_RESOLVE(FLBGetThumbnail)
        FLB_RESOLVE(FLBGetURL)
        FLB_RESOLVE(FLBSetName)
        FLB_RESOLVE(FLBSetFavoriteFlag)
        FLB_RESOLVE(FLBRemove)
#undef FLB_RESOLVE
        return l;
    }
};

// A pipe whose write end is the host window the library posts its 12-byte records to.
class HostWindow {
public:
    HostWindow() {
        if (pipe2(m_fds, O_CLOEXEC) != 0) m_fds[0] = m_fds[1] = -1;
    }
    ~HostWindow() {
        for (int fd : m_fds)
            if (fd >= 0) close(fd);
    }
    HostWindow(const HostWindow&) = delete;
    HostWindow& operator=(const HostWindow&) = delete;

    void* Handle() const { return reinterpret_cast<void*>(static_cast<intptr_t>(m_fds[1])); }

    struct Record {
        uint32_t message = 0, wParam = 0, lParam = 0;
        bool arrived = false;
    };
    // The next record, or one with arrived false when none comes in time.
    Record Wait(int timeoutMs = 60000) {
        Record r;
        unsigned char bytes[12];
        size_t got = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got < sizeof bytes) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{m_fds[0], POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return r;
            ssize_t n = read(m_fds[0], bytes + got, sizeof bytes - got);
            if (n <= 0) return r;
            got += static_cast<size_t>(n);
        }
        auto field = [&](int i) {
            return uint32_t{bytes[i * 4]} | uint32_t{bytes[i * 4 + 1]} << 8 | uint32_t{bytes[i * 4 + 2]} << 16 |
                   uint32_t{bytes[i * 4 + 3]} << 24;
        };
        r.message = field(0);
        r.wParam = field(1);
        r.lParam = field(2);
        r.arrived = true;
        return r;
    }
    // True when nothing more is waiting.
    bool Quiet(int forMs) {
        pollfd p{m_fds[0], POLLIN, 0};
        return poll(&p, 1, forMs) == 0;
    }

private:
    int m_fds[2];
};

// Starts the program argv[0] with its standard output into a pipe, whose reading end goes
// to `out`; -1 (and no pipe) when it cannot be started.
inline pid_t SpawnWithOutput(std::vector<std::string> argv, int& out) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    std::vector<char*> pointers;
    for (std::string& a : argv) pointers.push_back(&a[0]);
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    pid_t pid = -1;
    if (posix_spawn(&pid, pointers[0], &actions, nullptr, pointers.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (pid < 0) close(fds[0]);
    else out = fds[0];
    return pid;
}

// A reference server run as a real program on an ephemeral port of 127.0.0.1.
class ServerRun {
public:
    ServerRun() = default;
    ~ServerRun() { Stop(); }
    ServerRun(const ServerRun&) = delete;
    ServerRun& operator=(const ServerRun&) = delete;

    bool Start(const std::string& binary, std::vector<std::string> args) {
        Stop();
        args.insert(args.begin(), {binary, "--port", "0"});
        int out = -1;
        m_pid = SpawnWithOutput(args, out);
        if (m_pid < 0) return false;
        // "listening on 127.0.0.1:PORT"
        std::string line;
        char c;
        pollfd p{out, POLLIN, 0};
        while (line.find('\n') == std::string::npos && poll(&p, 1, 10000) > 0 && read(out, &c, 1) == 1) line += c;
        close(out);
        const size_t colon = line.rfind(':');
        m_port = colon == std::string::npos ? 0 : std::atoi(line.c_str() + colon + 1);
        return m_port > 0;
    }
    int Port() const { return m_port; }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(m_port) + "/" + path;
    }
    void Stop() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGTERM);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        m_port = 0;
    }

private:
    pid_t m_pid = -1;
    int m_port = 0;
};

// Messages the loaded library showed, as "id type" lines of its message log.
inline std::vector<unsigned> LoggedMessages(const std::string& log) {
    std::vector<unsigned> ids;
    if (FILE* f = std::fopen(log.c_str(), "r")) {
        unsigned id, type;
        while (std::fscanf(f, "%u %u", &id, &type) == 2) ids.push_back(id);
        std::fclose(f);
    }
    return ids;
}
