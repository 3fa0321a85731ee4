// The reference log server, run as the real binary on an ephemeral port.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <ctime>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../tools/avls-server/Notice.h"
#include "PostgresCluster.h"
#include "TestSupport.h"
#include "viewlog/Base64.h"
#include "viewlog/DesCipher.h"
#include "viewlog/LogSealer.h"

namespace {

const char kForm[] = "application/x-www-form-urlencoded";
const std::string kGoodLine = "u1,0001234,-5,x";

std::string Sealed(const std::string& text)
{
    auto sealed = SealText(text.c_str());
    return sealed ? sealed.get() : "";
}

std::string Notice(const std::string& line)
{
    return "MSG=" + Sealed(line);
}

using Rows = std::vector<std::vector<std::string>>;

// What --dump prints, split into its tab-separated fields.
Rows DumpRows(const std::string& db)
{
    Program dump({AVLS_SERVER, "--dump", "--db", db}, true);
    EXPECT_EQ(dump.Wait(30000), 0) << dump.Err();
    Rows rows;
    std::istringstream lines(dump.Out());
    for (std::string line; std::getline(lines, line);) {
        rows.emplace_back();
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, '\t');)
            rows.back().push_back(field);
    }
    return rows;
}

// Runs the log server's command line to its end; p keeps what it printed.
int RunAvls(Program& p, std::vector<std::string> args)
{
    args.insert(args.begin(), AVLS_SERVER);
    p.Start(args, true);
    return p.Wait(30000);
}

// The log server on a store of its own: a fresh SQLite file unless given a database.
class Avls : public ServerRun
{
public:
    explicit Avls(std::vector<std::string> args = {}, const std::string& db = "", const std::string& errFile = "")
        : m_db(db.empty() ? m_folder.Path("views.db") : db)
    {
        args.insert(args.end(), {"--db", m_db});
        EXPECT_TRUE(Start(AVLS_SERVER, args, errFile));
    }
    ~Avls() { Stop(); }

    HttpAnswer Post(const std::string& body, const std::string& type = kForm,
                    const std::string& path = "/log.php3") const
    {
        return AskOnce(Port(), FormPost(body, path, type), 10000);
    }
    const std::string& Db() const { return m_db; }
    Rows Stored() const { return DumpRows(m_db); }

private:
    TempFolder m_folder;
    std::string m_db;
};

// A notice sent raw, as the library sends it; the answer as it came.
struct Answer {
    int status = 0;
    size_t announced = 0;   // its Content-Length
    std::string body;
};

Answer Exchange(int port, const std::string& notice)
{
    const std::string raw =
        RawHttp(port, "POST /log.php3 HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\n"
                      "User-Agent: Tidewell\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                      "Connection: close\r\nContent-Length: " +
                          std::to_string(notice.size()) + "\r\n\r\n" + notice,
                5000);
    Answer a;
    const size_t end = raw.find("\r\n\r\n"), length = raw.find("Content-Length: ");
    if (raw.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos)
        return a;
    a.status = std::atoi(raw.c_str() + 9);
    a.announced = length < end ? std::stoul(raw.substr(length + 16)) : 0;
    a.body = raw.substr(end + 4);
    return a;
}

// Each test on a fresh PostgreSQL database, skipped where no cluster can be made.
class PostgresServers : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // One cluster for the whole test program, made on first use.
        static std::unique_ptr<PostgresCluster> cluster;
        static std::string whyNot;
        static int made = 0;
        if (!cluster && whyNot.empty()) {
            cluster.reset(new PostgresCluster);
            if (!(whyNot = cluster->Start()).empty())
                cluster.reset();
        }
        if (!cluster)
            GTEST_SKIP() << whyNot;
        const std::string name = "views" + std::to_string(++made);
        ASSERT_TRUE(cluster->CreateDatabase(name));
        m_cluster = cluster.get();
        m_db = cluster->Uri(name);
    }

    PostgresCluster* m_cluster = nullptr;
    std::string m_db;
};

