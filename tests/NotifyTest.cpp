// View reports end to end: the exported FLBNotifyAVLS against the reference log server
// run as a real program, its stored rows, and each way the server can fail us.
#include <gtest/gtest.h>

#include <string>

#include "frame/App.h"
#include "net/HttpRequest.h"
#include "platform/Files.h"
#include "platform/Http.h"
#include "platform/Registry.h"
#include "res/StringTable.h"
#include "res/resource.h"
#include "viewlog/AvlsNotice.h"
#include "HostHarness.h"
#include "TestSupport.h"

namespace {

const char kCode[] = "0001234";

class Notify : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("no_proxy", "127.0.0.1", 1);
        setenv("FLB_REGISTRY_DIR", m_root.Path("registry").c_str(), 1);
        setenv("FLB_MESSAGE_LOG", Log().c_str(), 1);
        ASSERT_TRUE(platform::MakeDirectory(m_root.Path("ads")));
        WriteText(m_root.Path("ads/0001234.jpg"), "picture");
        NoViewYet();
        ASSERT_EQ(flb.FLBSetFolder(m_root.Path("ads").c_str()), 1);
    }
    void TearDown() override { unsetenv("FLB_MESSAGE_LOG"); }

    void StartServer(std::vector<std::string> args = {}) {
        args.insert(args.end(), {"--db", m_root.Path("views.db")});
        ASSERT_TRUE(m_server.Start(AVLS_SERVER, args));
        SetUrl(m_server.Url("log.php3"));
    }
    void SetUrl(const std::string& url) {
        ASSERT_TRUE(platform::WriteRegistryValue("HKEY_CURRENT_USER", LoadResString(IDS_REGISTRY_KEY),
                                                 LoadResString(IDS_VALUE_NOTIFY), url));
    }
    // The catalogue with the ad never shown; the library reads it again before a change.
    void NoViewYet() {
        WriteText(m_root.Path("ads/Flyerbank.dat"),
                  CatalogueText({{1234, m_root.Path("ads/0001234.jpg"), "ad", 0, "http://x/"}}, "1.0"));
    }
    std::string Log() const { return m_root.Path("messages.log"); }
    std::vector<unsigned> Messages() const { return LoggedMessages(Log()); }
    // The rows the server stored, as its dump prints them.
    std::string Rows() {
        m_server.Stop();
        Program dump({AVLS_SERVER, "--dump", "--db", m_root.Path("views.db")});
        dump.Wait();
        return dump.Out();
    }
    bool ViewTimeRecorded() const {
        const std::string file = ReadText(m_root.Path("ads/Flyerbank.dat"));
        return file.find("Time=") != std::string::npos && file.find("Time=0\r\n") == std::string::npos;
    }

    Library& flb = Library::Get();
    TempFolder m_root;
    ServerRun m_server;
};

TEST_F(Notify, AcceptedViewsAreStoredWithTheirFieldsEvenALargeText) {
    StartServer();
    // Far over the 8 KB that a URL-encoded form may have in the HTTP library's server.
    std::string large;
    for (int i = 0; large.size() < 100 * 1024; ++i) large += std::to_string(i) + ";";
    EXPECT_EQ(flb.FLBNotifyAVLS(1234, -5, "shown, twice"), 1);
    EXPECT_EQ(flb.FLBNotifyAVLS(1234, 1, large.c_str()), 1);
    EXPECT_TRUE(Messages().empty());
    EXPECT_TRUE(ViewTimeRecorded());
    const std::string rows = Rows();
    // No update has run in this process: the user id is empty.
    EXPECT_EQ(rows.rfind(std::string("\t") + kCode + "\t-5\tshown, twice\t", 0), 0u) << rows.substr(0, 200);
    EXPECT_NE(rows.find("\t127.0.0.1"), std::string::npos);
    EXPECT_NE(rows.find(std::string(kCode) + "\t1\t" + large + "\t"), std::string::npos);
}

TEST_F(Notify, EachFaultOfTheServerDecidesTheReportAndKeepsTheViewTime) {
    struct Case {
        const char* fault;
        int result;
        std::vector<unsigned> messages;
    };
    const Case cases[] = {
        {"plain-ok", 0, {IDP_AVLS_COMM_ERROR}},
        {"empty", 0, {IDP_RECEIVE, IDP_AVLS_COMM_ERROR}},
        {"status-500", 0, {IDP_BAD_STATUS, IDP_AVLS_COMM_ERROR}},
        {"close", 0, {IDP_AVLS_COMM_ERROR}},
        {"ng", 0, {IDP_AVLS_COMM_ERROR}},
        {"newline", 1, {}},  // a line break after the sealed answer is white space to the decoder
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        std::remove(Log().c_str());
        NoViewYet();
        StartServer({"--fault", c.fault});
        EXPECT_EQ(flb.FLBNotifyAVLS(1234, 1, "x"), c.result);
        EXPECT_EQ(Messages(), c.messages);
        EXPECT_TRUE(ViewTimeRecorded());
        m_server.Stop();
    }
}

TEST_F(Notify, NoUrlNoAdOrNoTextNeverReachTheServer) {
    SetUrl("");
    EXPECT_EQ(flb.FLBNotifyAVLS(1234, 1, "x"), 0);
    EXPECT_EQ(Messages(), (std::vector<unsigned>{IDP_URL_PARSE, IDP_AVLS_COMM_ERROR}));
    EXPECT_TRUE(ViewTimeRecorded());

    std::remove(Log().c_str());
    StartServer();
    EXPECT_EQ(flb.FLBNotifyAVLS(999, 1, "x"), 0);  // no such ad: quietly nothing
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(flb.FLBNotifyAVLS(1234, 1, ""), 0);
    EXPECT_EQ(flb.FLBNotifyAVLS(1234, 1, nullptr), 0);
    EXPECT_EQ(Messages(), (std::vector<unsigned>{IDP_INVALID_ARGUMENT, IDP_INVALID_ARGUMENT}));
    EXPECT_EQ(Rows(), "");
}

// A server that holds its answer back is given up on after the idle limit, shortened
// here in the test's own copy of the code.
TEST_F(Notify, SilentServerEndsInAFailedReport) {
    StartServer({"--fault", "slow", "--delay-ms", "20000"});
    theApp.m_strRegistryKey = LoadResString(IDS_REGISTRY_KEY);
    const platform::HttpTimeouts old = platform::SetHttpTimeouts({60000, 1});
    // The limits every exchange has unless a test shortens them, as the README gives them.
    EXPECT_EQ(old.connectMs, 60000u);
    EXPECT_EQ(old.idleSeconds, 30u);
    MessageRecorder messages;
    EXPECT_FALSE(CAvlsNotice("u1", 1234, 1, "x").Send());
    platform::SetHttpTimeouts(old);
    // No status line ever came, so sending is the step that failed.
    EXPECT_EQ(messages.Ids(), (std::vector<unsigned>{IDP_SEND_REQUEST, IDP_AVLS_COMM_ERROR}));
}

}  // namespace
