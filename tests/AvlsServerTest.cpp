// The reference log server, run as the real binary on an ephemeral port.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <climits>
#include <ctime>
#include <memory>
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

extern char** environ;

namespace {

const char kForm[] = "application/x-www-form-urlencoded";

std::string Sealed(const std::string& text)
{
    auto sealed = SealText(text.c_str());
    return sealed ? sealed.get() : "";
}

std::string Opened(const std::string& sealed)
{
    auto opened = OpenText(sealed.c_str());
    return opened ? opened.get() : "(unopenable)";
}

std::string Notice(const std::string& line)
{
    return "MSG=" + Sealed(line);
}

struct Spawned {
    pid_t pid = -1;
    int out = -1;
    int err = -1;
};

// Starts argv (the server binary when it does not name a program) with its stdout on a
// pipe, and its stderr on a pipe when captureErr is set or into errFile when one is given.
Spawned Spawn(std::vector<std::string> args, bool captureErr, const std::string& errFile = "")
{
    if (args.empty() || args[0].empty() || args[0][0] != '/')
        args.insert(args.begin(), AVLS_SERVER);
    int out[2], err[2] = {-1, -1};
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    if (captureErr) {
        EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    if (captureErr)
        posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    else if (!errFile.empty())
        posix_spawn_file_actions_addopen(&fa, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    Spawned s;
    EXPECT_EQ(posix_spawn(&s.pid, argv[0], &fa, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    s.out = out[0];
    if (captureErr) {
        close(err[1]);
        s.err = err[0];
    }
    return s;
}

// Reads until end of file, or until a line is complete when lineOnly is set.
std::string ReadFrom(int fd, bool lineOnly, int timeoutMs = 10000)
{
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!(lineOnly && text.find('\n') != std::string::npos)) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
        struct pollfd p = {fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0)
            break;
        char buf[4096];
        ssize_t n = read(fd, buf, lineOnly ? 1 : sizeof buf);
        if (n <= 0)
            break;
        text.append(buf, static_cast<size_t>(n));
    }
    return text;
}

// Exit code, or 128 + signal, or -1 when it did not end in time.
int WaitExit(pid_t pid, int timeoutMs)
{
    for (int waited = 0; waited <= timeoutMs; waited += 10) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

struct ToolRun {
    int code;
    std::string out;
    std::string err;
};

ToolRun RunTool(const std::vector<std::string>& args)
{
    Spawned s = Spawn(args, true);
    ToolRun r;
    // Both outputs are small, far below a pipe's capacity, so one after the other is safe.
    r.out = ReadFrom(s.out, false);
    r.err = ReadFrom(s.err, false);
    close(s.out);
    close(s.err);
    r.code = WaitExit(s.pid, 30000);
    return r;
}

std::vector<std::vector<std::string>> DumpRows(const std::string& db)
{
    ToolRun r = RunTool({"--dump", "--db", db});
    EXPECT_EQ(r.code, 0) << r.err;
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> fields;
        size_t from = 0, tab;
        while ((tab = line.find('\t', from)) != std::string::npos) {
            fields.push_back(line.substr(from, tab - from));
            from = tab + 1;
        }
        fields.push_back(line.substr(from));
        rows.push_back(fields);
    }
    return rows;
}

// One cluster for the whole test program, made on first use.
PostgresCluster* Postgres(std::string* whyNot)
{
    static std::unique_ptr<PostgresCluster> cluster;
    static std::string failed;
    if (!cluster && failed.empty()) {
        cluster.reset(new PostgresCluster);
        failed = cluster->Start();
        if (!failed.empty())
            cluster.reset();
    }
    *whyNot = failed;
    return cluster.get();
}

// A fresh PostgreSQL database's URI, or empty with the reason in *whyNot.
std::string NewPostgresDb(std::string* whyNot)
{
    static int made = 0;
    PostgresCluster* cluster = Postgres(whyNot);
    const std::string name = "views" + std::to_string(++made);
    if (!cluster)
        return "";
    if (!cluster->CreateDatabase(name)) {
        *whyNot = "cannot create a database";
        return "";
    }
    return cluster->Uri(name);
}

#define SKIP_WITHOUT_POSTGRES(uri)                                                  \
    std::string whyNot;                                                             \
    const std::string uri = NewPostgresDb(&whyNot);                                 \
    if (uri.empty())                                                                \
        GTEST_SKIP() << whyNot

class Server {
public:
    // db: a SQLite file or a PostgreSQL URI; a fresh SQLite file when empty.
    explicit Server(std::vector<std::string> extra = {}, const std::string& db = "", const std::string& errFile = "")
        : m_db(db.empty() ? m_folder.Path("views.db") : db)
    {
        std::vector<std::string> args;
        if (!extra.empty() && extra[0][0] == '/') {
            args = extra;   // the ad server, or prlimit and the log server
            args.insert(args.end(), {"--port", "0"});
            if (std::find(args.begin(), args.end(), AVLS_SERVER) != args.end())
                args.insert(args.end(), {"--db", m_db});
        } else {
            args = {AVLS_SERVER, "--port", "0", "--db", m_db};
            args.insert(args.end(), extra.begin(), extra.end());
        }
        m_child = Spawn(args, false, errFile);
        std::string line = ReadFrom(m_child.out, true, 30000);
        const std::string prefix = "listening on 127.0.0.1:";
        const std::string digits = line.substr(std::min(line.size(), prefix.size()));
        if (line.compare(0, prefix.size(), prefix) == 0 && digits.size() > 1 && digits.back() == '\n' &&
            digits.find_first_not_of("0123456789") == digits.size() - 1)
            m_port = std::stoi(digits);
        EXPECT_GT(m_port, 0) << "first line: '" << line << "'";
    }

    ~Server()
    {
        if (m_child.pid > 0) {
            kill(m_child.pid, SIGKILL);
            WaitExit(m_child.pid, 5000);
        }
        close(m_child.out);
    }

    int Port() const { return m_port; }
    const std::string& Db() const { return m_db; }

    httplib::Result Post(const std::string& body, const std::string& type = kForm,
                         const std::string& path = "/log.php3") const
    {
        httplib::Client cli("127.0.0.1", m_port);
        cli.set_read_timeout(std::chrono::seconds(10));
        return cli.Post(path.c_str(), body, type.c_str());
    }

    void Kill() { kill(m_child.pid, SIGKILL); }

    // Exit code after the signal, -1 if it did not stop within the time.
    int Stop(int signo, int timeoutMs = 3000)
    {
        kill(m_child.pid, signo);
        int code = WaitExit(m_child.pid, timeoutMs);
        if (code != -1)
            m_child.pid = -1;
        return code;
    }

    std::vector<std::vector<std::string>> Rows() const { return DumpRows(m_db); }

private:
    TempFolder m_folder;
    std::string m_db;
    Spawned m_child;
    int m_port = 0;
};

// A notice as the library sends it, raw, and everything the server sends until it closes.
std::string RawExchange(int port, const std::string& body)
{
    return RawHttp(port, "POST /log.php3 HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\n"
                         "User-Agent: Tidewell\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                         "Connection: close\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\n\r\n" + body,
                   5000);
}

const std::string kGoodLine = "u1,0001234,-5,x";

// The protocol against each storage: the same cases, SQLite and PostgreSQL.
class AvlsStorage : public ::testing::TestWithParam<const char*>
{
protected:
    void SetUp() override
    {
        if (std::string(GetParam()) != "Postgres")
            return;
        std::string whyNot;
        m_db = NewPostgresDb(&whyNot);
        if (m_db.empty())
            GTEST_SKIP() << whyNot;
    }
    bool OnPostgres() const { return !m_db.empty(); }

    std::string m_db;   // empty for SQLite: each server makes a file of its own
};

INSTANTIATE_TEST_SUITE_P(Storage, AvlsStorage, ::testing::Values("SQLite", "Postgres"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

TEST_P(AvlsStorage, StoresAGoodNoticeAndAnswersTheSealedOk)
{
    Server server({}, m_db);
    int64_t before = static_cast<int64_t>(std::time(nullptr));
    auto res = server.Post(Notice(kGoodLine));
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, Sealed("OK"));
    EXPECT_EQ(Opened(res->body), "OK");
    EXPECT_FALSE(res->has_header("X-AVLS-Refused"));

    auto rows = server.Rows();
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_EQ(rows[0].size(), 6u);
    EXPECT_EQ(rows[0][0], "u1");
    EXPECT_EQ(rows[0][1], "0001234");
    EXPECT_EQ(rows[0][2], "-5");
    EXPECT_EQ(rows[0][3], "x");
    EXPECT_EQ(rows[0][5], "127.0.0.1");
    // The receive time lies within the exchange, in UTC.
    struct tm tm = {};
    ASSERT_NE(strptime(rows[0][4].c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm), nullptr) << rows[0][4];
    int64_t received = static_cast<int64_t>(timegm(&tm));
    EXPECT_GE(received, before);
    EXPECT_LE(received, static_cast<int64_t>(std::time(nullptr)));
}

TEST_P(AvlsStorage, KeepsEveryFieldAsTheClientFormattedIt)
{
    struct Case {
        std::string line;
        std::vector<std::string> fields;   // user id, code, number, text as dumped
    };
    const std::string id40(40, 'i');
    const std::vector<Case> cases = {
        {"u1,0001234,7,a,b,c", {"u1", "0001234", "7", "a,b,c"}},                  // commas in the text
        {"shop,7,0001234,7,x", {"shop,7", "0001234", "7", "x"}},                  // and in the user id
        {"u,0000001,2,y,0000003,4,z", {"u", "0000001", "2", "y,0000003,4,z"}},   // text that looks like fields
        {",0000000,0,x", {"", "0000000", "0", "x"}},                              // no FLBUpdate yet
        {"u,4294967295,2147483647,x", {"u", "4294967295", "2147483647", "x"}},
        {"u,12345678,-2147483648,x", {"u", "12345678", "-2147483648", "x"}},
        {id40 + ",0001234,1,x", {id40, "0001234", "1", "x"}},
        {"ab,0000001,0,xyz", {"ab", "0000001", "0", "xyz"}},           // 16 bytes: no pad block
        {"u1,0001234,-5,\x93\xfa\x96\x7b", {"u1", "0001234", "-5", "\x93\xfa\x96\x7b"}},   // cp932, unchanged
        {"u1,0001234,-5,a\tb\nc\\d\re", {"u1", "0001234", "-5", "a\\tb\\nc\\\\d\\re"}},  // kept on one dump line
    };
    Server server({}, m_db);
    for (const auto& c : cases) {
        auto res = server.Post(Notice(c.line));
        ASSERT_TRUE(res);
        EXPECT_EQ(res->body, Sealed("OK")) << c.line << ": " << res->get_header_value("X-AVLS-Refused");
    }
    auto rows = server.Rows();
    ASSERT_EQ(rows.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        ASSERT_EQ(rows[i].size(), 6u) << cases[i].line;
        EXPECT_EQ(std::vector<std::string>(rows[i].begin(), rows[i].begin() + 4), cases[i].fields) << cases[i].line;
    }
}

// Seals the bytes as given, already padded, so tests can build notices that
// a correct client never sends.
std::string SealBlocks(const CDesCipher& cipher, std::vector<unsigned char> plain)
{
    std::vector<unsigned char> sealed(plain.size());
    cipher.Encrypt(plain.data(), sealed.data(), plain.size());
    std::vector<char> text(4 * ((sealed.size() + 2) / 3) + 5);
    EXPECT_TRUE(CBase64().Encode(sealed.data(), sealed.size(), text.data(), text.size()));
    return text.data();
}

std::vector<unsigned char> Padded(const std::string& line, size_t extraBlocks)
{
    std::vector<unsigned char> plain(line.begin(), line.end());
    plain.resize(((plain.size() + 7) / 8 + extraBlocks) * 8, 0);
    return plain;
}

TEST_P(AvlsStorage, RefusesMalformedNoticesWithTheSealedNgAndStoresNothing)
{
    struct Case {
        std::string name;
        std::string body;
        std::string reason;   // X-AVLS-Refused; empty: any refusal
        std::string type = kForm;
    };
    const std::string good = Sealed(kGoodLine);
    ASSERT_NE(good.find('/'), std::string::npos);   // so URL-encoding changes it
    ASSERT_NE(good.find('-'), std::string::npos);
    std::string urlEncoded = good, plusForDash = good, broken = good;
    for (size_t p; (p = urlEncoded.find('/')) != std::string::npos;)
        urlEncoded.replace(p, 1, "%2F");
    for (auto& c : plusForDash)
        if (c == '-')
            c = '+';
    broken.insert(8, "\r\n");
    CDesCipher otherKeys;
    ASSERT_TRUE(otherKeys.SetPassphrase("not the shared one"));

    const std::vector<Case> cases = {
        {"garbage", "hello world", "no-msg"},
        {"sealed text without MSG=", good, "no-msg"},
        {"lower-case field name", "msg=" + good, "no-msg"},
        {"another field first", "X=1&MSG=" + good, "no-msg"},
        {"another field after", "MSG=" + good + "&X=1", "not-sealed"},
        {"empty MSG", "MSG=", "not-sealed"},
        {"unsealed line", "MSG=" + kGoodLine, "not-sealed"},
        {"URL-encoded", "MSG=" + urlEncoded, "not-sealed"},
        {"plain Base64 alphabet", "MSG=" + plusForDash, "not-sealed"},
        {"line break inside", "MSG=" + broken, "not-sealed"},
        {"no whole block", "MSG=abcd", "unopenable"},
        {"another passphrase", "MSG=" + SealBlocks(otherKeys, Padded(kGoodLine, 0)), ""},
        {"extra pad block", "MSG=" + SealBlocks(CLogSealer(), Padded("ab,0000001,0,xyz", 1)), "padding"},
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
    Server server({}, m_db);
    for (const auto& c : cases) {
        auto res = server.Post(c.body, c.type);
        ASSERT_TRUE(res) << c.name;
        EXPECT_EQ(res->status, 200) << c.name;
        EXPECT_EQ(res->body, Sealed("NG")) << c.name;
        std::string reason = res->get_header_value("X-AVLS-Refused");
        if (c.reason.empty())
            EXPECT_NE(reason, "") << c.name;
        else
            EXPECT_EQ(reason, c.reason) << c.name;
    }
    EXPECT_TRUE(server.Rows().empty());
}

TEST_P(AvlsStorage, AcceptsPostOnAnyPathAndNothingElse)
{
    Server server({}, m_db);
    for (const char* path : {"/log.php3", "/", "/avls/cgi/log.php3?from=host", "/other"}) {
        auto res = server.Post(Notice(kGoodLine), kForm, path);
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->body, Sealed("OK")) << path;
    }
    httplib::Client cli("127.0.0.1", server.Port());
    auto get = cli.Get("/log.php3");
    ASSERT_TRUE(get);
    EXPECT_EQ(get->status, 405);
    EXPECT_EQ(get->get_header_value("Allow"), "POST");
    // Methods that may carry a body are answered without waiting for one.
    for (const char* method : {"PUT", "PATCH", "DELETE", "OPTIONS"}) {
        const std::string answer =
            RawHttp(server.Port(), std::string(method) + " /log.php3 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
        EXPECT_EQ(answer.rfind("HTTP/1.1 405", 0), 0u) << method << ": " << answer;
    }
    EXPECT_EQ(server.Rows().size(), 4u);
}

TEST_P(AvlsStorage, TakesABodyUpToOneMebibyteAndRefusesALargerOneWith413)
{
    Server server({}, m_db);
    // The longest line whose notice fits: sealing pads to 8 bytes, then 4 characters per 3.
    const std::string head = "u1,0001234,1,";
    const size_t sealedRoom = (avls::kMaxNoticeBytes - 4) / 4 * 3 / 8 * 8 - 1;
    const std::string text(sealedRoom - head.size(), 'x');
    const std::string fits = Notice(head + text);
    ASSERT_LE(fits.size(), avls::kMaxNoticeBytes);
    auto stored = server.Post(fits);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->status, 200);
    EXPECT_EQ(stored->body, Sealed("OK"));

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

    auto rows = server.Rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][3], text);
}

TEST_P(AvlsStorage, AnswersTwentyClientsAtOnceAndStoresEveryNotice)
{
    // More clients at once than httplib's listen backlog of 5 holds; --no-store answers the
    // fastest and so meets the fullest backlog.
    for (bool store : {true, false}) {
        if (!store && OnPostgres())
            continue;
        Server server(store ? std::vector<std::string>{} : std::vector<std::string>{"--no-store"}, m_db);
        const int kThreads = 20, kEach = 10;
        std::vector<std::thread> threads;
        std::vector<int> accepted(kThreads, 0);
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < kEach; ++i) {
                    auto res = server.Post(Notice("t" + std::to_string(t) + ",0001234," + std::to_string(i) + ",x"));
                    if (res && res->body == Sealed("OK"))
                        ++accepted[t];
                }
            });
        }
        for (auto& t : threads)
            t.join();
        for (int t = 0; t < kThreads; ++t)
            EXPECT_EQ(accepted[t], kEach) << (store ? "storing" : "--no-store");
        if (store)
            EXPECT_EQ(server.Rows().size(), static_cast<size_t>(kThreads * kEach));
        else
            EXPECT_NE(access(server.Db().c_str(), F_OK), 0) << "--no-store made a database";
    }
}