// The protocol against each store: the same cases on SQLite and on PostgreSQL.
class AvlsStorage : public PostgresServers, public ::testing::WithParamInterface<const char*>
{
protected:
    void SetUp() override
    {
        if (std::string(GetParam()) == "Postgres")
            PostgresServers::SetUp();
    }
    // On SQLite m_db stays empty: each server makes a file of its own.
    bool OnPostgres() const { return !m_db.empty(); }
};

INSTANTIATE_TEST_SUITE_P(Storage, AvlsStorage, ::testing::Values("SQLite", "Postgres"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

TEST_P(AvlsStorage, StoresEachFieldAsTheClientFormattedIt)
{
    struct Case {
        std::string line;
        std::vector<std::string> fields;   // user id, code, number, text as dumped
    };
    const std::string id40(40, 'i');
    const Case cases[] = {
        {kGoodLine, {"u1", "0001234", "-5", "x"}},
        {"shop,7,0001234,7,a,b", {"shop,7", "0001234", "7", "a,b"}},              // commas in the user id and text
        {",0000000,0,x", {"", "0000000", "0", "x"}},                              // no FLBUpdate yet
        {"u,4294967295,2147483647,x", {"u", "4294967295", "2147483647", "x"}},
        {"u,12345678,-2147483648,x", {"u", "12345678", "-2147483648", "x"}},
        {id40 + ",0001234,1,x", {id40, "0001234", "1", "x"}},
        {"u1,0001234,-5,\x93\xfa\x96\x7b", {"u1", "0001234", "-5", "\x93\xfa\x96\x7b"}},   // cp932, unchanged
        {"u1,0001234,-5,a\tb\nc\\d\re", {"u1", "0001234", "-5", "a\\tb\\nc\\\\d\\re"}},  // kept on one dump line
    };
    Avls server({}, m_db);
    const time_t before = std::time(nullptr);
    for (const auto& c : cases) {
        auto res = server.Post(Notice(c.line));
        ASSERT_TRUE(res) << c.line;
        EXPECT_EQ(res.status, 200) << c.line;
        EXPECT_EQ(res.body, Sealed("OK")) << c.line << ": " << res.Header("X-AVLS-Refused");
        EXPECT_EQ(res.head.find("X-AVLS-Refused"), std::string::npos) << c.line;
    }
    const time_t after = std::time(nullptr);
    const Rows rows = server.Stored();
    ASSERT_EQ(rows.size(), std::size(cases));
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(cases[i].line);
        ASSERT_EQ(rows[i].size(), 6u);
        EXPECT_EQ(std::vector<std::string>(rows[i].begin(), rows[i].begin() + 4), cases[i].fields);
        // Received within the exchange, in UTC.
        struct tm tm = {};
        ASSERT_NE(strptime(rows[i][4].c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm), nullptr) << rows[i][4];
        EXPECT_GE(timegm(&tm), before);
        EXPECT_LE(timegm(&tm), after);
        EXPECT_EQ(rows[i][5], "127.0.0.1");
    }
}

// The line zero-padded to whole blocks and extraBlocks more, sealed with the cipher as
// it is, so tests can build notices that a correct client never sends.
std::string SealBlocks(const CDesCipher& cipher, const std::string& line, size_t extraBlocks)
{
    std::vector<unsigned char> plain(line.begin(), line.end());
    plain.resize(((plain.size() + 7) / 8 + extraBlocks) * 8, 0);
    std::vector<unsigned char> sealed(plain.size());
    cipher.Encrypt(plain.data(), sealed.data(), plain.size());
    std::vector<char> text(4 * ((sealed.size() + 2) / 3) + 5);
    EXPECT_TRUE(CBase64().Encode(sealed.data(), sealed.size(), text.data(), text.size()));
    return text.data();
}

TEST_P(AvlsStorage, RefusesMalformedNoticesWithTheSealedNgAndStoresNothing)
{
    struct Case {
        std::string name;
        std::string body;
        std::string reason;   // X-AVLS-Refused; empty: any refusal
        std::string type = kForm;
    };
    // With a "/" that URL-encoding changes and the "-" of the sealing's alphabet.
    const std::string good = "BZj/H-JbwU1LwNQ/H/9Qag==";
    ASSERT_EQ(Sealed(kGoodLine), good);
    CDesCipher otherKeys;
    ASSERT_TRUE(otherKeys.SetPassphrase("not the shared one"));

    const Case cases[] = {
        {"garbage", "hello world", "no-msg"},
        {"sealed text without MSG=", good, "no-msg"},
        {"lower-case field name", "msg=" + good, "no-msg"},
        {"another field first", "X=1&MSG=" + good, "no-msg"},
        {"another field after", "MSG=" + good + "&X=1", "not-sealed"},
        {"empty MSG", "MSG=", "not-sealed"},
        {"unsealed line", "MSG=" + kGoodLine, "not-sealed"},
        {"URL-encoded", "MSG=BZj%2FH-JbwU1LwNQ%2FH%2F9Qag==", "not-sealed"},
        {"plain Base64 alphabet", "MSG=BZj/H+JbwU1LwNQ/H/9Qag==", "not-sealed"},
        {"line break inside", "MSG=BZj/H-Jb\r\nwU1LwNQ/H/9Qag==", "not-sealed"},
        {"no whole block", "MSG=abcd", "unopenable"},
        {"another passphrase", "MSG=" + SealBlocks(otherKeys, kGoodLine, 0), ""},
        {"extra pad block", "MSG=" + SealBlocks(CLogSealer(), "ab,0000001,0,xyz", 1), "padding"},
        {"one field", Notice("u1"), "fields"},
        {"two fields", Notice("u1,0001234"), "fields"},
        {"three fields", Notice("u1,0001234,-5"), "fields"},
        {"empty text", Notice("u1,0001234,-5,"), "text"},
        {"code not numeric", Notice("u1,00a1234,-5,x"), "code"},
        {"code of six digits", Notice("u1,123456,-5,x"), "code"},
        {"code zero-filled past seven", Notice("u1,00012345,-5,x"), "code"},
        {"code beyond 32 bits", Notice("u1,4294967296,-5,x"), "code"},
        {"code negative", Notice("u1,-001234,-5,x"), "code"},
        {"number with plus", Notice("u1,0001234,+5,x"), "number"},
        {"number zero-filled", Notice("u1,0001234,05,x"), "number"},
        {"minus zero", Notice("u1,0001234,-0,x"), "number"},
        {"number beyond 32 bits", Notice("u1,0001234,2147483648,x"), "number"},
        {"number missing", Notice("u1,0001234,,x"), "number"},
        {"user id past 40 bytes", Notice(std::string(41, 'i') + ",0001234,1,x"), "user-id"},
        {"not a form", Notice(kGoodLine), "not-form", "text/plain"},
    };
    Avls server({}, m_db);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto res = server.Post(c.body, c.type);
        ASSERT_TRUE(res);
        EXPECT_EQ(res.status, 200);
        EXPECT_EQ(res.body, Sealed("NG"));
        const std::string reason = res.Header("X-AVLS-Refused");
        if (c.reason.empty())
            EXPECT_NE(reason, "");
        else
            EXPECT_EQ(reason, c.reason);
    }
    EXPECT_TRUE(server.Stored().empty());
}

