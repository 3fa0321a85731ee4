// Both reference servers under the traffic an operator meets: slow and idle clients,
// bombs, a stalled standard error, many new connections at once. Each case runs the
// real binaries and judges only what a client, the operator or /proc sees.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "TestSupport.h"
#include "viewlog/LogSealer.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Sealed(const std::string& text)
{
    auto sealed = SealText(text.c_str());
    return sealed ? sealed.get() : "";
}

// Each server with the request a normal client makes and what it must be answered.
struct Kind {
    const char* name;
    std::string binary;
    std::string path;
    std::function<std::string(const std::string& tag)> body;
    std::function<bool(const HttpAnswer&)> good;
};

std::vector<Kind> Servers()
{
    std::vector<Kind> kinds = {{"log server", AVLS_SERVER, "/log.php3",
        [](const std::string& tag) { return "MSG=" + Sealed("u1,0000042,1," + tag); },
        [](const HttpAnswer& a) { return a.status == 200 && a.body == Sealed("OK"); }}};
#ifdef ADS_SERVER
    kinds.push_back({"ad server", ADS_SERVER, "/getlist.php3",
        [](const std::string&) { return std::string("CLNT_VER=1.0&USER_ID=u1"); },
        [](const HttpAnswer& a) { return a.status == 200 && a.body.rfind("RESULT:0\n", 0) == 0; }});
#endif
    return kinds;
}

// A server of that kind on a store of its own.
struct Running {
    Running(const Kind& kind, std::vector<std::string> args = {}, const std::string& errFile = "", bool start = true)
        : kind(kind)
    {
        if (kind.binary == AVLS_SERVER)
            args.insert(args.end(), {"--db", folder.Path("views.db")});
        else
            args.insert(args.end(), {"--content", FLB_SOURCE_DIR "/tools/ads-server/demo/content"});
        this->args = args;
        started = start && server.Start(kind.binary, args, errFile);
    }
    std::string Request(const std::string& tag = "x") const { return FormPost(kind.body(tag), kind.path); }
    // A normal client on a new connection, answered rightly within timeoutMs.
    bool Served(int timeoutMs, const std::string& tag = "x") const
    {
        const int fd = ConnectLocal(server.Port());
        const bool ok = kind.good(Ask(fd, Request(tag), timeoutMs));
        if (fd >= 0)
            close(fd);
        return ok;
    }
    size_t Stored() const
    {
        Program dump({AVLS_SERVER, "--dump", "--db", folder.Path("views.db")});
        dump.Wait(30000);
        return static_cast<size_t>(Count(dump.Out(), "\n"));
    }
    const Kind& kind;
    std::vector<std::string> args;
    TempFolder folder;
    ServerRun server;
    bool started = false;
};

// Enough descriptors for the crowds here, in this process and the servers it starts.
void RaiseFileLimit()
{
    rlimit r;
    getrlimit(RLIMIT_NOFILE, &r);
    r.rlim_cur = std::min<rlim_t>(r.rlim_max, 65536);
    setrlimit(RLIMIT_NOFILE, &r);
}