TEST_P(AvlsStorage, StopsCleanlyOnSignalsAndKeepsItsViews)
{
    TempFolder folder;
    const std::string db = OnPostgres() ? m_db : folder.Path("kept.db");
    {
        Server server({}, db);
        ASSERT_EQ(server.Post(Notice("first,0000001,1,x"))->body, Sealed("OK"));
        EXPECT_EQ(server.Stop(SIGTERM), 0);
    }
    {
        Server server({}, db);
        ASSERT_EQ(server.Post(Notice("second,0000002,2,y"))->body, Sealed("OK"));
        EXPECT_EQ(server.Stop(SIGINT), 0);
    }
    auto rows = DumpRows(db);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][0], "first");
    EXPECT_EQ(rows[1][0], "second");
}

TEST(AvlsServer, StopDoesNotWaitForADelayedAnswer)
{
    Server server({"--fault", "slow", "--delay-ms", "60000"});
    std::thread pending([&] { server.Post(Notice(kGoodLine)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(server.Stop(SIGTERM, 10000), 0);  // long before the answer's minute is up
    pending.join();
}

// Each fault changes only the answer: the notice is still checked and stored.
TEST(AvlsServerFault, PlainOkAnswersTheUnsealedText)
{
    Server server({"--fault", "plain-ok"});
    auto res = server.Post(Notice(kGoodLine));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, "OK");
    EXPECT_EQ(server.Rows().size(), 1u);
}

TEST(AvlsServerFault, EmptyAnswersStatus200WithNoBody)
{
    Server server({"--fault", "empty"});
    auto res = server.Post(Notice(kGoodLine));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, "");
    EXPECT_EQ(server.Rows().size(), 1u);
}

TEST(AvlsServerFault, Status500KeepsTheSealedAnswerBehindTheStatus)
{
    Server server({"--fault", "status-500"});
    auto good = server.Post(Notice(kGoodLine));
    ASSERT_TRUE(good);
    EXPECT_EQ(good->status, 500);
    EXPECT_EQ(good->body, Sealed("OK"));   // a client must refuse it for the status alone
    auto bad = server.Post("MSG=abcd");
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->status, 500);
    EXPECT_EQ(bad->body, Sealed("NG"));
    EXPECT_EQ(server.Rows().size(), 1u);
}

