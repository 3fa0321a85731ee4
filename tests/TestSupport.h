// Shared helpers of the tests: a scratch folder, a presenter that records messages, a
// program run as a child and a reference server run as one.
#pragma once
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/MessageBox.h"
#include "CatalogueText.h"

class TempFolder {
public:
    TempFolder() {
        char name[] = "/tmp/flb-test-XXXXXX";
        m_path = mkdtemp(name);
    }
    ~TempFolder() { (void)!system(("rm -rf '" + m_path + "'").c_str()); }
    // The folder with its separator, as the catalogue wants it.
    std::string Folder() const { return m_path + "/"; }
    std::string Path(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

struct ShownMessage {
    unsigned id;
    unsigned type;
};

// Records every message shown while it lives, from any thread.
class MessageRecorder {
public:
    MessageRecorder() {
        m_old = platform::SetMessagePresenter([this](unsigned id, unsigned type, const std::string&) {
            std::lock_guard<std::mutex> hold(m_lock);
            m_shown.push_back({id, type});
        });
    }
    ~MessageRecorder() { platform::SetMessagePresenter(m_old); }
    std::vector<unsigned> Ids() const {
        std::vector<unsigned> ids;
        for (const auto& m : Shown()) ids.push_back(m.id);
        return ids;
    }
    std::vector<ShownMessage> Shown() const {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_shown;
    }
    void Clear() {
        std::lock_guard<std::mutex> hold(m_lock);
        m_shown.clear();
    }
    std::vector<unsigned> Take() {
        std::vector<unsigned> ids = Ids();
        Clear();
        return ids;
    }

private:
    platform::MessagePresenter m_old;
    mutable std::mutex m_lock;
    std::vector<ShownMessage> m_shown;
};

// An ad's code as its file names and the server's forms write it.
inline std::string Code7(uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "%07u", static_cast<unsigned>(code));
    return text;
}

// Bytes of a pattern that tells one file from another.
inline std::string Bytes(char seed, size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i * 7);
    return s;
}

inline int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The files of a folder, apart from the lock files that stay once a change or an
// update has run there.
inline std::set<std::string> FilesIn(const std::string& folder) {
    std::set<std::string> names;
    if (DIR* d = opendir(folder.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != ".." && name != "Flyerbank.lock" && name != "Flyerbank.update.lock")
                names.insert(name);
        }
        closedir(d);
    }
    return names;
}

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A connection to 127.0.0.1:port, or -1. Unless wait, it is only started (non-blocking),
// so that a server's full backlog cannot stall the caller.
inline int ConnectLocal(int port, bool wait = true) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (wait ? 0 : SOCK_NONBLOCK), 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 || (!wait && errno == EINPROGRESS)) return fd;
    close(fd);
    return -1;
}

// Sends `request` as raw bytes to 127.0.0.1:port and returns what the server sends
// until it closes, or what has come when it stays silent for `silenceMs`.
inline std::string RawHttp(int port, const std::string& request, int silenceMs = 10000) {
    const int fd = ConnectLocal(port);
    std::string answer;
    if (fd >= 0 && send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        struct pollfd p = {fd, POLLIN, 0};
        char buf[4096];
        ssize_t n;
        while (poll(&p, 1, silenceMs) > 0 && (n = read(fd, buf, sizeof buf)) > 0) answer.append(buf, static_cast<size_t>(n));
    }
    if (fd >= 0) close(fd);
    return answer;
}

// An answer read off a connection that may stay open: status 0 when none came whole
// within timeoutMs.
struct HttpAnswer {
    int status = 0;
    std::string head, body;
    explicit operator bool() const { return status != 0; }
    // A field's value as the head spells it, "" when it has none.
    std::string Header(const std::string& name) const {
        const size_t at = head.find("\r\n" + name + ": "), from = at + name.size() + 4;
        return at == std::string::npos ? "" : head.substr(from, head.find("\r\n", from) - from);
    }
};

