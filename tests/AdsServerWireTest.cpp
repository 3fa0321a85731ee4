// The reference ad server's answers byte for byte, as clients of the real servers see
// them, and its refusal of a manifest it cannot serve.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "platform/Files.h"
#include "HostHarness.h"
#include "TestSupport.h"

namespace {

class AdsServerWire : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(platform::MakeDirectory(m_root.Path("content")));
        WriteText(m_root.Path("content/a.jpg"), "HELLO");
        WriteText(m_root.Path("content/m.cab"), "MSCF");
    }
    void Manifest(const std::string& lines) { WriteText(m_root.Path("content/manifest.txt"), lines); }
    bool Start(std::vector<std::string> more = {}) {
        std::vector<std::string> args{"--content", m_root.Path("content"), "--log", m_root.Path("log")};
        args.insert(args.end(), more.begin(), more.end());
        return m_server.Start(ADS_SERVER, args);
    }
    HttpAnswer Post(const std::string& path, const std::string& body) {
        return AskOnce(m_server.Port(), FormPost(body, path));
    }

    TempFolder m_root;
    ServerRun m_server;
};

TEST_F(AdsServerWire, ListAndDataAnswersAreExact) {
    Manifest("# comment\n\n101\tjpg\t-2\t広告\thttp://x/a:b\ta.jpg\n2001\tcab\t4\tm\thttp://y/\tm.cab\n");
    ASSERT_TRUE(Start());
    auto list = Post("/any/getlist.php3", "CLNT_VER=1.0&USER_ID=u");
    ASSERT_TRUE(list);
    EXPECT_EQ(list.status, 200);
    EXPECT_EQ(list.body, "RESULT:0\n0000101.jpg\n0002001.cab\n");
    auto list2 = Post("/getlist2.php3", "USER_ID=u&CONTS_CODE_LIST=0000101,0002001");
    ASSERT_TRUE(list2);
    EXPECT_EQ(list2.body, list.body);

    auto data = Post("/ads/getdata.php3", "CONTS_CODE=0000101");
    ASSERT_TRUE(data);
    EXPECT_EQ(data.body, "5\r\nRESULT:0\r\nCONTS_CODE:0000101\r\nCONTS_NAME:\x8D\x4C\x8D\x90\r\nPRIORITY:-2\r\n"
                          "JUMPHTTP:http://x/a:b\r\nHELLO");
    auto unknown = Post("/getdata.php3", "CONTS_CODE=0000102");
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown.body.substr(0, 27), "0\r\nRESULT:3\r\nCONTS_CODE:000");

    auto elsewhere = Post("/getother.php3", "");
    ASSERT_TRUE(elsewhere);
    EXPECT_EQ(elsewhere.status, 404);
    // What the client sent is in the log as it came, once the log's writer has it.
    EXPECT_TRUE(Eventually([&] {
        return ReadText(m_root.Path("log")).find("USER_ID=u&CONTS_CODE_LIST=0000101,0002001 200") != std::string::npos;
    }));
}