TEST(AvlsServerFault, CloseDropsTheConnectionShortOfContentLength)
{
    Server server({"--fault", "close"});
    std::string answer = RawExchange(server.Port(), Notice(kGoodLine));
    size_t end = answer.find("\r\n\r\n");
    ASSERT_NE(end, std::string::npos) << answer;
    std::string head = answer.substr(0, end), body = answer.substr(end + 4);
    EXPECT_EQ(head.compare(0, 15, "HTTP/1.1 200 OK"), 0) << head;
    const size_t length = head.find("Content-Length: ");
    ASSERT_NE(length, std::string::npos) << head;
    EXPECT_GT(std::stoul(head.substr(length + 16)), body.size());
    EXPECT_EQ(body, Sealed("OK"));   // all of the answer arrived, yet it is truncated

    EXPECT_FALSE(server.Post(Notice(kGoodLine)));
    EXPECT_EQ(server.Rows().size(), 2u);
}

TEST(AvlsServerFault, SlowDelaysTheUsualAnswer)
{
    Server server({"--fault", "slow", "--delay-ms", "300"});
    auto res = server.Post(Notice(kGoodLine));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, Sealed("OK"));

    httplib::Client impatient("127.0.0.1", server.Port());
    impatient.set_read_timeout(std::chrono::milliseconds(100));
    EXPECT_FALSE(impatient.Post("/log.php3", Notice(kGoodLine), kForm));
}