TEST_P(AvlsStorage, AcceptsPostOnAnyPathAndNothingElse)
{
    Avls server({}, m_db);
    for (const char* path : {"/log.php3", "/", "/avls/cgi/log.php3?from=host", "/other"}) {
        auto res = server.Post(Notice(kGoodLine), kForm, path);
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res.body, Sealed("OK")) << path;
    }
    const HttpAnswer get = AskOnce(server.Port(), "GET /log.php3 HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(get.status, 405);
    EXPECT_EQ(get.Header("Allow"), "POST");
    // Methods that may carry a body are answered without waiting for one.
    for (const char* method : {"PUT", "PATCH", "DELETE", "OPTIONS"}) {
        const std::string answer =
            RawHttp(server.Port(), std::string(method) + " /log.php3 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
        EXPECT_EQ(answer.rfind("HTTP/1.1 405", 0), 0u) << method << ": " << answer;
    }
    EXPECT_EQ(server.Stored().size(), 4u);
}

TEST_P(AvlsStorage, TakesABodyUpToOneMebibyteAndRefusesALargerOneWith413)
{
    Avls server({}, m_db);
    // The longest line whose notice fits: sealing pads to 8 bytes, then 4 characters per 3.
    const std::string head = "u1,0001234,1,";
    const size_t sealedRoom = (avls::kMaxNoticeBytes - 4) / 4 * 3 / 8 * 8 - 1;
    const std::string text(sealedRoom - head.size(), 'x');
    const std::string fits = Notice(head + text);
    ASSERT_LE(fits.size(), avls::kMaxNoticeBytes);
    auto stored = server.Post(fits);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored.status, 200);
    EXPECT_EQ(stored.body, Sealed("OK"));

    // Refused on the length it announces, before a byte of the body is read.
    const std::string request = "POST /log.php3 HTTP/1.1\r\nHost: x\r\nContent-Type: " + std::string(kForm) +
                                "\r\nConnection: close\r\n";
    const std::string announced =
        RawHttp(server.Port(), request + "Content-Length: " + std::to_string(avls::kMaxNoticeBytes + 1) + "\r\n\r\n");
    EXPECT_EQ(announced.rfind("HTTP/1.1 413", 0), 0u) << announced;
    EXPECT_NE(announced.find("X-AVLS-Refused: size"), std::string::npos) << announced;
    // Sent in chunks there is no length to go by: the count stops it at the first byte over.
    char size[32];
    std::snprintf(size, sizeof size, "%zx", avls::kMaxNoticeBytes);
    const std::string padding(avls::kMaxNoticeBytes - fits.size(), 'A');
    const std::string chunked = RawHttp(server.Port(), request + "Transfer-Encoding: chunked\r\n\r\n" + size +
                                                           "\r\n" + fits + padding + "\r\n1\r\nA\r\n");
    EXPECT_EQ(chunked.rfind("HTTP/1.1 413", 0), 0u) << chunked;

    const Rows rows = server.Stored();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][3], text);
}

