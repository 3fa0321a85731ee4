// Server CPU per stored view: the log server's processes (and PostgreSQL's) from
// /proc/PID/stat, per view, under a cheap client of plain sockets on one thread. Two
// shapes: 20 connections reused for view after view, and the library's, where each
// client opens a connection, sends its view and keeps the connection open.
//   avls_cpu_bench [--server PATH] [--views N]
// --server measures another build of avls-server (say, an older one) the same way.
// Prints table rows for scripts/bench: name|measured|baseline|ratio|goal.
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../tests/PostgresCluster.h"
#include "AvlsClient.h"
#include "viewlog/LogSealer.h"

namespace {

using avlsbench::Server;
using avlsbench::StartServer;
using avlsbench::StopServer;

std::string g_server = AVLS_SERVER;
const double kGoalMicros = 25;   // server CPU per view with reused connections

// utime + stime of one process, in seconds.
double CpuOf(pid_t pid, pid_t* parent = nullptr) {
    std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (!f) return 0;
    char text[1024] = {};
    const size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    text[n] = 0;
    const char* p = std::strrchr(text, ')');   // the name may hold blanks
    int ppid = 0;
    unsigned long user = 0, system = 0;
    if (!p || std::sscanf(p + 2, "%*c %d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &ppid, &user, &system) != 3)
        return 0;
    if (parent) *parent = ppid;
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The postmaster and every process it started: backends, writers, checkpointer.
double CpuOfCluster(pid_t postmaster) {
    if (postmaster <= 0) return 0;
    double total = CpuOf(postmaster);
    DIR* d = opendir("/proc");
    while (dirent* e = d ? readdir(d) : nullptr) {
        pid_t pid = std::atoi(e->d_name), parent = 0;
        if (pid <= 0) continue;
        const double cpu = CpuOf(pid, &parent);
        if (parent == postmaster) total += cpu;
    }
    if (d) closedir(d);
    return total;
}

struct Run {
    double seconds = 0, serverCpu = 0, databaseCpu = 0;
    int views = 0;
};

// `views` views over the servers, 20 in flight at a time. kept: each of 20 connections
// is reused; otherwise each view opens a connection that stays open to the end.
Run Drive(const std::vector<Server>& servers, pid_t postmaster, bool kept, int views) {
    const std::string ok = SealText("OK").get();
    const std::string body = "MSG=" + std::string(SealText("bench,0001234,5,an ad shown on the start page").get());
    const std::string request = avlsbench::ViewRequest(body);
    struct Conn {
        int fd = -1;
        size_t sent = 0;
        std::string got;
    };
    std::vector<Conn> live(20);
    std::vector<int> held;
    int started = 0, done = 0, next = 0;
    auto open = [&](Conn& c) {
        if (c.fd < 0 || !kept) {
            if (c.fd >= 0) held.push_back(c.fd);
            c.fd = avlsbench::Connect(servers[static_cast<size_t>(next++) % servers.size()].port);
        }
        c.sent = 0;
        c.got.clear();
        ++started;
    };
    Run run;
    auto cpu = [&] {
        double s = 0;
        for (const Server& srv : servers) s += CpuOf(srv.pid);
        return s;
    };
    const double server0 = cpu(), database0 = CpuOfCluster(postmaster);
    const auto start = std::chrono::steady_clock::now();
    for (Conn& c : live) open(c);
    std::vector<pollfd> fds(live.size());
    while (done < views) {
        for (size_t i = 0; i < live.size(); ++i)
            fds[i] = {live[i].fd, static_cast<short>(live[i].sent < request.size() ? POLLOUT : POLLIN), 0};
        if (poll(fds.data(), fds.size(), 60000) <= 0) {
            std::fprintf(stderr, "avls_cpu_bench: no answer for 60 s\n");
            std::exit(1);
        }
        for (size_t i = 0; i < live.size(); ++i) {
            Conn& c = live[i];
            if (!fds[i].revents || c.fd < 0) continue;
            char buf[4096];
            ssize_t n = c.sent < request.size() ? send(c.fd, request.data() + c.sent, request.size() - c.sent, MSG_NOSIGNAL)
                                                : read(c.fd, buf, sizeof buf);
            if (n <= 0) {
                if (n < 0 && errno == EAGAIN) continue;
                std::fprintf(stderr, "avls_cpu_bench: connection lost after %d views\n", done);
                std::exit(1);
            }
            if (c.sent < request.size()) {
                c.sent += static_cast<size_t>(n);
                continue;
            }
            c.got.append(buf, static_cast<size_t>(n));
            const int verdict = avlsbench::Verdict(c.got, ok);
            if (verdict == 0) continue;
            if (verdict < 0) {
                std::fprintf(stderr, "avls_cpu_bench: view refused: %s\n", c.got.substr(0, c.got.find("\r\n\r\n")).c_str());
                std::exit(1);
            }
            ++done;
            if (started < views) open(c);
            else held.push_back(c.fd), c.fd = -1;
        }
    }
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.serverCpu = cpu() - server0;
    run.databaseCpu = CpuOfCluster(postmaster) - database0;
    run.views = views;
    for (int fd : held) close(fd);
    for (Conn& c : live)
        if (c.fd >= 0) close(c.fd);
    return run;
}

std::string Micros(double seconds, int views) {
    char text[64];
    std::snprintf(text, sizeof text, "%.1f µs", seconds * 1e6 / views);
    return text;
}

void Print(const std::string& label, const Run& kept, const Run& shaped) {
    const double k = kept.serverCpu * 1e6 / kept.views, s = shaped.serverCpu * 1e6 / shaped.views;
    std::printf("server CPU per view, %s, kept|%s|goal %.0f µs|%.3g|<= 1\n", label.c_str(),
                Micros(kept.serverCpu, kept.views).c_str(), kGoalMicros, k / kGoalMicros);
    std::printf("server CPU per view, %s, new conn. each|%s|kept %s|%.3g|<= 2\n", label.c_str(),
                Micros(shaped.serverCpu, shaped.views).c_str(), Micros(kept.serverCpu, kept.views).c_str(), s / k);
    for (const auto& [shape, r] : {std::pair<const char*, const Run&>{"kept", kept}, {"new conn. each", shaped}}) {
        std::printf("  %s, %s: %.2f CPU-s of the servers per 10k views", label.c_str(), shape, r.serverCpu * 1e4 / r.views);
        if (r.databaseCpu > 0)
            std::printf(", %.2f of PostgreSQL (%s a view)", r.databaseCpu * 1e4 / r.views, Micros(r.databaseCpu, r.views).c_str());
        std::printf("; %.0f views/s\n", r.views / r.seconds);
    }
}

}  // namespace

int main(int argc, char** argv) {
    int views = 20000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--server")) g_server = argv[i + 1];
        else if (!std::strcmp(argv[i], "--views")) views = std::atoi(argv[i + 1]);
    }
    // The library's shape keeps a connection per view until the end.
    rlimit files;
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur < static_cast<rlim_t>(views) + 100) views = static_cast<int>(files.rlim_cur) - 100;

    char dir[] = "/tmp/flb-bench-cpu-XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    const std::string db = std::string(dir) + "/avls.db";
    {
        const std::vector<Server> one{StartServer(g_server, {"--db", db})};
        const Run kept = Drive(one, -1, true, views), shaped = Drive(one, -1, false, views);
        StopServer(one[0]);
        Print("SQLite", kept, shaped);
    }
    PostgresCluster cluster;
    const std::string whyNot = cluster.Start();
    if (whyNot.empty() && cluster.CreateDatabase("cpu")) {
        const std::vector<Server> two{StartServer(g_server, {"--db", cluster.Uri("cpu")}), StartServer(g_server, {"--db", cluster.Uri("cpu")})};
        const Run kept = Drive(two, cluster.ServerPid(), true, views),
                  shaped = Drive(two, cluster.ServerPid(), false, views);
        for (const Server& s : two) StopServer(s);
        Print("PostgreSQL x2", kept, shaped);
    } else {
        std::printf("PostgreSQL CPU lines left out: %s\n", whyNot.c_str());
    }
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) unlink((db + suffix).c_str());
    rmdir(dir);
    return 0;
}