TEST(AvlsServerFault, NewlineAppendsALineBreakThatOpeningIgnores)
{
    Server server({"--fault", "newline"});
    auto res = server.Post(Notice(kGoodLine));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, Sealed("OK") + "\r\n");
    EXPECT_EQ(Opened(res->body), "OK");
}

TEST(AvlsServerFault, NgRefusesEvenWhatItStores)
{
    Server server({"--fault", "ng"});
    auto res = server.Post(Notice(kGoodLine));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, Sealed("NG"));
    EXPECT_EQ(server.Rows().size(), 1u);
}

TEST(AvlsServerCommandLine, RefusesBadArgumentsWithExitCode2)
{
    const std::vector<std::vector<std::string>> bad = {
        {"--port", "abc"}, {"--port", "70000"}, {"--port", "80x"}, {"--port"}, {"--port="},
        {"--fault", "bogus"}, {"--delay-ms", "5"}, {"--fault", "slow", "--delay-ms", "-1"},
        {"--log=yes"}, {"--db", ""}, {"--frobnicate"}, {"stray"},
    };
    for (const auto& args : bad) {
        ToolRun r = RunTool(args);
        std::string shown = args[0] + (args.size() > 1 ? " " + args[1] : "");
        EXPECT_EQ(r.code, 2) << shown;
        EXPECT_EQ(r.out, "") << shown;
        EXPECT_EQ(r.err.compare(0, 12, "avls-server:"), 0) << shown << ": " << r.err;
    }
}