// Views from clients that each send theirs in turn, pausing between two as a host does;
// midway runs once half of them are confirmed. Each view's text names it.
struct Burst {
    std::set<std::string> confirmed;
    int refused = 0;
};

Burst SendViews(const std::vector<const Avls*>& servers, int clientsEach, int viewsEach, int pauseMs = 0,
                bool keepAlive = true, const std::function<void()>& midway = {})
{
    Burst burst;
    std::mutex mutex;
    std::atomic<int> confirmed{0}, refused{0};
    std::vector<std::thread> clients;
    for (size_t s = 0; s < servers.size(); ++s) {
        const int port = servers[s]->Port();   // taken once: midway may stop the server
        for (int c = 0; c < clientsEach; ++c) {
            clients.emplace_back([&, s, c, port] {
                int fd = -1;
                for (int i = 0; i < viewsEach; ++i) {
                    pollfd p = {fd, POLLIN, 0};   // readable when the server has closed it
                    if (fd < 0 || !keepAlive || poll(&p, 1, 0) != 0)
                        close(fd), fd = ConnectLocal(port);
                    const std::string text = "s" + std::to_string(s) + "c" + std::to_string(c) + "v" + std::to_string(i);
                    const HttpAnswer res =
                        Ask(fd, FormPost(Notice("u" + std::to_string(c) + ",0000042," + std::to_string(i) + "," + text)));
                    if (res.status == 200 && res.body == Sealed("OK")) {
                        std::lock_guard<std::mutex> lock(mutex);
                        burst.confirmed.insert(text);
                        ++confirmed;
                    } else {
                        ++refused;
                        std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
                }
                close(fd);
            });
        }
    }
    if (midway) {
        const int half = static_cast<int>(servers.size()) * clientsEach * viewsEach / 2;
        while (confirmed < half && refused == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        midway();
    }
    for (auto& t : clients)
        t.join();
    burst.refused = refused;
    return burst;
}

// Every confirmed view is stored, and no view twice.
void ExpectStoredOnce(const std::string& db, const Burst& burst)
{
    std::map<std::string, int> stored;
    for (const auto& row : DumpRows(db)) {
        ASSERT_EQ(row.size(), 6u);
        ++stored[row[3]];
    }
    for (const auto& text : burst.confirmed)
        EXPECT_EQ(stored.count(text), 1u) << text << " was confirmed but not stored";
    for (const auto& s : stored)
        EXPECT_EQ(s.second, 1) << s.first << " stored " << s.second << " times";
}

TEST_P(AvlsStorage, AnswersTwentyClientsAtOnceAndStoresEveryNotice)
{
    // Each view on a connection of its own, twenty at once. --no-store answers the
    // fastest and so meets the fullest backlog.
    for (bool store : {true, false}) {
        if (!store && OnPostgres())
            continue;
        SCOPED_TRACE(store ? "storing" : "--no-store");
        Avls server(store ? std::vector<std::string>{} : std::vector<std::string>{"--no-store"}, m_db);
        const Burst burst = SendViews({&server}, 20, 10, 0, false);
        EXPECT_EQ(burst.confirmed.size(), 200u);
        if (store)
            ExpectStoredOnce(server.Db(), burst);
        else
            EXPECT_NE(access(server.Db().c_str(), F_OK), 0) << "--no-store made a database";
    }
}

TEST_P(AvlsStorage, StopsCleanlyOnSignalsAndKeepsItsViews)
{
    TempFolder folder;
    const std::string db = OnPostgres() ? m_db : folder.Path("kept.db");
    const std::pair<std::string, int> stops[] = {{"first", SIGTERM}, {"second", SIGINT}};
    for (const auto& [user, signo] : stops) {
        Avls server({}, db);
        auto res = server.Post(Notice(user + ",0000001,1,x"));
        ASSERT_TRUE(res);
        EXPECT_EQ(res.body, Sealed("OK"));
        EXPECT_EQ(server.Stop(signo), 0) << user;
    }
    const Rows rows = DumpRows(db);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][0], "first");
    EXPECT_EQ(rows[1][0], "second");
}

