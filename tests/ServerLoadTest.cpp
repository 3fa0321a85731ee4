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

// Connection started, not awaited: a full backlog must not stall the test.
int ConnectNow(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 || errno == EINPROGRESS)
        return fd;
    close(fd);
    return -1;
}

// Clients that hold connections in the background: each either trickles a request head
// that never ends, a byte every 0.9 s, or stays silent and opens again when dropped.
class Attackers
{
public:
    Attackers(int port, int trickling, int idle) : m_port(port)
    {
        for (int i = 0; i < trickling + idle; ++i)
            m_fds.push_back({ConnectNow(port), i < trickling});
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
                    close(c.fd), c.fd = ConnectNow(m_port);
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

// Many clients, each on a connection of its own opened at its due time, sending one
// request and keeping the connection, as the library's connection cache does. True
// when every one was answered rightly before the deadline.
bool Crowd(const Running& r, int clients, std::chrono::microseconds spacing, Clock::time_point deadline)
{
    struct Client {
        int fd = -1;
        std::string out, got;
        bool done = false;
    };
    std::vector<Client> all(clients);
    const Clock::time_point start = Clock::now();
    int opened = 0, answered = 0;
    bool allGood = true;
    std::vector<pollfd> fds;
    std::vector<Client*> owner;
    while (answered < clients && Clock::now() < deadline) {
        for (; opened < clients && Clock::now() >= start + spacing * opened; ++opened) {
            all[opened].fd = ConnectNow(r.server.Port());
            all[opened].out = r.Request("c" + std::to_string(opened));
        }
        fds.clear();
        owner.clear();
        for (int i = 0; i < opened; ++i)
            if (!all[i].done) {
                fds.push_back({all[i].fd, static_cast<short>(all[i].out.empty() ? POLLIN : POLLOUT), 0});
                owner.push_back(&all[i]);
            }
        poll(fds.data(), fds.size(), 1);
        for (size_t i = 0; i < fds.size(); ++i) {
            if (!fds[i].revents)
                continue;
            Client* c = owner[i];
            char buf[4096];
            const ssize_t n = c->out.empty() ? read(c->fd, buf, sizeof buf)
                                             : send(c->fd, c->out.data(), c->out.size(), MSG_NOSIGNAL);
            if (n > 0 && c->out.empty())
                c->got.append(buf, static_cast<size_t>(n));
            else if (n > 0)
                c->out.erase(0, static_cast<size_t>(n));
            HttpAnswer a;
            if ((n <= 0 && errno != EAGAIN) || ParseAnswer(c->got, &a)) {
                allGood = allGood && r.kind.good(a);
                c->done = true;
                ++answered;
            }
        }
    }
    for (Client& c : all)
        if (c.fd >= 0)
            close(c.fd);
    return allGood && answered == clients;
}

// Sends a bomb until the server answers or stops reading; its answer.
HttpAnswer Bomb(int port, const std::string& head, const std::string& chunk, size_t total)
{
    const int fd = ConnectNow(port);
    std::string out = head, got;
    HttpAnswer a;
    size_t sent = 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(30);
    while (!ParseAnswer(got, &a) && Clock::now() < deadline) {
        pollfd p = {fd, static_cast<short>(POLLIN | (sent < total ? POLLOUT : 0)), 0};
        poll(&p, 1, 100);
        char buf[4096];
        ssize_t n;
        if (p.revents & POLLIN) {
            if ((n = read(fd, buf, sizeof buf)) <= 0)
                break;
            got.append(buf, static_cast<size_t>(n));
        } else if (p.revents & POLLOUT) {
            if (out.empty())
                out = chunk;
            if ((n = send(fd, out.data(), out.size(), MSG_NOSIGNAL)) <= 0)
                continue;   // refused: its answer may still be there to read
            sent += static_cast<size_t>(n);
            out.erase(0, static_cast<size_t>(n));
        } else if (p.revents) {
            break;
        }
    }
    close(fd);
    ParseAnswer(got, &a);
    return a;
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
        const std::string header = "X-Bomb: " + std::string(1000, 'b') + "\r\n";
        std::string lines;
        while (lines.size() < 65536)
            lines += header;
        EXPECT_EQ(Bomb(r.server.Port(), start, lines, 100000000).status, 431);
        EXPECT_EQ(Bomb(r.server.Port(), start + "Content-Type: application/x-www-form-urlencoded\r\n"
                                                "Content-Length: 100000000\r\n\r\n",
                       "MSG=" + std::string(65536, 'a'), 100000000).status, 413);
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
        EXPECT_TRUE(Crowd(r, 5000, std::chrono::microseconds(1000), start + std::chrono::seconds(8)));
        if (kind.binary == AVLS_SERVER) {
            EXPECT_EQ(r.Stored(), 5000u);
        }
        // Rounds of 300 connecting at the same moment: none waits on a full backlog.
        for (int round = 0; round < 5; ++round)
            EXPECT_TRUE(Crowd(r, 300, std::chrono::microseconds(0), Clock::now() + std::chrono::seconds(3)));
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
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
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