// Clients that hold connections in the background: each either trickles a request head
// that never ends, a byte every 0.9 s, or stays silent and opens again when dropped.
class Attackers
{
public:
    Attackers(int port, int trickling, int idle) : m_port(port)
    {
        for (int i = 0; i < trickling + idle; ++i)
            m_fds.push_back({ConnectLocal(port, false), i < trickling});
        m_thread = std::thread([this] { Run(); });
    }
    ~Attackers()
    {
        m_stop = true;
        m_thread.join();
        for (auto& c : m_fds)
            close(c.fd);
    }

private:
    void Run()
    {
        const std::string head = "POST /log.php3 HTTP/1.1\r\nHost: x\r\nX-Padding: " + std::string(1000, 'p');
        Clock::time_point next = Clock::now();
        for (size_t at = 0; !m_stop;) {
            const bool trickle = Clock::now() >= next;
            if (trickle)
                next += std::chrono::milliseconds(900), ++at;
            for (auto& c : m_fds) {
                char b;
                if (!c.trickle && recv(c.fd, &b, 1, MSG_DONTWAIT) == 0)
                    close(c.fd), c.fd = ConnectLocal(m_port, false);
                else if (c.trickle && trickle)
                    send(c.fd, &head[at % head.size()], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            }
            std::this_thread::sleep_until(std::min(next, Clock::now() + std::chrono::milliseconds(100)));
        }
    }
    struct Held {
        int fd;
        bool trickle;
    };
    const int m_port;
    std::vector<Held> m_fds;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Each request on a connection of its own, opened `spacing` after the one before and
// kept open to the end, as the library's connection cache keeps it. The answers as they
// came (status 0: none whole before the deadline); a server that stops reading a request
// may still have answered it.
std::vector<HttpAnswer> Exchanges(int port, const std::vector<std::string>& requests,
                                  std::chrono::microseconds spacing, Clock::time_point deadline)
{
    struct Client {
        int fd = -1;
        size_t sent = 0;
        bool sending = true, done = false;
        std::string got;
    };
    const size_t count = requests.size();
    std::vector<Client> all(count);
    std::vector<HttpAnswer> answers(count);
    const Clock::time_point start = Clock::now();
    size_t opened = 0, answered = 0;
    std::vector<pollfd> fds;
    std::vector<size_t> owner;
    while (answered < count && Clock::now() < deadline) {
        for (; opened < count && Clock::now() >= start + spacing * opened; ++opened)
            all[opened].fd = ConnectLocal(port, false);
        fds.clear();
        owner.clear();
        for (size_t i = 0; i < opened; ++i)
            if (!all[i].done) {
                fds.push_back({all[i].fd, static_cast<short>(POLLIN | (all[i].sending ? POLLOUT : 0)), 0});
                owner.push_back(i);
            }
        poll(fds.data(), fds.size(), 1);
        for (size_t k = 0; k < fds.size(); ++k) {
            Client& c = all[owner[k]];
            const std::string& out = requests[owner[k]];
            char buf[65536];
            ssize_t n;
            if (c.sending && fds[k].revents & POLLOUT) {
                if ((n = send(c.fd, out.data() + c.sent, std::min<size_t>(out.size() - c.sent, 1 << 20), MSG_NOSIGNAL)) > 0)
                    c.sent += static_cast<size_t>(n);
                c.sending = c.sent < out.size() && (n > 0 || errno == EAGAIN);
            }
            bool ended = false;
            if (fds[k].revents & (POLLIN | POLLHUP | POLLERR)) {
                if ((n = read(c.fd, buf, sizeof buf)) > 0)
                    c.got.append(buf, static_cast<size_t>(n));
                ended = n == 0 || (n < 0 && errno != EAGAIN);
            }
            if (ParseAnswer(c.got, &answers[owner[k]]) || ended) {
                c.done = true;
                ++answered;
            }
        }
    }
    for (Client& c : all)
        if (c.fd >= 0)
            close(c.fd);
    return answers;
}

// Every one of `clients` normal clients answered rightly.
bool CrowdServed(const Running& r, int clients, std::chrono::microseconds spacing, Clock::time_point deadline)
{
    std::vector<std::string> requests;
    for (int i = 0; i < clients; ++i)
        requests.push_back(r.Request("c" + std::to_string(i)));
    int good = 0;
    for (const HttpAnswer& a : Exchanges(r.server.Port(), requests, spacing, deadline))
        good += r.kind.good(a);
    return good == clients;
}

long KibOf(pid_t pid, const std::string& field)
{
    const std::string status = ReadText("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find(field + ":");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + field.size() + 1);
}

class ServerLoad : public ::testing::Test
{
protected:
    void SetUp() override { RaiseFileLimit(); }
};

TEST_F(ServerLoad, SlowSendersAndIdleConnectionsLeaveNormalClientsServed)
{
    for (const Kind& kind : Servers()) {
        for (const auto& [trickling, idle] : {std::pair<int, int>{600, 0}, {0, 1000}}) {
            SCOPED_TRACE(std::string(kind.name) + ", trickling " + std::to_string(trickling) + ", idle " +
                         std::to_string(idle));
            Running r(kind);
            ASSERT_TRUE(r.started);
            Attackers attack(r.server.Port(), trickling, idle);
            std::this_thread::sleep_for(std::chrono::seconds(2));
            // Twenty normal clients in turn, all before the slow senders' own 10 s are up.
            const Clock::time_point deadline = Clock::now() + std::chrono::seconds(6);
            int served = 0;
            for (int i = 0; i < 20 && Clock::now() < deadline; ++i)
                served += r.Served(static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                        deadline - Clock::now()).count()));
            EXPECT_EQ(served, 20);
        }
    }
}

TEST_F(ServerLoad, HeaderAndBodyBombsAreRefusedWithinBoundedMemory)
{
    for (const Kind& kind : Servers()) {
        SCOPED_TRACE(kind.name);
        Running r(kind);
        ASSERT_TRUE(r.started);
        ASSERT_TRUE(r.Served(10000));
        const long before = KibOf(r.server.Pid(), "VmHWM");
        const std::string start = "POST " + kind.path + " HTTP/1.1\r\nHost: x\r\n";
        std::string headers = start;
        while (headers.size() < 100000000)
            headers += "X-Bomb: " + std::string(1000, 'b') + "\r\n";
        const std::string body = start + "Content-Type: application/x-www-form-urlencoded\r\n"
                                         "Content-Length: 100000000\r\n\r\nMSG=" + std::string(100000000 - 4, 'a');
        const auto answers = Exchanges(r.server.Port(), {headers, body}, std::chrono::seconds(1),
                                       Clock::now() + std::chrono::seconds(30));
        EXPECT_EQ(answers[0].status, 431);
        EXPECT_EQ(answers[1].status, 413);
        EXPECT_TRUE(r.Served(10000));
        EXPECT_LT(KibOf(r.server.Pid(), "VmHWM") - before, 64 * 1024);
    }
}

TEST_F(ServerLoad, AStalledStandardErrorNeitherStopsServingNorAStop)
{
    for (const Kind& kind : Servers()) {
        for (const bool verbose : {true, false}) {
            SCOPED_TRACE(std::string(kind.name) + (verbose ? " --verbose" : ""));
            // A pipe nobody reads: opened here so that the server's open does not wait.
            TempFolder folder;
            const std::string fifo = folder.Path("stderr");
            ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
            const int unread = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            Running r(kind, verbose ? std::vector<std::string>{"--verbose"} : std::vector<std::string>{}, fifo);
            ASSERT_TRUE(r.started);
            // Requests that are served and requests refused for their size, a line each
            // where the server logs them.
            const int kept = ConnectLocal(r.server.Port());
            const std::string tooLarge = "POST " + kind.path + " HTTP/1.1\r\nHost: x\r\nContent-Length: 2000000\r\n\r\n";
            int answered = 0;
            for (int i = 0; i < 1000 && answered == 2 * i; ++i) {
                answered += kind.good(Ask(kept, r.Request(std::to_string(i)), 5000));
                const int fd = ConnectLocal(r.server.Port());
                answered += Ask(fd, tooLarge, 5000).status == 413;
                close(fd);
            }
            close(kept);
            EXPECT_EQ(answered, 2000);
            EXPECT_EQ(r.server.Stop(SIGTERM, 5000), 0);
            close(unread);
        }
    }
}

TEST_F(ServerLoad, SigtermUnderAttackStopsWithZero)
{
    for (const Kind& kind : Servers()) {
        SCOPED_TRACE(kind.name);
        Running r(kind);
        ASSERT_TRUE(r.started);
        Attackers attack(r.server.Port(), 600, 500);
        std::this_thread::sleep_for(std::chrono::seconds(2));
        EXPECT_EQ(r.server.Stop(SIGTERM, 5000), 0);
    }
}

TEST_F(ServerLoad, TheLibrarysShapeAndThreeHundredAtOnceAreAllServed)
{
    for (const Kind& kind : Servers()) {
        SCOPED_TRACE(kind.name);
        Running r(kind);
        ASSERT_TRUE(r.started);
        // 5000 clients over five seconds, each with a connection of its own that it keeps.
        const Clock::time_point start = Clock::now();
        EXPECT_TRUE(CrowdServed(r, 5000, std::chrono::microseconds(1000), start + std::chrono::seconds(8)));
        if (kind.binary == AVLS_SERVER) {
            EXPECT_EQ(r.Stored(), 5000u);
        }
        // Rounds of 300 connecting at the same moment: none waits on a full backlog.
        for (int round = 0; round < 5; ++round)
            EXPECT_TRUE(CrowdServed(r, 300, std::chrono::microseconds(0), Clock::now() + std::chrono::seconds(3)));
        EXPECT_EQ(r.server.Stop(), 0);
    }
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)   // they reserve terabytes
TEST_F(ServerLoad, TooLittleAddressSpaceOrTooFewThreadsServeOrExitOneBeforeListening)
{
    std::vector<std::string> limits = {"ulimit -v 4000000", "ulimit -v 1000000", "ulimit -v 400000"};
    if (geteuid() != 0)   // root's threads are not counted
        limits.push_back("ulimit -u 300");
    for (const Kind& kind : Servers()) {
        for (const std::string& limit : limits) {
            SCOPED_TRACE(std::string(kind.name) + ", " + limit);
            const Running unstarted(kind, {}, "", false);
            std::vector<std::string> argv = {"/bin/sh", "-c", limit + " && exec \"$0\" \"$@\"", kind.binary,
                                             "--port", "0"};
            argv.insert(argv.end(), unstarted.args.begin(), unstarted.args.end());
            Program p(argv, true);
            if (p.WaitFor("\n", 30000)) {
                const int port = std::atoi(p.Out().c_str() + p.Out().rfind(':') + 1);
                const int fd = ConnectLocal(port);
                EXPECT_TRUE(kind.good(Ask(fd, FormPost(kind.body("limited"), kind.path), 10000)));
                close(fd);
                p.Signal(SIGTERM);
                EXPECT_EQ(p.Wait(10000), 0) << p.Err();
            } else {
                EXPECT_EQ(p.Wait(10000), 1) << p.Err();
                EXPECT_EQ(p.Out(), "");
                EXPECT_EQ(Count(p.Err(), "\n"), 1) << p.Err();
            }
        }
    }
}
#endif

} // namespace