TEST(AvlsServer, StopDoesNotWaitForADelayedAnswer)
{
    Avls server({"--fault", "slow", "--delay-ms", "60000"});
    // Connected here: the port is gone once it stops.
    std::thread pending([fd = ConnectLocal(server.Port())] { Ask(fd, FormPost(Notice(kGoodLine))), close(fd); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(server.Stop(SIGTERM, 10000), 0);   // long before the answer's minute is up
    pending.join();
}

// A fault changes only the answer, to a good notice and to a bad one alike: the notice is
// still checked, and stored when good.
TEST(AvlsServerFault, EachFaultChangesOnlyTheAnswer)
{
    const std::string ok = Sealed("OK"), ng = Sealed("NG");
    const struct {
        std::vector<std::string> args;
        int status;
        std::string good, bad;
        bool whole;   // all that its Content-Length announced
    } cases[] = {
        {{"--fault", "plain-ok"}, 200, "OK", "OK", true},
        {{"--fault", "empty"}, 200, "", "", true},
        {{"--fault", "status-500"}, 500, ok, ng, true},   // a client must refuse it for the status alone
        {{"--fault", "close"}, 200, ok, ng, false},
        {{"--fault", "slow", "--delay-ms", "300"}, 200, ok, ng, true},
        {{"--fault", "newline"}, 200, ok + "\r\n", ng + "\r\n", true},
        {{"--fault", "ng"}, 200, ng, ng, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[1]);
        Avls server(c.args);
        const std::pair<std::string, std::string> exchanges[] = {{Notice(kGoodLine), c.good}, {"MSG=abcd", c.bad}};
        for (const auto& [notice, body] : exchanges) {
            const Answer a = Exchange(server.Port(), notice);
            EXPECT_EQ(a.status, c.status);
            EXPECT_EQ(a.body, body);
            EXPECT_EQ(a.announced == a.body.size(), c.whole) << a.announced;
        }
        EXPECT_EQ(server.Stored().size(), 1u);
    }
}

TEST(AvlsServerCommandLine, RefusesBadArgumentsWith2AndFailsToStartWith1)
{
    TempFolder folder;
    Avls taken;
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string says;
    };
    std::vector<Case> cases = {
        {{"--dump", "--db", folder.Path("none.db")}, 1, "none.db"},
        {{"--port", "0", "--db", folder.Path("no/such/folder.db")}, 1, "folder.db"},
        {{"--port", std::to_string(taken.Port()), "--db", folder.Path("b.db")}, 1, "cannot listen"},
    };
    for (const auto& bad : std::vector<std::vector<std::string>>{
             {"--port", "abc"}, {"--port", "70000"}, {"--port", "80x"}, {"--port"}, {"--port="},
             {"--fault", "bogus"}, {"--delay-ms", "5"}, {"--fault", "slow", "--delay-ms", "-1"},
             {"--verbose=yes"}, {"--log"}, {"--threads", "0"}, {"--db", ""}, {"--frobnicate"}, {"stray"}})
        cases.push_back({bad, 2, "avls-server: "});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
        Program r;
        EXPECT_EQ(RunAvls(r, c.args), c.code);
        EXPECT_EQ(r.Out(), "");
        EXPECT_NE(r.Err().find(c.says), std::string::npos) << r.Err();
    }
}

