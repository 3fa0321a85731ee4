// The transport against real servers on 127.0.0.1: what goes on the wire, which message
// each failing step shows, whole answers of any size, failures and cancels mid-answer.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <curl/curl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "frame/App.h"
#include "frame/Exceptions.h"
#include "net/HttpRequest.h"
#include "platform/Http.h"
#include "platform/ThreadQueue.h"
#include "res/resource.h"
#include "TestSupport.h"

namespace {

using namespace std::chrono_literals;

const char kHeaderBlock[] =
    "Accept: */*\r\nUser-Agent: Tidewell\r\nContent-Type: application/x-www-form-urlencoded\r\n";
constexpr unsigned kCancelMessage = 0x8001;

bool SendAll(int fd, const std::string& bytes) {
    for (size_t at = 0; at < bytes.size();) {
        ssize_t n = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n <= 0) return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

// A server that records each request byte for byte and answers by hand, for what a
// library server would tidy away: exact headers, broken answers, silence.
class RawServer {
public:
    using Handler = std::function<void(int fd, RawServer& server)>;

    explicit RawServer(Handler handler) : m_handler(std::move(handler)) {
        m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (bind(m_listen, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(m_listen, 8) != 0 ||
            getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            ADD_FAILURE() << "cannot listen";
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~RawServer() {
        m_stop = true;
        Release();
        m_thread.join();
        close(m_listen);
    }

    std::string Url(const std::string& object) const {
        return "http://127.0.0.1:" + std::to_string(m_port) + object;
    }
    uint16_t Port() const { return m_port; }
    std::vector<std::string> Requests() const {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_requests;
    }
    int Connections() const { return m_connections; }

    // Keeps a handler's connection open until the test lets go (or a minute passes).
    void HoldUntilReleased() {
        std::unique_lock<std::mutex> hold(m_lock);
        m_released.wait_for(hold, 60s, [this] { return m_release; });
    }
    void Release() {
        std::lock_guard<std::mutex> hold(m_lock);
        m_release = true;
        m_released.notify_all();
    }

private:
    void Serve() {
        while (!m_stop) {
            pollfd p{m_listen, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            ++m_connections;
            std::string request = ReadRequest(fd);
            {
                std::lock_guard<std::mutex> hold(m_lock);
                m_requests.push_back(request);
            }
            m_handler(fd, *this);
            close(fd);
        }
    }

    static std::string ReadRequest(int fd) {
        std::string data;
        size_t wanted = std::string::npos;
        char buf[65536];
        while (data.size() < wanted) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0) break;
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            data.append(buf, static_cast<size_t>(n));
            size_t end = data.find("\r\n\r\n");
            if (wanted == std::string::npos && end != std::string::npos) {
                size_t body = 0;
                std::string head = data.substr(0, end + 2);
                for (auto& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                size_t at = head.find("\r\ncontent-length:");
                if (at != std::string::npos) body = std::strtoul(head.c_str() + at + 17, nullptr, 10);
                wanted = end + 4 + body;
            }
        }
        return data;
    }

    Handler m_handler;
    int m_listen = -1;
    uint16_t m_port = 0;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    mutable std::mutex m_lock;
    std::condition_variable m_released;
    bool m_release = false;
    std::vector<std::string> m_requests;
};

RawServer::Handler Answer(const std::string& bytes) {
    return [bytes](int fd, RawServer&) { SendAll(fd, bytes); };
}

// The request line, the header lines and the body of a recorded request.
struct Parsed {
    std::string requestLine;
    std::vector<std::string> headers;
    std::map<std::string, std::string> byName;  // lower-case name -> value
    std::string body;
};

Parsed Parse(const std::string& request) {
    Parsed p;
    size_t end = request.find("\r\n\r\n");
    if (end == std::string::npos) return p;
    p.body = request.substr(end + 4);
    std::string head = request.substr(0, end + 2);
    size_t at = head.find("\r\n");
    p.requestLine = head.substr(0, at);
    for (at += 2; at < head.size();) {
        size_t eol = head.find("\r\n", at);
        std::string line = head.substr(at, eol - at);
        p.headers.push_back(line);
        std::string name = line.substr(0, line.find(':'));
        for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        size_t value = line.find_first_not_of(' ', name.size() + 1);
        p.byName[name] = value == std::string::npos ? "" : line.substr(value);
        at = eol + 2;
    }
    return p;
}

std::set<std::string> NamesOf(const Parsed& p) {
    std::set<std::string> names;
    for (const auto& h : p.byName) names.insert(h.first);
    return names;
}

// A cpp-httplib server for well-formed answers.
class WebServer {
public:
    explicit WebServer(const std::function<void(httplib::Server&)>& routes) {
        routes(m_server);
        m_server.set_keep_alive_timeout(1);  // the stop waits for kept connections
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        // stop() only takes effect once the loop runs.
        while (!m_server.is_running()) std::this_thread::sleep_for(1ms);
    }
    ~WebServer() {
        m_server.stop();
        m_thread.join();
    }
    std::string Url(const std::string& object) const {
        return "http://127.0.0.1:" + std::to_string(m_port) + object;
    }

private:
    httplib::Server m_server;
    int m_port = 0;
    std::thread m_thread;
};

std::string Pattern(size_t size) {
    std::string s(size, '\0');
    uint32_t x = 12345;
    for (auto& c : s) {
        x = x * 1103515245 + 12345;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

// RequestData's outcome, with the block freed however the exchange ended.
struct Data {
    BOOL ok = FALSE;
    std::string bytes;
    bool nullWhenEmpty = true;
};

Data FetchData(const std::string& url, const char* form = "A=1", DWORD limit = CHttpRequest::kMaxAnswerSize) {
    CHttpRequest request(url);
    request.SetAnswerLimit(limit);
    unsigned char* block = reinterpret_cast<unsigned char*>(1);
    DWORD size = 77;
    Data d;
    d.ok = request.RequestData(form, &block, &size);
    if (block) d.bytes.assign(reinterpret_cast<char*>(block), size);
    d.nullWhenEmpty = size != 0 || block == nullptr;
    std::free(block);
    return d;
}

// The proxy settings of whoever runs the tests must not reroute 127.0.0.1.
class Http : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("no_proxy", "127.0.0.1", 1);
        setenv("NO_PROXY", "127.0.0.1", 1);
    }
    MessageRecorder m_messages;
};

// An update is running on this thread, so CheckCancel listens to its queue.
class UpdateRunning {
public:
    UpdateRunning() {
        m_thread.m_nThreadID = platform::CurrentThreadId();
        platform::CreateThreadQueue();
        theApp.m_pUpdateThread = &m_thread;
    }
    ~UpdateRunning() {
        theApp.m_pUpdateThread = nullptr;
        platform::ReleaseThreadQueue();
    }
    platform::ThreadId Id() const { return m_thread.m_nThreadID; }

private:
    CWinThread m_thread;
};

class ShortIdleTimeout {
public:
    ShortIdleTimeout() : m_old(platform::SetHttpTimeouts({60000, 1})) {}
    ~ShortIdleTimeout() { platform::SetHttpTimeouts(m_old); }

private:
    platform::HttpTimeouts m_old;
};

const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nOK";

TEST_F(Http, PostCarriesTheHeaderBlockAndTheFormOnly) {
    RawServer server(Answer(kOk));
    Data d = FetchData(server.Url("/ads/getdata.php3?v=1"), "CONTS_CODE=0001234");
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(d.bytes, "OK");
    ASSERT_EQ(server.Requests().size(), 1u);
    const std::string raw = server.Requests()[0];
    EXPECT_NE(raw.find("\r\n" + std::string(kHeaderBlock)), std::string::npos) << raw;
    Parsed p = Parse(raw);
    EXPECT_EQ(p.requestLine, "POST /ads/getdata.php3?v=1 HTTP/1.1");
    EXPECT_EQ(NamesOf(p), (std::set<std::string>{"host", "accept", "user-agent", "content-type", "content-length"}));
    EXPECT_EQ(p.headers.size(), 5u) << "each header once";
    EXPECT_EQ(p.byName["host"], "127.0.0.1:" + std::to_string(server.Port()));
    EXPECT_EQ(p.byName["content-length"], "18");
    EXPECT_EQ(p.body, "CONTS_CODE=0001234");
    EXPECT_TRUE(m_messages.Ids().empty());
}

TEST_F(Http, NullFormIsGetForTextAndEmptyPostForData) {
    RawServer server(Answer(kOk));
    CString answer;
    EXPECT_TRUE(CHttpRequest(server.Url("/list")).RequestText(nullptr, answer));
    EXPECT_EQ(answer, "OK");
    EXPECT_TRUE(FetchData(server.Url("/log"), nullptr).ok);
    ASSERT_EQ(server.Requests().size(), 2u);

    Parsed get = Parse(server.Requests()[0]);
    EXPECT_EQ(get.requestLine, "GET /list HTTP/1.1");
    EXPECT_NE(server.Requests()[0].find(kHeaderBlock), std::string::npos) << "Content-Type goes with GET too";
    EXPECT_EQ(NamesOf(get), (std::set<std::string>{"host", "accept", "user-agent", "content-type"}));
    EXPECT_EQ(get.body, "");

    Parsed post = Parse(server.Requests()[1]);
    EXPECT_EQ(post.requestLine, "POST /log HTTP/1.1");
    EXPECT_EQ(post.byName["content-length"], "0");
    EXPECT_EQ(post.body, "");
}

TEST_F(Http, LargeFormGoesAtOnceWithoutExpect) {
    RawServer server(Answer(kOk));
    const std::string form = "MSG=" + std::string(2 * 1024 * 1024, 'x');
    EXPECT_TRUE(FetchData(server.Url("/"), form.c_str()).ok);
    ASSERT_EQ(server.Requests().size(), 1u);
    Parsed p = Parse(server.Requests()[0]);
    EXPECT_EQ(p.byName.count("expect"), 0u);
    EXPECT_EQ(p.body, form);
}

TEST_F(Http, AnswerBytesArriveUnconverted) {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
    bytes += "\r\n\x82\xA0\n";
    const std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=Shift_JIS\r\nContent-Length: " +
                              std::to_string(bytes.size()) + "\r\n\r\n" + bytes;
    RawServer server([&](int fd, RawServer&) { SendAll(fd, reply); });
    CString text;
    EXPECT_TRUE(CHttpRequest(server.Url("/")).RequestText("A=1", text));
    EXPECT_EQ(text, bytes);
    EXPECT_EQ(FetchData(server.Url("/")).bytes, bytes);
}

TEST_F(Http, UrlsThatAreNotHttpAreRefusedBeforeAnyConnection) {
    RawServer server(Answer(kOk));
    const std::string port = std::to_string(server.Port());
    struct Case {
        std::string url;
        unsigned message;
    };
    const Case cases[] = {
        {"", IDP_URL_PARSE},  // what a missing registry value leaves
        {"getlist.php3", IDP_URL_PARSE},
        {"http://", IDP_URL_PARSE},
        {"http://bad host:" + port + "/", IDP_URL_PARSE},
        {"http://127.0.0.1:" + port + "x/", IDP_URL_PARSE},
        {"http://127.0.0.1:70000/", IDP_URL_PARSE},
        {"https://127.0.0.1:" + port + "/", IDP_NOT_HTTP},
        {"ftp://127.0.0.1:" + port + "/", IDP_NOT_HTTP},
        {"gopher://127.0.0.1:" + port + "/", IDP_NOT_HTTP},
    };
    for (const Case& c : cases) {
        m_messages.Clear();
        CString text = "stale";
        EXPECT_FALSE(CHttpRequest(c.url).RequestText("A=1", text)) << c.url;
        EXPECT_FALSE(FetchData(c.url).ok) << c.url;
        EXPECT_EQ(m_messages.Ids(), (std::vector<unsigned>{c.message, c.message})) << c.url;
        EXPECT_EQ(m_messages.Shown()[0].type, platform::kMbOk);
    }
    EXPECT_EQ(server.Connections(), 0);
}

TEST(HttpUrl, PartsAndDefaults) {
    platform::UrlParts p;
    ASSERT_TRUE(platform::ParseUrl("HTTP://user:pw@Example.com", p));
    EXPECT_EQ(p.service, platform::kInetServiceHttp);
    EXPECT_EQ(p.server, "Example.com");
    EXPECT_EQ(p.port, 80);
    EXPECT_EQ(p.object, "/");

    ASSERT_TRUE(platform::ParseUrl("http://ads.example:8080/cgi/getlist.php3?a=1&b=2#top", p));
    EXPECT_EQ(p.port, 8080);
    EXPECT_EQ(p.object, "/cgi/getlist.php3?a=1&b=2");

    ASSERT_TRUE(platform::ParseUrl("http://h?q=1", p));
    EXPECT_EQ(p.object, "/?q=1");
    ASSERT_TRUE(platform::ParseUrl("http://[::1]:81/a b\x82\xA0", p));
    EXPECT_EQ(p.server, "::1");
    EXPECT_EQ(p.port, 81);
    EXPECT_EQ(p.object, "/a%20b%82%A0");
    ASSERT_TRUE(platform::ParseUrl("https://h/", p));
    EXPECT_EQ(p.port, 443);
    EXPECT_NE(p.service, platform::kInetServiceHttp);

    for (const char* bad : {"", "h/x", "://h/", "http://:80/", "http://h:0/", "http://[::1/", "http://[::1]x/",
                            "1http://h/"})
        EXPECT_FALSE(platform::ParseUrl(bad, p)) << bad;
}

TEST_F(Http, StatusOutside2xxOrEmptyAnswerFails) {
    WebServer server([](httplib::Server& s) {
        s.Post("/204", [](const httplib::Request&, httplib::Response& r) { r.status = 204; });
        s.Post("/empty", [](const httplib::Request&, httplib::Response& r) { r.set_content("", "text/plain"); });
        s.Post("/299", [](const httplib::Request&, httplib::Response& r) {
            r.status = 299;
            r.set_content("fine", "text/plain");
        });
        for (int status : {301, 404, 500})
            s.Post("/" + std::to_string(status), [status](const httplib::Request&, httplib::Response& r) {
                r.status = status;
                if (status == 301) r.set_header("Location", "/299");
                r.set_content("body of the refusal", "text/plain");
            });
    });
    const std::pair<const char*, unsigned> cases[] = {
        {"/204", IDP_RECEIVE}, {"/empty", IDP_RECEIVE}, {"/301", IDP_BAD_STATUS},
        {"/404", IDP_BAD_STATUS}, {"/500", IDP_BAD_STATUS},
    };
    for (const auto& c : cases) {
        m_messages.Clear();
        CString text;
        EXPECT_FALSE(CHttpRequest(server.Url(c.first)).RequestText("A=1", text)) << c.first;
        Data d = FetchData(server.Url(c.first));
        EXPECT_FALSE(d.ok) << c.first;
        EXPECT_TRUE(d.nullWhenEmpty);
        EXPECT_EQ(m_messages.Ids(), (std::vector<unsigned>{c.second, c.second})) << c.first;
    }
    m_messages.Clear();
    EXPECT_EQ(FetchData(server.Url("/299")).bytes, "fine");
    EXPECT_TRUE(m_messages.Ids().empty());
}

TEST_F(Http, AnswersOfAnySizeArriveWhole) {
    const std::string chunk = Pattern(CHttpRequest::kChunkSize);
    const std::string big = Pattern(5 * 1000 * 1000 + 7);
    WebServer server([&](httplib::Server& s) {
        s.Post("/chunk", [&](const httplib::Request&, httplib::Response& r) { r.set_content(chunk, "application/octet-stream"); });
        s.Post("/big", [&](const httplib::Request&, httplib::Response& r) { r.set_content(big, "application/octet-stream"); });
        // Without a length: the body ends with the last chunk.
        s.Post("/streamed", [&](const httplib::Request&, httplib::Response& r) {
            r.set_chunked_content_provider("application/octet-stream", [&](size_t offset, httplib::DataSink& sink) {
                if (offset >= big.size()) {
                    sink.done();
                    return true;
                }
                return sink.write(big.data() + offset, std::min<size_t>(30000, big.size() - offset));
            });
        });
    });
    for (const char* path : {"/chunk", "/big", "/streamed"}) {
        const std::string& expected = std::string(path) == "/chunk" ? chunk : big;
        CString text;
        EXPECT_TRUE(CHttpRequest(server.Url(path)).RequestText("A=1", text)) << path;
        EXPECT_TRUE(text == expected) << path << ": " << text.size() << " bytes";
        Data d = FetchData(server.Url(path));
        EXPECT_TRUE(d.ok) << path;
        EXPECT_TRUE(d.bytes == expected) << path << ": " << d.bytes.size() << " bytes";
    }
    EXPECT_TRUE(m_messages.Ids().empty());
}

TEST_F(Http, AnswersOverTheCapFail) {
    // Announced too large: refused before its body is read.
    RawServer announced([](int fd, RawServer& self) {
        SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(uint64_t{CHttpRequest::kMaxAnswerSize} + 1) +
                        "\r\n\r\nxxxx");
        self.HoldUntilReleased();
    });
    ShortIdleTimeout idle;  // a transport that read on would fail, but without the message
    EXPECT_FALSE(FetchData(announced.Url("/")).ok);
    EXPECT_EQ(m_messages.Ids(), (std::vector<unsigned>{IDP_RECEIVE}));
    announced.Release();

    // Grown too large while it streams in; the limit itself still fits.
    WebServer streamed([](httplib::Server& s) {
        s.Post("/", [](const httplib::Request& q, httplib::Response& r) {
            size_t size = std::stoul(q.get_param_value("size"));
            r.set_chunked_content_provider("application/octet-stream", [size](size_t offset, httplib::DataSink& sink) {
                if (offset >= size) {
                    sink.done();
                    return true;
                }
                std::string part(std::min<size_t>(40000, size - offset), 'z');
                return sink.write(part.data(), part.size());
            });
        });
    });
    m_messages.Clear();
    EXPECT_EQ(FetchData(streamed.Url("/"), "size=250000", 250000).bytes.size(), 250000u);
    EXPECT_TRUE(m_messages.Ids().empty());
    EXPECT_FALSE(FetchData(streamed.Url("/"), "size=250001", 250000).ok);
    CHttpRequest text(streamed.Url("/"));
    text.SetAnswerLimit(250000);
    CString answer;
    EXPECT_FALSE(text.RequestText("size=250001", answer));
    EXPECT_EQ(m_messages.Ids(), (std::vector<unsigned>{IDP_RECEIVE, IDP_RECEIVE}));
}

TEST_F(Http, BrokenExchangesFail) {
    const std::string refused = "http://127.0.0.1:" + std::to_string(DeadPort()) + "/";
    CString text;
    EXPECT_FALSE(CHttpRequest(refused).RequestText("A=1", text));
    EXPECT_FALSE(FetchData(refused).ok);
    EXPECT_EQ(m_messages.Ids(), (std::vector<unsigned>{IDP_SEND_REQUEST, IDP_SEND_REQUEST}));

    // Closed mid-body: the data request fails without a message of its own (its caller
    // shows one); the text request passes the layer's exception on.
    m_messages.Clear();
    RawServer cut(Answer("HTTP/1.1 200 OK\r\nContent-Length: 300000\r\n\r\n" + std::string(150000, 'c')));
    Data d = FetchData(cut.Url("/"));
    EXPECT_FALSE(d.ok);
    try {
        CHttpRequest(cut.Url("/")).RequestText("A=1", text);
        ADD_FAILURE() << "no exception";
    } catch (const CInternetException& e) {
        std::string message;
        EXPECT_TRUE(e.GetErrorMessage(message));
        EXPECT_FALSE(message.empty());
    }
    EXPECT_TRUE(m_messages.Ids().empty());
}

// Each server would hold on for a minute; the idle limit must be what ends the exchange.
TEST_F(Http, SilentServersTimeOut) {
    ShortIdleTimeout idle;
    {
        // No status line ever comes: sending the request counts as failed.
        RawServer mute([](int, RawServer& self) { self.HoldUntilReleased(); });
        CString text;
        EXPECT_FALSE(CHttpRequest(mute.Url("/")).RequestText("A=1", text));
        EXPECT_EQ(m_messages.Ids(), (std::vector<unsigned>{IDP_SEND_REQUEST}));
        mute.Release();
    }
    {
        // The body stops half-way and the connection stays open.
        RawServer stalled([](int fd, RawServer& self) {
            SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(10, 's'));
            self.HoldUntilReleased();
        });
        m_messages.Clear();
        CString text;
        try {
            CHttpRequest(stalled.Url("/")).RequestText("A=1", text);
            ADD_FAILURE() << "a stalled answer must raise";
        } catch (const CInternetException& e) {
            EXPECT_EQ(e.m_dwError, static_cast<DWORD>(CURLE_OPERATION_TIMEDOUT)) << e.m_strText;
        }
        EXPECT_TRUE(m_messages.Ids().empty());
        stalled.Release();
    }
    {
        RawServer stalled([](int fd, RawServer& self) {
            SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(10, 's'));
            self.HoldUntilReleased();
        });
        EXPECT_FALSE(FetchData(stalled.Url("/")).ok);  // quietly, for the caller to report
        EXPECT_TRUE(m_messages.Ids().empty());
        stalled.Release();
    }
}

TEST_F(Http, CancelDuringALongAnswerLeavesBothOperations) {
    UpdateRunning update;
    std::atomic<bool> over{false};
    WebServer server([&](httplib::Server& s) {
        s.Post("/", [&](const httplib::Request&, httplib::Response& r) {
            r.set_chunked_content_provider("application/octet-stream", [&](size_t offset, httplib::DataSink& sink) {
                // Far more than any test waits for, in small slow pieces.
                if (over || offset >= 64u * 1024 * 1024) {
                    sink.done();
                    return true;
                }
                std::string part(8192, 'p');
                if (!sink.write(part.data(), part.size())) return false;
                if (offset == 0) platform::PostToThread(update.Id(), kCancelMessage, 0, 0);
                std::this_thread::sleep_for(2ms);
                return true;
            });
        });
    });
    CString text;
    EXPECT_THROW(CHttpRequest(server.Url("/")).RequestText("A=1", text), CFLBException);
    unsigned char* block = nullptr;
    DWORD size = 0;
    EXPECT_THROW(CHttpRequest(server.Url("/")).RequestData("A=1", &block, &size), CFLBException);
    std::free(block);
    EXPECT_TRUE(m_messages.Ids().empty());
    over = true;
}

TEST_F(Http, WaitingCancelWinsOverAFailure) {
    UpdateRunning update;
    RawServer cut([&](int fd, RawServer&) {
        SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + std::string(100, 'c'));
        platform::PostToThread(update.Id(), kCancelMessage, 0, 0);
    });
    CString text;
    EXPECT_THROW(CHttpRequest(cut.Url("/")).RequestText("A=1", text), CFLBException);
    unsigned char* block = nullptr;
    DWORD size = 0;
    EXPECT_THROW(CHttpRequest(cut.Url("/")).RequestData("A=1", &block, &size), CFLBException);
    std::free(block);
}

TEST_F(Http, OtherMessagesDoNotCancel) {
    UpdateRunning update;
    const std::string body = Pattern(3 * CHttpRequest::kChunkSize);
    RawServer server([&](int fd, RawServer&) {
        platform::PostToThread(update.Id(), kCancelMessage + 1, 0, 0);
        SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    });
    EXPECT_EQ(FetchData(server.Url("/")).bytes, body);
    unsigned message = 0;
    EXPECT_FALSE(platform::PeekOwnThreadMessage(message)) << "the check takes what it finds";
}

}  // namespace
