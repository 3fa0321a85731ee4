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

#include <chrono>
#include <climits>
#include <ctime>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../tools/avls-server/Notice.h"
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

// Starts the server binary with its stdout (and stderr if asked) on pipes.
Spawned Spawn(const std::vector<std::string>& args, bool captureErr)
{
    int out[2], err[2] = {-1, -1};
    EXPECT_EQ(pipe(out), 0);
    if (captureErr) {
        EXPECT_EQ(pipe(err), 0);
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    if (captureErr) {
        posix_spawn_file_actions_adddup2(&fa, err[1], 2);
        posix_spawn_file_actions_addclose(&fa, err[0]);
    }
    std::vector<std::string> all{AVLS_SERVER};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    Spawned s;
    EXPECT_EQ(posix_spawn(&s.pid, AVLS_SERVER, &fa, nullptr, argv.data(), environ), 0);
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
    r.code = WaitExit(s.pid, 10000);
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

class Server {
public:
    explicit Server(std::vector<std::string> extra = {}, const std::string& db = "")
        : m_db(db.empty() ? m_folder.Path("views.db") : db)
    {
        std::vector<std::string> args{"--port", "0", "--db", m_db};
        args.insert(args.end(), extra.begin(), extra.end());
        m_child = Spawn(args, false);
        std::string line = ReadFrom(m_child.out, true);
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
        cli.set_read_timeout(std::chrono::seconds(5));
        return cli.Post(path.c_str(), body, type.c_str());
    }

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

TEST(AvlsServer, StoresAGoodNoticeAndAnswersTheSealedOk)
{
    Server server;
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

TEST(AvlsServer, KeepsEveryFieldAsTheClientFormattedIt)
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
    Server server;
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

TEST(AvlsServer, RefusesMalformedNoticesWithTheSealedNgAndStoresNothing)
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
    Server server;
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

TEST(AvlsServer, AcceptsPostOnAnyPathAndNothingElse)
{
    Server server;
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

TEST(AvlsServer, TakesABodyUpToOneMebibyteAndRefusesALargerOneWith413)
{
    Server server;
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

TEST(AvlsServer, AnswersTwentyClientsAtOnceAndStoresEveryNotice)
{
    // More clients at once than httplib's listen backlog of 5 holds; --no-store answers the
    // fastest and so meets the fullest backlog.
    for (bool store : {true, false}) {
        Server server(store ? std::vector<std::string>{} : std::vector<std::string>{"--no-store"});
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

TEST(AvlsServer, StopsCleanlyOnSignalsAndKeepsItsViews)
{
    TempFolder folder;
    const std::string db = folder.Path("kept.db");
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

} // namespace
