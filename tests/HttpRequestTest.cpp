// The transport against a real server on 127.0.0.1: what goes on the wire, which message
// each failing step shows, whole answers of any size, failures and cancels mid-answer.
// Whole updates against broken servers (refused, reset, mute, bad status, huge) are
// HostileServerTest's; here is what an update cannot stage.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frame/App.h"
#include "frame/Exceptions.h"
#include "net/HttpRequest.h"
#include "platform/Http.h"
#include "platform/Registry.h"
#include "platform/ThreadQueue.h"
#include "res/StringTable.h"
#include "res/resource.h"
#include "viewlog/AvlsNotice.h"
#include "viewlog/LogSealer.h"
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
    using Handler = std::function<void(int fd)>;

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

private:
    void Serve() {
        while (!m_stop) {
            pollfd p{m_listen, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            std::string request = ReadRequest(fd);
            {
                std::lock_guard<std::mutex> hold(m_lock);
                m_requests.push_back(request);
            }
            m_handler(fd);
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
                const char* length = strcasestr(data.substr(0, end + 2).c_str(), "\r\ncontent-length:");
                wanted = end + 4 + (length ? std::strtoul(length + 17, nullptr, 10) : 0);
            }
        }
        return data;
    }

    Handler m_handler;
    int m_listen = -1;
    uint16_t m_port = 0;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_lock;
    std::vector<std::string> m_requests;
};

RawServer::Handler Answer(const std::string& bytes) {
    return [bytes](int fd) { SendAll(fd, bytes); };
}

// Keeps a connection open, saying nothing, until the client goes (or a minute passes).
void HoldOpen(int fd) {
    pollfd p{fd, POLLIN, 0};
    char byte;
    while (poll(&p, 1, 60000) > 0 && recv(fd, &byte, 1, 0) > 0) {
    }
}

std::string Head(size_t length) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
}