TEST(AvlsServerCommandLine, HelpDocumentsTheListeningLine)
{
    ToolRun r = RunTool({"--help"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("listening on HOST:PORT"), std::string::npos);
    for (const char* fault : {"plain-ok", "empty", "status-500", "close", "slow", "newline", "ng"})
        EXPECT_NE(r.out.find(fault), std::string::npos) << fault;
}

TEST(AvlsServerCommandLine, FailsWithExitCode1WhenItCannotStart)
{
    TempFolder folder;
    ToolRun missingDb = RunTool({"--dump", "--db", folder.Path("none.db")});
    EXPECT_EQ(missingDb.code, 1);
    EXPECT_NE(missingDb.err.find("none.db"), std::string::npos) << missingDb.err;

    ToolRun noFolder = RunTool({"--port", "0", "--db", folder.Path("no/such/folder.db")});
    EXPECT_EQ(noFolder.code, 1);
    EXPECT_EQ(noFolder.out, "");

    Server taken;
    ToolRun busy = RunTool({"--port", std::to_string(taken.Port()), "--db", folder.Path("b.db")});
    EXPECT_EQ(busy.code, 1);
    EXPECT_NE(busy.err.find("cannot listen"), std::string::npos) << busy.err;
}

// Clients that keep their connection between views, as the library does.
TEST(AvlsServerServing, ServesThreeHundredKeptOpenClientsAtOnce)
{
    Server server;
    const int kClients = 300, kEach = 3;
    std::atomic<int> confirmed{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            httplib::Client cli("127.0.0.1", server.Port());
            cli.set_keep_alive(true);
            cli.set_read_timeout(std::chrono::seconds(20));
            for (int i = 0; i < kEach; ++i) {
                auto res = cli.Post("/log.php3", Notice("k" + std::to_string(c) + ",0000001," + std::to_string(i) + ",x"),
                                    kForm);
                confirmed += res && res->body == Sealed("OK");
                std::this_thread::sleep_for(std::chrono::milliseconds(300));   // a host between two views
            }
        });
    }
    for (auto& t : clients)
        t.join();
    EXPECT_EQ(confirmed, kClients * kEach);
    EXPECT_EQ(server.Rows().size(), static_cast<size_t>(kClients * kEach));
}

