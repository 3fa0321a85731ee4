// Views stored per second by the log server: SQLite with one server, PostgreSQL with one
// and with two servers on one database, at 20 and 100 clients that keep their connection
// between views as the library does; and the same with one connection per view, the most
// a server can be asked to accept. Each client also measures its own 99th percentile of
// the time to a confirmed view (reported averaged over the clients). "not_stored" is the
// server answering without storing: what the storing is measured against.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "../tests/PostgresCluster.h"
#include "AvlsClient.h"
#include "viewlog/LogSealer.h"

namespace {

using avlsbench::Server;
using avlsbench::StartServer;
using avlsbench::StopServer;

std::string Sealed(const std::string& text) { return SealText(text.c_str()).get(); }

// The servers a run's clients are spread over, and how they connect.
struct Setup {
    std::vector<int> ports;
    bool kept = true;
};

void Views(benchmark::State& state, const Setup* setup) {
    const std::string ok = Sealed("OK");
    const std::string body =
        "MSG=" + Sealed("bench" + std::to_string(state.thread_index()) + ",0001234,5,an ad shown on the start page");
    const int port = setup->ports[static_cast<size_t>(state.thread_index()) % setup->ports.size()];
    const std::string request = avlsbench::ViewRequest(body);
    int fd = -1;
    std::vector<double> ms;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        if (fd >= 0 && !setup->kept) close(fd), fd = -1;
        if (fd < 0) fd = avlsbench::Connect(port);
        const std::string got = avlsbench::Exchange(fd, request, ok, 60000);
        if (avlsbench::Verdict(got, ok) != 1) {
            state.SkipWithError(got.empty() ? "no answer" : ("answer " + got.substr(0, got.find("\r\n\r\n"))).c_str());
            break;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    if (fd >= 0) close(fd);
    state.SetItemsProcessed(state.iterations());
    if (!ms.empty()) {
        std::sort(ms.begin(), ms.end());
        state.counters["p99_ms"] = benchmark::Counter(ms[ms.size() * 99 / 100], benchmark::Counter::kAvgThreads);
    }
}

void Register(const std::string& name, const Setup* setup, int clients) {
    benchmark::RegisterBenchmark(name.c_str(), Views, setup)->Threads(clients)->UseRealTime()->MinTime(2.0);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    char dir[] = "/tmp/flb-bench-avls-XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    const std::string db = std::string(dir) + "/avls.db";
    std::vector<Server> servers{StartServer(AVLS_SERVER, {"--db", db}), StartServer(AVLS_SERVER, {"--no-store"})};
    Setup sqlite{{servers[0].port}}, answering{{servers[1].port}};
    Setup sqlitePerView{{servers[0].port}, false};

    PostgresCluster cluster;
    const std::string whyNot = cluster.Start();
    Setup pg1, pg2, pg2PerView;
    if (whyNot.empty() && cluster.CreateDatabase("bench1") && cluster.CreateDatabase("bench2")) {
        servers.push_back(StartServer(AVLS_SERVER, {"--db", cluster.Uri("bench1")}));
        pg1.ports = {servers.back().port};
        for (int i = 0; i < 2; ++i) {
            servers.push_back(StartServer(AVLS_SERVER, {"--db", cluster.Uri("bench2")}));
            pg2.ports.push_back(servers.back().port);
        }
        pg2PerView = pg2;
        pg2PerView.kept = false;
    } else {
        std::fprintf(stderr, "avls_bench: PostgreSQL runs left out: %s\n", whyNot.c_str());
    }
    for (int clients : {20, 100}) {
        const std::string n = "/" + std::to_string(clients);
        Register("avls/sqlite_1" + n, &sqlite, clients);
        if (!pg1.ports.empty()) {
            Register("avls/postgres_1" + n, &pg1, clients);
            Register("avls/postgres_2" + n, &pg2, clients);
        }
        Register("avls/not_stored" + n, &answering, clients);
    }
    Register("avls/sqlite_1_per_view/20", &sqlitePerView, 20);
    if (!pg2PerView.ports.empty()) Register("avls/postgres_2_per_view/20", &pg2PerView, 20);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (const Server& s : servers) StopServer(s);
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) unlink((db + suffix).c_str());
    rmdir(dir);
    return 0;
}