// An answer without a length, `piece` bytes a chunk. `sent` is told the offset of each chunk
// sent; the answer ends early when it returns false or the client has gone.
RawServer::Handler Chunked(const std::string& body, size_t piece,
                           std::function<bool(size_t)> sent = [](size_t) { return true; }) {
    return [=](int fd) {
        if (!SendAll(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")) return;
        for (size_t at = 0; at < body.size(); at += piece) {
            const std::string part = body.substr(at, piece);
            char size[32];
            std::snprintf(size, sizeof size, "%zx\r\n", part.size());
            if (!SendAll(fd, size + part + "\r\n") || !sent(at)) return;
        }
        SendAll(fd, "0\r\n\r\n");
    };
}

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

BOOL FetchText(const std::string& url, CString& text, DWORD limit = CHttpRequest::kMaxAnswerSize) {
    CHttpRequest request(url);
    request.SetAnswerLimit(limit);
    return request.RequestText("A=1", text);
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
    void Cancel() const { platform::PostToThread(m_thread.m_nThreadID, kCancelMessage, 0, 0); }
    void PostOther() const { platform::PostToThread(m_thread.m_nThreadID, kCancelMessage + 1, 0, 0); }

private:
    CWinThread m_thread;
};

const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nOK";

// Each header once, in this order, the block whole; a large form goes at once, without
// waiting for a "100 Continue".
TEST_F(Http, RequestsCarryTheHeaderBlockAndTheFormOnly) {
    RawServer server(Answer(kOk));
    const std::string big = "MSG=" + std::string(2 * 1024 * 1024, 'x');
    CString text;
    EXPECT_TRUE(CHttpRequest(server.Url("/list")).RequestText(nullptr, text));
    EXPECT_EQ(text, "OK");
    EXPECT_EQ(FetchData(server.Url("/ads/getdata.php3?v=1"), "CONTS_CODE=0001234").bytes, "OK");
    EXPECT_TRUE(FetchData(server.Url("/log"), nullptr).ok);
    EXPECT_TRUE(FetchData(server.Url("/"), big.c_str()).ok);
    const std::string head = " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n" + kHeaderBlock;
    const std::string expected[] = {
        "GET /list" + head + "\r\n",  // Content-Type goes with GET too
        "POST /ads/getdata.php3?v=1" + head + "Content-Length: 18\r\n\r\nCONTS_CODE=0001234",
        "POST /log" + head + "Content-Length: 0\r\n\r\n",
        "POST /" + head + "Content-Length: " + std::to_string(big.size()) + "\r\n\r\n" + big,
    };
    const std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(requests.size(), 4u);
    for (size_t i = 0; i < 4; ++i) EXPECT_TRUE(requests[i] == expected[i]) << requests[i].substr(0, 400);
    EXPECT_TRUE(m_messages.Ids().empty());
}

// A view is confirmed by the sealed "OK" alone, not by a text that begins with it.
TEST_F(Http, OnlyASealedOkConfirmsAView) {
    TempFolder registry;
    setenv("FLB_REGISTRY_DIR", registry.Folder().c_str(), 1);
    theApp.m_strRegistryKey = LoadResString(IDS_REGISTRY_KEY);
    for (auto [answer, confirmed] : {std::pair{"OK", TRUE}, std::pair{"OKAY", FALSE}, std::pair{"OK ", FALSE}}) {
        const std::string sealed = SealText(answer).get();
        RawServer server(Answer(Head(sealed.size()) + sealed));
        ASSERT_TRUE(platform::WriteRegistryValue("HKEY_CURRENT_USER", theApp.m_strRegistryKey,
                                                 LoadResString(IDS_VALUE_NOTIFY), server.Url("/log")));
        EXPECT_EQ(CAvlsNotice("u1", 1234, 1, "x").Send(), confirmed) << answer;
    }
    EXPECT_EQ(m_messages.Ids(), std::vector<unsigned>(2, IDP_AVLS_COMM_ERROR));
}

TEST_F(Http, UrlsThatAreNotHttpAreRefusedBeforeAnyConnection) {
    RawServer server(Answer(kOk));
    const std::string port = std::to_string(server.Port());
    const std::pair<unsigned, std::vector<std::string>> cases[] = {
        {IDP_URL_PARSE,
         {"" /* what a missing registry value leaves */, "getlist.php3", "http://", "://h/", "1http://h/", "http://:80/",
          "http://h:0/", "http://[::1/", "http://[::1]x/", "http://127.0.0.1:70000/", "http://bad host:" + port + "/",
          "http://127.0.0.1:" + port + "x/"}},
        {IDP_NOT_HTTP,
         {"https://127.0.0.1:" + port + "/", "ftp://127.0.0.1:" + port + "/", "gopher://127.0.0.1:" + port + "/"}},
    };
    for (const auto& [message, urls] : cases)
        for (const std::string& url : urls) {
            SCOPED_TRACE(url);
            m_messages.Clear();
            CString text = "stale";
            EXPECT_FALSE(CHttpRequest(url).RequestText("A=1", text));
            EXPECT_FALSE(FetchData(url).ok);
            EXPECT_EQ(m_messages.Ids(), (std::vector<unsigned>{message, message}));
            EXPECT_EQ(m_messages.Shown()[0].type, platform::kMbOk);
        }
    EXPECT_TRUE(server.Requests().empty()) << "a connection was made";
}

TEST(HttpUrl, PartsAndDefaults) {
    const struct {
        const char *url, *server;
        uint16_t port;
        const char* object;
    } cases[] = {
        {"HTTP://user:pw@Example.com", "Example.com", 80, "/"},
        {"http://ads.example:8080/cgi/getlist.php3?a=1&b=2#top", "ads.example", 8080, "/cgi/getlist.php3?a=1&b=2"},
        {"http://h?q=1", "h", 80, "/?q=1"},
        {"http://[::1]:81/a b\x82\xA0", "::1", 81, "/a%20b%82%A0"},
        {"https://h/", "h", 443, "/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        platform::UrlParts p;
        ASSERT_TRUE(platform::ParseUrl(c.url, p));
        EXPECT_EQ(p.server, c.server);
        EXPECT_EQ(p.port, c.port);
        EXPECT_EQ(p.object, c.object);
        EXPECT_EQ(p.service == platform::kInetServiceHttp, c.port != 443);
    }
}

// Every 2xx answer arrives whole through both kinds of request, bytes as they came.
TEST_F(Http, AnswersOfAnySizeArriveWhole) {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
    bytes += "\r\n\x82\xA0\n";
    const std::string chunk = Pattern(CHttpRequest::kChunkSize), big = Pattern(5 * 1000 * 1000 + 7);
    const std::string atCap(250000, 'z'), fine = "fine";
    const struct {
        RawServer::Handler answer;
        const std::string& body;
        DWORD limit = CHttpRequest::kMaxAnswerSize;
    } cases[] = {
        {Answer("HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=Shift_JIS\r\nContent-Length: " +
                std::to_string(bytes.size()) + "\r\n\r\n" + bytes),
         bytes},
        {Answer(Head(chunk.size()) + chunk), chunk},
        {Answer(Head(big.size()) + big), big},
        {Chunked(big, 30000), big},  // no length: the block grows as it comes
        {Chunked(atCap, 40000), atCap, 250000},
        {Answer("HTTP/1.1 299 Fine\r\nContent-Length: 4\r\n\r\nfine"), fine},
    };
    for (const auto& c : cases) {
        RawServer server(c.answer);
        CString text;
        EXPECT_TRUE(FetchText(server.Url("/"), text, c.limit));
        EXPECT_TRUE(text == c.body) << text.size() << " bytes";
        EXPECT_TRUE(FetchData(server.Url("/"), "A=1", c.limit).bytes == c.body);
    }
    EXPECT_TRUE(m_messages.Ids().empty());
}

// Empty answers and those over the cap fail with their message. A body cut short, closed
// or stalled with the connection open (the idle limit ends it, not the server's minute),
// fails without one: the data request quietly, for its caller to report, the text request
// passing the layer's exception on.
TEST_F(Http, EmptyOverlongAndCutAnswersFail) {
    const platform::HttpTimeouts old = platform::SetHttpTimeouts({60000, 1});
    const auto cut = [](bool stall) -> RawServer::Handler {
        return [stall](int fd) {
            SendAll(fd, Head(1000) + std::string(10, 's'));
            if (stall) HoldOpen(fd);
        };
    };
    const struct {
        const char* name;
        RawServer::Handler answer;
        unsigned message;
        DWORD error = 0;
    } cases[] = {
        {"no content", Answer("HTTP/1.1 204 No Content\r\n\r\n"), IDP_RECEIVE},
        {"empty", Answer(Head(0)), IDP_RECEIVE},
        {"over the cap", Chunked(std::string(250001, 'z'), 40000), IDP_RECEIVE},
        {"closed", cut(false), 0},
        {"stalled", cut(true), 0, CURLE_OPERATION_TIMEDOUT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RawServer server(c.answer);
        m_messages.Clear();
        const Data d = FetchData(server.Url("/"), "A=1", 250000);
        EXPECT_FALSE(d.ok);
        EXPECT_TRUE(d.nullWhenEmpty);
        try {
            CString text;
            EXPECT_FALSE(FetchText(server.Url("/"), text, 250000));
            EXPECT_NE(c.message, 0u) << "a cut answer must raise";
        } catch (const CInternetException& e) {
            EXPECT_EQ(c.message, 0u);
            EXPECT_TRUE(!c.error || e.m_dwError == c.error) << e.m_strText;
        }
        EXPECT_EQ(m_messages.Ids(), std::vector<unsigned>(c.message ? 2 : 0, c.message));
    }
    platform::SetHttpTimeouts(old);
}

// A cancel that comes while a long answer streams in, or that waits as the answer breaks
// off, ends either request as a cancel, never as a failure.
TEST_F(Http, CancelEndsBothRequestsMidAnswer) {
    UpdateRunning update;
    RawServer streaming(Chunked(std::string(8 << 20, 'p'), 8192, [&](size_t at) {
        if (at == 0) update.Cancel();
        std::this_thread::sleep_for(2ms);
        return true;
    }));
    RawServer cut([&](int fd) {
        SendAll(fd, Head(5000) + std::string(100, 'c'));
        update.Cancel();
    });
    for (RawServer* server : {&streaming, &cut}) {
        CString text;
        EXPECT_THROW(CHttpRequest(server->Url("/")).RequestText("A=1", text), CFLBException);
        unsigned char* block = nullptr;
        DWORD size = 0;
        EXPECT_THROW(CHttpRequest(server->Url("/")).RequestData("A=1", &block, &size), CFLBException);
        std::free(block);
    }
    EXPECT_TRUE(m_messages.Ids().empty());
}

TEST_F(Http, OtherMessagesDoNotCancel) {
    UpdateRunning update;
    const std::string body = Pattern(3 * CHttpRequest::kChunkSize);
    RawServer server([&](int fd) {
        update.PostOther();
        SendAll(fd, Head(body.size()) + body);
    });
    EXPECT_EQ(FetchData(server.Url("/")).bytes, body);
    unsigned message = 0;
    EXPECT_FALSE(platform::PeekOwnThreadMessage(message)) << "the check takes what it finds";
}

}  // namespace