// A request head sent a byte at a time, from more senders than a small pool has workers.
class SlowSender
{
public:
    SlowSender(int port, int pauseMs) : m_fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        struct sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(m_fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0)
            return;
        m_thread = std::thread([this, pauseMs] {
            const std::string head = "POST /log.php3 HTTP/1.1\r\nHost: x\r\nX-Padding: " + std::string(4096, 'p');
            for (size_t i = 0; i < head.size() && !m_stop; ++i) {
                if (send(m_fd, &head[i], 1, MSG_NOSIGNAL) != 1) {
                    m_dropped = true;
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
            }
        });
    }
    ~SlowSender()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        close(m_fd);
    }
    // True once the server has closed the connection.
    bool Dropped(int withinMs)
    {
        struct pollfd p = {m_fd, POLLIN, 0};
        char c;
        return m_dropped || (poll(&p, 1, withinMs) > 0 && recv(m_fd, &c, 1, MSG_DONTWAIT) <= 0);
    }

private:
    int m_fd;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_dropped{false};
    std::thread m_thread;
};

TEST(ReferenceServers, SlowSendersNeitherHoldUpOtherClientsNorAStop)
{
    TempFolder folder;
    std::vector<std::vector<std::string>> commands = {{AVLS_SERVER}};
#ifdef ADS_SERVER
    commands.push_back({ADS_SERVER, "--content", FLB_SOURCE_DIR "/tools/ads-server/demo/content"});
#endif
    for (const auto& command : commands) {
        Server server(command);
        std::vector<std::unique_ptr<SlowSender>> senders;
        for (int i = 0; i < 16; ++i)
            senders.emplace_back(new SlowSender(server.Port(), 100));
        SlowSender stalled(server.Port(), 3000);   // one byte, then a pause past the read time-out
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const std::string answer = RawExchange(server.Port(), Notice(kGoodLine));
        EXPECT_EQ(answer.rfind("HTTP/1.1 ", 0), 0u) << command[0] << ": " << answer;
        EXPECT_TRUE(stalled.Dropped(10000)) << command[0];
        EXPECT_EQ(server.Stop(SIGTERM, 15000), 0) << command[0] << " while heads trickle in";
    }
}