// Read from disk piece by piece: every byte must come in its place, across the pieces.
TEST_F(AdsServerWire, LargePayloadsArriveWholeAndOtherMethodsGet405AtOnce) {
    std::string payload;
    for (int i = 0; payload.size() < 300 * 1024; ++i) payload += std::to_string(i) + ",";
    WriteText(m_root.Path("content/big.wmv"), payload);
    Manifest("7\twmv\t0\tbig\thttp://x/\tbig.wmv\n");
    ASSERT_TRUE(Start());
    auto data = Post("/getdata.php3", "CONTS_CODE=0000007");
    ASSERT_TRUE(data);
    const std::string head = std::to_string(payload.size()) + "\r\nRESULT:0\r\nCONTS_CODE:0000007\r\n"
                             "CONTS_NAME:big\r\nPRIORITY:0\r\nJUMPHTTP:http://x/\r\n";
    EXPECT_EQ(data.body.size(), head.size() + payload.size());
    EXPECT_TRUE(data.body == head + payload);

    for (const char* method : {"GET", "PUT", "DELETE", "PATCH"}) {
        const std::string answer = RawHttp(
            m_server.Port(), std::string(method) + " /getdata.php3 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
        EXPECT_EQ(answer.rfind("HTTP/1.1 405", 0), 0u) << method << ": " << answer;
    }
}

TEST_F(AdsServerWire, FaultsChangeOnlyWhatTheyName) {
    Manifest("101\tjpg\t0\tn\tl\ta.jpg\n2001\tcab\t0\tm\tl\tm.cab\n");
    ASSERT_TRUE(Start({"--fault", "crlf-items", "--fault", "wrong-code", "--fault", "empty-list=1"}));
    EXPECT_EQ(Post("/getlist.php3", "").body, "\n");
    EXPECT_EQ(Post("/getlist.php3", "").body, "RESULT:0\n0000101.jpg\r\n0002001.cab\r\n");
    EXPECT_NE(Post("/getdata.php3", "CONTS_CODE=0000101").body.find("CONTS_CODE:0000102\r\n"), std::string::npos);

    ASSERT_TRUE(Start({"--fault", "list-result=7", "--fault", "data-result=9", "--fault", "bad-cabinet"}));
    EXPECT_EQ(Post("/getlist.php3", "").body, "RESULT:7\n");
    EXPECT_EQ(Post("/getdata.php3", "CONTS_CODE=0002001").body.substr(0, 13), "0\r\nRESULT:9\r\n");

    ASSERT_TRUE(Start({"--fault", "cut-payload"}));
    // Short of the length it announced: the client sees the exchange fail.
    EXPECT_FALSE(Post("/getdata.php3", "CONTS_CODE=0000101"));
}

TEST_F(AdsServerWire, ManifestsAndCommandLinesItCannotServeAreRefused) {
    WriteText(m_root.Path("outside.jpg"), "x");
    ASSERT_EQ(symlink(m_root.Path("outside.jpg").c_str(), m_root.Path("content/link.jpg").c_str()), 0);
    const std::string good = "101\tjpg\t0\tn\tl\ta.jpg\n", two = "101\tJPG\t0\tn\tl\ta.jpg\n# second\n";
    const struct {
        std::string manifest;
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {"101\tjpg\t0\tn\tl\n", {}, "manifest.txt:1:"},
        {"0\tjpg\t0\tn\tl\ta.jpg\n", {}, "manifest.txt:1:"},
        {"101\tjpg\t0\tn\tl\tmissing.jpg\n", {}, "manifest.txt:1:"},
        {"101\tjpg\t0\t\xF0\x9F\x98\x80\tl\ta.jpg\n", {}, "manifest.txt:1:"},  // no place in code page 932
        // Entries the library could only refuse, each named by its line.
        {two + "102\ttxt\t0\tn\tl\ta.jpg\n", {}, "manifest.txt:3: "},
        {two + "102\tgif\t0\tn\tl\ta.jpg\n", {}, "manifest.txt:3: "},
        {two + "102\tjpg\t0\tn\tl\t../outside.jpg\n", {}, "manifest.txt:3: "},
        {two + "102\tjpg\t0\tn\tl\tlink.jpg\n", {}, "manifest.txt:3: "},
        {two + "102\tjpg\t0\tn\tl\t/etc/hostname\n", {}, "manifest.txt:3: "},
        {good, {"--log", m_root.Path("no/such/folder/log")}, "cannot open the log"},
        {good, {"--port", "70000"}, ""},
        {good, {"--fault", "cabinet-files=2"}, ""},
        {good, {"--fault", "mute", "--fault", "trickle"}, ""},  // one way of answering by hand
        {good, {"--fault", "item-tail=%4"}, ""},
        {good, {"--fault", "status=200"}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.manifest + (c.args.empty() ? "" : c.args[0] + " " + c.args.back()));
        Manifest(c.manifest);
        std::vector<std::string> argv{ADS_SERVER, "--content", m_root.Path("content")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Program server(argv, true);
        EXPECT_EQ(server.Wait(10000), 2);
        EXPECT_NE(server.Err().find(c.says), std::string::npos) << server.Err();
    }
    EXPECT_EQ(Program({ADS_SERVER}).Wait(10000), 2);
}

}  // namespace
