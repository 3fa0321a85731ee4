// View notices through the log server from 20 clients at once, each notice on a connection
// of its own (the most the server can be asked to accept): the server storing every view,
// against the same server answering without storing.
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "viewlog/LogSealer.h"

namespace {

const int kClients = 20;

struct Server {
    pid_t pid = -1;
    int port = 0;
};

// Started with --port 0; its first line on stdout names the port.
Server Start(const std::string& args) {
    int out[2];
    if (pipe(out) != 0) std::abort();
    Server s;
    s.pid = fork();
    if (s.pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execl("/bin/sh", "sh", "-c", ("exec " AVLS_SERVER " --port 0 " + args).c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::FILE* f = fdopen(out[0], "r");
    char line[128] = {};
    if (!f || !std::fgets(line, sizeof line, f) || std::sscanf(line, "listening on 127.0.0.1:%d", &s.port) != 1)
        std::abort();
    std::fclose(f);
    return s;
}

void Stop(const Server& s) {
    kill(s.pid, SIGTERM);
    waitpid(s.pid, nullptr, 0);
}

std::string Sealed(const std::string& text) { return SealText(text.c_str()).get(); }

void Notices(benchmark::State& state, const int* port) {
    const std::string ok = Sealed("OK");
    const std::string body =
        "MSG=" + Sealed("bench" + std::to_string(state.thread_index()) + ",0001234,5,an ad shown on the start page");
    httplib::Client client("127.0.0.1", *port);
    for (auto _ : state) {
        auto res = client.Post("/log.php3", body, "application/x-www-form-urlencoded");
        if (!res || res->status != 200 || res->body != ok) {
            state.SkipWithError(res ? ("answer " + std::to_string(res->status) + " " + res->get_header_value("X-AVLS-Refused")).c_str() : ("no answer: " + httplib::to_string(res.error())).c_str());
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    char dir[] = "/tmp/flb-bench-avls-XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    const std::string db = std::string(dir) + "/avls.db";
    const Server storing = Start("--db " + db), answering = Start("--no-store");
    benchmark::RegisterBenchmark("avls/stored", Notices, &storing.port)->Threads(kClients)->UseRealTime()->MinTime(1.0);
    benchmark::RegisterBenchmark("avls/not_stored", Notices, &answering.port)->Threads(kClients)->UseRealTime()->MinTime(1.0);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Stop(storing);
    Stop(answering);
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) unlink((db + suffix).c_str());
    rmdir(dir);
    return 0;
}