TEST(AvlsServerServing, RefusesViewsPastAFileSizeLimitWith500AndSaysSoOnce)
{
    if (access("/usr/bin/prlimit", X_OK) != 0)
        GTEST_SKIP() << "no prlimit (util-linux) to set a file-size limit with";
    TempFolder folder;
    const std::string errors = folder.Path("stderr");
    Server server({"/usr/bin/prlimit", "--fsize=262144", AVLS_SERVER}, "", errors);
    const std::string text(2000, 't');
    int stored = 0, refused = 0;
    for (int i = 0; i < 5000 && refused < 20; ++i) {
        auto res = server.Post(Notice("u,0000001," + std::to_string(i) + "," + text));
        ASSERT_TRUE(res) << "the server ended at view " << i;
        if (res->body == Sealed("OK")) {
            ++stored;
            continue;
        }
        EXPECT_EQ(res->status, 500);
        EXPECT_EQ(res->get_header_value("X-AVLS-Refused"), "storage");
        ++refused;
    }
    EXPECT_EQ(refused, 20);
    EXPECT_EQ(server.Stop(SIGTERM), 0);
    const std::string said = ReadText(errors);
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_NE(said.find("refusing views"), std::string::npos) << said;
    EXPECT_EQ(server.Rows().size(), static_cast<size_t>(stored));
}