// Clients that keep their connection between views, as the library does: more of them
// than the server has workers.
TEST(AvlsServerServing, ServesThreeHundredKeptOpenClientsAtOnce)
{
    Avls server;
    const Burst burst = SendViews({&server}, 300, 3, 300);
    EXPECT_EQ(burst.confirmed.size(), 900u);
    ExpectStoredOnce(server.Db(), burst);
}

TEST(ReferenceServers, SlowSendersNeitherHoldUpOtherClientsNorAStop)
{
    TempFolder folder;
    std::vector<std::pair<std::string, std::vector<std::string>>> servers = {
        {AVLS_SERVER, {"--db", folder.Path("views.db")}}};
#ifdef ADS_SERVER
    servers.push_back({ADS_SERVER, {"--content", FLB_SOURCE_DIR "/tools/ads-server/demo/content"}});
#endif
    for (const auto& [binary, args] : servers) {
        SCOPED_TRACE(binary);
        ServerRun server;
        ASSERT_TRUE(server.Start(binary, args));
        // Request heads sent a byte at a time, from more senders than a small pool has
        // workers, and one that stops after its first byte.
        std::vector<int> trickling(16);
        for (int& fd : trickling)
            fd = ConnectLocal(server.Port());
        const int stalled = ConnectLocal(server.Port());
        std::atomic<bool> stop{false};
        std::thread trickle([&] {
            const std::string head = "POST /log.php3 HTTP/1.1\r\nHost: x\r\nX-Padding: " + std::string(4096, 'p');
            send(stalled, "P", 1, MSG_NOSIGNAL);
            for (size_t i = 0; i < head.size() && !stop; ++i) {
                for (int fd : trickling)
                    send(fd, &head[i], 1, MSG_NOSIGNAL);
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_NE(Exchange(server.Port(), Notice(kGoodLine)).status, 0);
        // The stalled one is dropped once the server's read time-out has passed.
        pollfd p = {stalled, POLLIN, 0};
        char c;
        EXPECT_TRUE(poll(&p, 1, 10000) > 0 && recv(stalled, &c, 1, MSG_DONTWAIT) <= 0);
        EXPECT_EQ(server.Stop(), 0) << "while heads trickle in";
        stop = true;
        trickle.join();
        for (int fd : trickling)
            close(fd);
        close(stalled);
    }
}

// What an operator and a hostile client see of both servers beyond their protocol: a
// head or a body over its bound is refused unread, and /health and /metrics tell the rest.
TEST(ReferenceServers, AnswerHealthAndMetricsAndRefuseOversizedRequests)
{
    TempFolder folder;
    const std::string form = "Content-Type: application/x-www-form-urlencoded\r\n";
    struct Server {
        std::string binary;
        std::vector<std::string> args;
        std::string path, body;
        size_t maxBody;
        std::vector<std::string> metrics;   // lines /metrics must hold after the exchange and the refusals
    };
    std::vector<Server> servers = {
        {AVLS_SERVER, {"--db", folder.Path("views.db")}, "/log.php3", Notice(kGoodLine), avls::kMaxNoticeBytes,
         {"avls_views_stored_total 1\n", "avls_views_refused_total{cause=\"size\"} 1\n",
          "avls_views_refused_total{cause=\"no-msg\"} 0\n", "avls_commit_batches_total 1\n",
          "avls_commit_seconds_count 1\n", "avls_commit_seconds_bucket{le=\"+Inf\"} 1\n",
          "# TYPE avls_commit_seconds histogram\n", "# TYPE avls_open_connections gauge\n",
          "avls_log_lines_dropped_total 0\n"}}};
#ifdef ADS_SERVER
    servers.push_back({ADS_SERVER, {"--content", FLB_SOURCE_DIR "/tools/ads-server/demo/content"}, "/getdata.php3",
                       "CONTS_CODE=0001001", 64 * 1024,
                       {"ads_requests_total{kind=\"data\"} 1\n", "ads_requests_total{kind=\"list\"} 0\n",
                        "ads_requests_total{kind=\"other\"} 3\n", "ads_payload_bytes_total 7741\n",
                        "# TYPE ads_open_connections gauge\n", "ads_log_lines_dropped_total 0\n"}});
#endif
    for (const auto& server : servers) {
        SCOPED_TRACE(server.binary);
        ServerRun run;
        std::vector<std::string> args = server.args;
        args.insert(args.end(), {"--max-connections", "2"});
        ASSERT_TRUE(run.Start(server.binary, args));
        // Two idle connections fill the server: a client that comes then is served, and
        // the one idle longest is closed for it.
        const int idle[] = {ConnectLocal(run.Port()), ConnectLocal(run.Port())};
        const std::string post = "POST " + server.path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" + form;
        const std::string good = RawHttp(run.Port(), post + "Content-Length: " + std::to_string(server.body.size()) +
                                                         "\r\n\r\n" + server.body);
        EXPECT_EQ(good.rfind("HTTP/1.1 200", 0), 0u) << good;
        pollfd p = {idle[0], POLLIN, 0};
        char c;
        EXPECT_TRUE(poll(&p, 1, 5000) > 0 && recv(idle[0], &c, 1, MSG_DONTWAIT) == 0);
        for (int fd : idle)
            close(fd);
        const struct {
            std::string request, status, body;
        } cases[] = {
            {post + "X-Padding: " + std::string(16 * 1024, 'p') + "\r\n\r\n", "431", ""},
            {post + "Content-Length: " + std::to_string(server.maxBody + 1) + "\r\n\r\n", "413", ""},
            {"GET /health HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", "200", "\r\n\r\nok\n"},
        };
        for (const auto& c : cases) {
            const std::string answer = RawHttp(run.Port(), c.request);
            EXPECT_EQ(answer.rfind("HTTP/1.1 " + c.status, 0), 0u) << c.request.substr(0, 40) << ": " << answer;
            EXPECT_NE(answer.find(c.body), std::string::npos) << answer;
        }
        const std::string metrics = RawHttp(run.Port(), "GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
        EXPECT_EQ(metrics.rfind("HTTP/1.1 200", 0), 0u) << metrics;
        for (const auto& line : server.metrics)
            EXPECT_NE(metrics.find("\n" + line), std::string::npos) << line << " in\n" << metrics;
        EXPECT_EQ(run.Stop(), 0);
    }
}

TEST(AvlsServerServing, RefusesViewsPastAFileSizeLimitWith500AndSaysSoOnce)
{
    TempFolder folder;
    const std::string errors = folder.Path("stderr");
    // The server starts under a file-size limit, as on a disk about to fill up.
    rlimit old, small;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    small = old;
    small.rlim_cur = 262144;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    Avls server({}, "", errors);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
    const std::string text(2000, 't');
    int stored = 0, refused = 0;
    for (int i = 0; i < 5000 && refused < 20; ++i) {
        auto res = server.Post(Notice("u,0000001," + std::to_string(i) + "," + text));
        ASSERT_TRUE(res) << "the server ended at view " << i;
        if (res.body == Sealed("OK")) {
            ++stored;
            continue;
        }
        EXPECT_EQ(res.status, 500);
        EXPECT_EQ(res.Header("X-AVLS-Refused"), "storage");
        ++refused;
    }
    EXPECT_EQ(refused, 20);
    // An operator's probe sees the storage fail too.
    const std::string health = RawHttp(server.Port(), "GET /health HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(health.rfind("HTTP/1.1 503", 0), 0u) << health;
    EXPECT_EQ(server.Stop(), 0);
    const std::string said = ReadText(errors);
    EXPECT_EQ(Count(said, "\n"), 1) << said;
    EXPECT_NE(said.find("refusing views"), std::string::npos) << said;
    EXPECT_EQ(server.Stored().size(), static_cast<size_t>(stored));
}

TEST_F(PostgresServers, ServerAndDumpFailWithOneClearLineWhenTheDatabaseCannotBeUsed)
{
    TempFolder empty;
    const struct {
        std::string db;
        std::string says;
    } cases[] = {
        {"postgresql://flb:secret@/views?host=" + empty.Path(""), "cannot connect"},   // no server there
        {m_cluster->Uri("postgres", "wrong"), "password authentication failed"},
        {m_cluster->Uri("nosuchdb"), "does not exist"},
    };
    for (const auto& c : cases) {
        for (const char* mode : {"--port=0", "--dump"}) {
            SCOPED_TRACE(c.db + " " + mode);
            Program r;
            EXPECT_EQ(RunAvls(r, {mode, "--db", c.db}), 1);
            EXPECT_EQ(r.Out(), "");
            EXPECT_EQ(Count(r.Err(), "\n"), 1) << r.Err();
            EXPECT_EQ(r.Err().rfind("avls-server: cannot connect to postgresql://flb:***@", 0), 0u) << r.Err();
            EXPECT_NE(r.Err().find(c.says), std::string::npos) << r.Err();
            EXPECT_EQ(r.Err().find("secret"), std::string::npos) << r.Err();
            EXPECT_EQ(r.Err().find("wrong"), std::string::npos) << r.Err();
        }
    }
}

TEST_F(PostgresServers, TwoServersOnOneDatabaseStoreEveryConfirmedViewOnce)
{
    Avls a({}, m_db), b({}, m_db);
    const Burst burst = SendViews({&a, &b}, 20, 50);
    EXPECT_EQ(burst.confirmed.size(), 2000u);
    EXPECT_EQ(burst.refused, 0);
    ExpectStoredOnce(m_db, burst);
    EXPECT_EQ(a.Stored().size(), 2000u);
}

TEST_F(PostgresServers, KillingOneServerMidBurstLosesNoConfirmedView)
{
    Avls a({}, m_db), b({}, m_db);
    const Burst burst = SendViews({&a, &b}, 20, 50, 0, true, [&] { a.Stop(SIGKILL); });
    EXPECT_GT(burst.refused, 0);   // the killed server's clients
    ExpectStoredOnce(m_db, burst);
}

TEST_F(PostgresServers, ADatabaseRestartMidBurstLosesNoConfirmedViewAndServingResumes)
{
    TempFolder folder;
    const std::string errors = folder.Path("stderr");
    Avls server({}, m_db, errors);
    Burst burst = SendViews({&server}, 20, 100, 0, true, [&] {
        ASSERT_TRUE(m_cluster->StopServer());
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        ASSERT_TRUE(m_cluster->StartServer());
    });
    EXPECT_GT(burst.refused, 0);
    auto res = server.Post(Notice("after,0000001,1,back"));
    ASSERT_TRUE(res);
    EXPECT_EQ(res.body, Sealed("OK"));
    burst.confirmed.insert("back");
    ExpectStoredOnce(m_db, burst);
    const std::string said = ReadText(errors);
    EXPECT_EQ(Count(said, "\n"), 2) << said;   // failing, then storing again
    EXPECT_NE(said.find("storing again"), std::string::npos) << said;
}

} // namespace