// True once `got` holds a whole answer, then in *a.
inline bool ParseAnswer(const std::string& got, HttpAnswer* a) {
    const size_t end = got.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    const std::string head = got.substr(0, end + 4);
    const size_t length = head.find("\r\nContent-Length: ");
    const size_t want = end + 4 + (length == std::string::npos ? 0 : std::strtoul(head.c_str() + length + 18, nullptr, 10));
    if (got.size() < want) return false;
    *a = HttpAnswer{};
    if (head.rfind("HTTP/1.", 0) != 0) return true;
    a->status = std::atoi(head.c_str() + 9);
    a->head = head;
    a->body = got.substr(end + 4, want - end - 4);
    return true;
}

inline HttpAnswer ReadAnswer(int fd, int timeoutMs = 30000) {
    HttpAnswer a;
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!ParseAnswer(got, &a)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p = {fd, POLLIN, 0};
        char buf[4096];
        ssize_t n;
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0 || (n = read(fd, buf, sizeof buf)) <= 0)
            return HttpAnswer{};
        got.append(buf, static_cast<size_t>(n));
    }
    return a;
}

// A form posted as the library posts it, on a connection it keeps.
inline std::string FormPost(const std::string& body, const std::string& path = "/log.php3",
                            const std::string& type = "application/x-www-form-urlencoded") {
    return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: Tidewell\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Sends one request on fd and reads its answer.
inline HttpAnswer Ask(int fd, const std::string& request, int timeoutMs = 30000) {
    if (fd < 0 || send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
        return HttpAnswer{};
    return ReadAnswer(fd, timeoutMs);
}

// One request on a connection of its own.
inline HttpAnswer AskOnce(int port, const std::string& request, int timeoutMs = 30000) {
    const int fd = ConnectLocal(port);
    const HttpAnswer a = Ask(fd, request, timeoutMs);
    if (fd >= 0) close(fd);
    return a;
}

extern char** environ;

// A program run as a child, its standard output (and, when asked, its standard error)
// read as it comes; its standard error may go to the end of a file instead. Environment
// values given replace the test's; an empty one unsets.
class Program {
public:
    Program() = default;
    explicit Program(std::vector<std::string> argv, bool captureErr = false,
                     const std::map<std::string, std::string>& env = {}, const std::string& errFile = "") {
        Start(std::move(argv), captureErr, env, errFile);
    }
    ~Program() { Kill(); }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    bool Start(std::vector<std::string> argv, bool captureErr = false,
               const std::map<std::string, std::string>& env = {}, const std::string& errFile = "") {
        Kill();
        m_out.clear();
        m_err.clear();
        std::vector<std::string> vars;
        for (char** e = environ; *e; ++e)
            if (!env.count(std::string(*e).substr(0, std::string(*e).find('=')))) vars.push_back(*e);
        for (const auto& [name, value] : env)
            if (!value.empty()) vars.push_back(name + "=" + value);
        std::vector<char*> args, envp;
        for (std::string& a : argv) args.push_back(&a[0]);
        for (std::string& v : vars) envp.push_back(&v[0]);
        args.push_back(nullptr);
        envp.push_back(nullptr);
        int out[2], err[2] = {-1, -1};
        if (pipe2(out, O_CLOEXEC) != 0 || (captureErr && pipe2(err, O_CLOEXEC) != 0)) return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        if (captureErr) posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        else if (!errFile.empty())
            posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        for (int fd : {out[1], err[1]})
            if (fd >= 0) close(fd);
        m_fds[0] = out[0];
        m_fds[1] = err[0];
        if (m_pid < 0) CloseOutput();
        return m_pid > 0;
    }
    pid_t Pid() const { return m_pid; }
    // Reads until the output holds `marker`; false when it ends or stays silent that long.
    bool WaitFor(const std::string& marker, int timeoutMs = 60000) {
        while (m_out.find(marker) == std::string::npos)
            if (!ReadSome(timeoutMs)) return m_out.find(marker) != std::string::npos;
        return true;
    }
    // Reads all it says and waits for its end: the exit code, 128 + a signal's number,
    // or -1 when it has not ended within the bound (it is then killed).
    int Wait(int timeoutMs = 120000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (m_fds[0] >= 0 || m_fds[1] >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return Kill(), -1;
            if (!ReadSome(static_cast<int>(left.count())) && std::chrono::steady_clock::now() >= deadline)
                return Kill(), -1;
        }
        // A program that closed its output may still be running: its end is awaited
        // within the same bound.
        for (siginfo_t info{}; m_pid > 0 && waitid(P_PID, m_pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;) {
            if (std::chrono::steady_clock::now() >= deadline) return Kill(), -1;
            usleep(5000);
        }
        return Reap();
    }
    void Signal(int sig) {
        if (m_pid > 0) kill(m_pid, sig);
    }
    // Kills it if it still runs, takes all it said and its end.
    int Kill() {
        if (m_pid <= 0) return m_status;
        kill(m_pid, SIGKILL);
        return Wait();
    }
    // Its standard output goes nowhere from now on.
    void CloseOutput() {
        for (int& fd : m_fds)
            if (fd >= 0) close(fd), fd = -1;
    }
    const std::string& Out() const { return m_out; }
    const std::string& Err() const { return m_err; }

private:
    // One read from whichever stream has something; false on silence or when both ended.
    bool ReadSome(int timeoutMs) {
        pollfd p[2] = {{m_fds[0], POLLIN, 0}, {m_fds[1], POLLIN, 0}};
        if (poll(p, 2, timeoutMs) <= 0) return false;
        for (int i = 0; i < 2; ++i) {
            if (p[i].fd < 0 || !p[i].revents) continue;
            char buf[4096];
            const ssize_t n = read(p[i].fd, buf, sizeof buf);
            if (n > 0) (i ? m_err : m_out).append(buf, static_cast<size_t>(n));
            else close(m_fds[i]), m_fds[i] = -1;
        }
        return true;
    }
    int Reap() {
        int status = 0;
        if (m_pid > 0 && waitpid(m_pid, &status, 0) == m_pid)
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        m_pid = -1;
        CloseOutput();
        return m_status;
    }

    pid_t m_pid = -1;
    int m_fds[2] = {-1, -1};
    int m_status = -1;
    std::string m_out, m_err;
};

// A reference server run as a real program on an ephemeral port of 127.0.0.1.
class ServerRun {
public:
    ~ServerRun() { Stop(); }
    bool Start(const std::string& binary, std::vector<std::string> args, const std::string& errFile = "") {
        Stop();
        args.insert(args.begin(), {binary, "--port", "0"});
        // "listening on 127.0.0.1:PORT"
        if (!m_program.Start(args, false, {}, errFile) || !m_program.WaitFor("\n", 30000)) return false;
        const std::string& line = m_program.Out();
        m_program.CloseOutput();
        const size_t colon = line.rfind(':');
        m_port = colon == std::string::npos ? 0 : std::atoi(line.c_str() + colon + 1);
        return m_port > 0;
    }
    int Port() const { return m_port; }
    pid_t Pid() const { return m_program.Pid(); }
    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(m_port) + "/" + path; }
    // Its exit code, or -1 when it did not end within the bound (it is then killed).
    int Stop(int sig = SIGTERM, int timeoutMs = 15000) {
        m_program.Signal(sig);
        m_port = 0;
        return m_program.Wait(timeoutMs);
    }

private:
    Program m_program;
    int m_port = 0;
};

// Polls `done` until it holds or `bound` has passed; whether it held.
template <class Done>
bool Eventually(Done done, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A port of 127.0.0.1 nobody listens on: bound once and closed again.
inline int DeadPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    (void)!bind(fd, reinterpret_cast<sockaddr*>(&addr), len);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}