TEST(PostgresStart, FailsWithOneClearLineWhenTheDatabaseCannotBeUsed)
{
    SKIP_WITHOUT_POSTGRES(uri);
    std::string unused;
    PostgresCluster* cluster = Postgres(&unused);
    TempFolder empty;
    const struct {
        std::string db;
        std::string says;
    } cases[] = {
        {"postgresql://flb:secret@/views?host=" + empty.Path("") , "cannot connect"},   // no server there
        {cluster->Uri("postgres", "wrong"), "password authentication failed"},
        {cluster->Uri("nosuchdb"), "does not exist"},
    };
    for (const auto& c : cases) {
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"--port", "0", "--db", c.db}, std::vector<std::string>{"--dump", "--db", c.db}}) {
            ToolRun r = RunTool(args);
            EXPECT_EQ(r.code, 1) << c.db;
            EXPECT_EQ(r.out, "") << c.db;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
            EXPECT_EQ(r.err.rfind("avls-server: cannot connect to postgresql://flb:***@", 0), 0u) << r.err;
            EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
            EXPECT_EQ(r.err.find("secret"), std::string::npos) << r.err;
            EXPECT_EQ(r.err.find("wrong"), std::string::npos) << r.err;
        }
    }
}

// Clients that keep their connection, each sending its own views in turn; midway runs
// once half of them are confirmed. Each view's text names it.
struct Burst {
    std::set<std::string> confirmed;
    int refused = 0;
};

Burst SendViews(const std::vector<const Server*>& servers, int clientsEach, int viewsEach,
                const std::function<void()>& midway = {})
{
    Burst burst;
    std::mutex mutex;
    std::atomic<int> confirmed{0}, refused{0};
    std::vector<std::thread> clients;
    for (size_t s = 0; s < servers.size(); ++s) {
        for (int c = 0; c < clientsEach; ++c) {
            clients.emplace_back([&, s, c] {
                httplib::Client cli("127.0.0.1", servers[s]->Port());
                cli.set_keep_alive(true);
                cli.set_read_timeout(std::chrono::seconds(30));
                for (int i = 0; i < viewsEach; ++i) {
                    const std::string text = "s" + std::to_string(s) + "c" + std::to_string(c) + "v" + std::to_string(i);
                    auto res = cli.Post("/log.php3", Notice("u" + std::to_string(c) + ",0000042," + std::to_string(i) +
                                                            "," + text), kForm);
                    if (res && res->status == 200 && res->body == Sealed("OK")) {
                        std::lock_guard<std::mutex> lock(mutex);
                        burst.confirmed.insert(text);
                        ++confirmed;
                    } else {
                        ++refused;
                        std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    }
                }
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

TEST(PostgresServers, TwoServersOnOneDatabaseStoreEveryConfirmedViewOnce)
{
    SKIP_WITHOUT_POSTGRES(uri);
    Server a({}, uri), b({}, uri);
    Burst burst = SendViews({&a, &b}, 20, 50);
    EXPECT_EQ(burst.confirmed.size(), 2000u);
    EXPECT_EQ(burst.refused, 0);
    ExpectStoredOnce(uri, burst);
    EXPECT_EQ(a.Rows().size(), 2000u);
}

TEST(PostgresServers, KillingOneServerMidBurstLosesNoConfirmedView)
{
    SKIP_WITHOUT_POSTGRES(uri);
    Server a({}, uri), b({}, uri);
    Burst burst = SendViews({&a, &b}, 20, 50, [&] { a.Kill(); });
    EXPECT_GT(burst.refused, 0);   // the killed server's clients
    ExpectStoredOnce(uri, burst);
}

TEST(PostgresServers, ADatabaseRestartMidBurstLosesNoConfirmedViewAndServingResumes)
{
    SKIP_WITHOUT_POSTGRES(uri);
    std::string unused;
    PostgresCluster* cluster = Postgres(&unused);
    TempFolder folder;
    const std::string errors = folder.Path("stderr");
    Server server({}, uri, errors);
    Burst burst = SendViews({&server}, 20, 100, [&] {
        ASSERT_TRUE(cluster->StopServer());
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        ASSERT_TRUE(cluster->StartServer());
    });
    EXPECT_GT(burst.refused, 0);
    auto res = server.Post(Notice("after,0000001,1,back"));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, Sealed("OK"));
    burst.confirmed.insert("back");
    ExpectStoredOnce(uri, burst);
    const std::string said = ReadText(errors);
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 2) << said;   // failing, then storing again
    EXPECT_NE(said.find("storing again"), std::string::npos) << said;
}

} // namespace
