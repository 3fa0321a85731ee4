// Broken and hostile ad servers against whole updates run in this process, where the
// transport's time-outs can be shortened and the messages recorded. Each row names where
// the fault sits and what the update must give; every row also checks that the held ads
// stayed whole and that nothing was written beside the ad folder.
#include "frame/App.h"
#include "platform/Http.h"
#include "update/UpdateThread.h"
#include "UpdateFixture.h"

namespace {

using Tree = std::map<std::string, std::string>;  // name -> bytes; a folder's are ""

// The ad folder as it lies, the lock files aside, which stay once an update has run.
Tree Scan(const std::string& folder) {
    Tree tree;
    for (const std::string& name : FilesIn(folder)) tree[name] = ReadText(folder + "/" + name);
    return tree;
}

// Each file's size and a hash of its bytes: short enough to print when two folders differ.
std::map<std::string, std::string> Digests(const Tree& tree) {
    std::map<std::string, std::string> digests;
    for (const auto& [name, bytes] : tree)
        digests[name] = std::to_string(bytes.size()) + " bytes, hash " + std::to_string(std::hash<std::string>{}(bytes));
    return digests;
}

enum Where { kList, kData };
// What the row's update has stored: nothing, the first download (the stale 101), or all.
enum Stored { kNone, kFirst, kAll };

struct Row {
    std::string fault;  // "" for a port nobody listens on
    Where where;
    uint32_t outcome, result;
    std::vector<unsigned> messages;
    Stored stored = kNone;
    bool cancel = false;  // once the faulty server has the request
    uint32_t idleSeconds = 30;
};

const std::vector<unsigned> kSendFailed{IDP_SEND_REQUEST, IDP_ADS_COMM_ERROR};
const std::vector<unsigned> kBadStatus{IDP_BAD_STATUS, IDP_ADS_COMM_ERROR};
const std::vector<unsigned> kTooLarge{IDP_RECEIVE, IDP_ADS_COMM_ERROR};
const std::vector<unsigned> kCommError{IDP_ADS_COMM_ERROR};
// A failure of the internet layer while the list is read reports itself (id 0).
const std::vector<unsigned> kLayerReport{0};

// The update runs in this process, on the core linked into the tests.
class HostileServer : public Update {
protected:
    void SetUp() override {
        Update::SetUp();
        theApp.m_strRegistryKey = LoadResString(IDS_REGISTRY_KEY);
        theApp.m_strFolder = Ads() + "/";
        theApp.m_catalogue.Load(theApp.m_strFolder.c_str());
        m_oldTimeouts = platform::SetHttpTimeouts({5000, 30});
    }
    void TearDown() override {
        Update::TearDown();
        platform::SetHttpTimeouts(m_oldTimeouts);
        theApp.m_workers.clear();
        theApp.m_announcedAds.clear();
        theApp.m_strFolder.clear();
        theApp.m_catalogue.Load(m_root.Path("gone/").c_str());
    }

    void Manifest(bool more) {
        std::string m = "101\tjpg\t5\tone\thttp://example.test/101\tpic101.jpg\n";
        if (more) m += "202\tcab\t3\tnew movie\thttp://example.test/202\tmovie201.cab\n"
                       "103\tjpg\t0\tnew picture\thttp://example.test/103\tpic103.jpg\n";
        m += "102\tpng\t1\ttwo\thttp://example.test/102\tpic102.png\n"
             "201\tcab\t3\tmovie\thttp://example.test/201\tmovie201.cab\n";
        WriteText(Content("manifest.txt"), m);
    }
    // Beside the fixture's sound server; its log tells when it has the request.
    bool StartFaulty(const std::string& fault) {
        std::remove(FaultyLog().c_str());
        return m_faulty.Start(ADS_SERVER, {"--content", Content(""), "--log", FaultyLog(), "--fault", fault});
    }
    std::string FaultyLog() const { return m_root.Path("faulty.log"); }
    void Point(const std::string& list, const std::string& data) {
        const std::string key = LoadResString(IDS_REGISTRY_KEY);
        ASSERT_TRUE(platform::WriteRegistryValue("HKEY_CURRENT_USER", key, LoadResString(IDS_VALUE_LIST), list));
        ASSERT_TRUE(platform::WriteRegistryValue("HKEY_CURRENT_USER", key, LoadResString(IDS_VALUE_DATA), data));
    }
    HostWindow::Record Run(bool cancel = false) {
        EXPECT_EQ(StartUpdate("u1", m_window.Handle(), 0, "1.0"), TRUE);
        if (cancel) {
            EXPECT_TRUE(Eventually([&] { return !ReadText(FaultyLog()).empty(); }, 20s));
            EXPECT_EQ(CancelUpdate(), TRUE);
        }
        return m_window.Wait(60000);
    }
    void Restore(const Tree& held) {
        platform::RemoveFolderAndFiles(Ads());
        platform::MakeDirectory(Ads());
        for (const auto& [name, bytes] : held) WriteText(Ad(name), bytes);
        theApp.m_catalogue.Load(theApp.m_strFolder.c_str());
    }

    ServerRun m_faulty;
    MessageRecorder m_messages;
    platform::HttpTimeouts m_oldTimeouts;
};

TEST_F(HostileServer, EachFaultEndsTheUpdateAsItShouldAndLosesNothing) {
    // Held before every row: 101 (out of date, so fetched again), 102, and the movie 201.
    Manifest(false);
    StartServer();
    ASSERT_EQ(Run().wParam, kDone);
    ASSERT_EQ(m_messages.Take(), std::vector<unsigned>{});
    WriteText(Ad("0000101.jpg"), "an older 101");
    const Tree held = Scan(Ads());
    ASSERT_EQ(held.count("0000201.asf"), 1u);

    // The rows list 101, then the new ads 202 (a cabinet) and 103, then 102 and 201.
    Manifest(true);
    StartServer();
    const std::string good = m_server.Url("ads/"), root = m_parent.Path("");
    const Row rows[] = {
        {"", kList, kFailed, 0, kSendFailed},
        {"", kData, kFailed, 0, kSendFailed},
        {"reset-head", kList, kFailed, 0, kSendFailed},
        {"reset-head", kData, kFailed, 0, kSendFailed},
        {"reset-body", kList, kFailed, 0, kLayerReport},
        {"reset-body", kData, kFailed, 0, kCommError},
        {"huge-body", kList, kFailed, 0, kTooLarge},
        {"huge-body", kData, kFailed, 0, kTooLarge},
        {"mute", kList, kFailed, 0, kSendFailed, kNone, false, 1},
        {"mute", kList, kCancelled, 0, {}, kNone, true},
        {"mute", kData, kCancelled, 0, {}, kNone, true},
        // A byte every 5 ms is slow but goes on; under 1 KiB in the idle time ends the
        // exchange as silence does, before the headers (20 B/s) or after them (330 B/s).
        {"trickle=5", kList, kDone, 0, {}, kAll},
        {"trickle=50", kList, kFailed, 0, kSendFailed, kNone, false, 1},
        {"trickle=3", kData, kFailed, 0, kCommError, kNone, false, 3},
        {"stall-payload", kData, kFailed, 0, kCommError, kNone, false, 1},
        {"trickle=200", kData, kCancelled, 0, {}, kNone, true},
        {"interim-only", kList, kFailed, 0, kSendFailed},
        {"interim-only", kData, kFailed, 0, kSendFailed},
        {"continue", kList, kDone, 0, {}, kAll},
        {"continue", kData, kDone, 0, {}, kAll},
        {"status=301", kList, kFailed, 0, kBadStatus},
        {"status=404", kData, kFailed, 0, kBadStatus},
        {"status=500", kList, kFailed, 0, kBadStatus},
        {"status=503", kData, kFailed, 0, kBadStatus},
        {"garbage", kList, kFailed, 0, kSendFailed},
        {"garbage", kData, kFailed, 0, kSendFailed},
        {"list-items=100000", kList, kFailed, 3, {}},
        {"item-tail=%00/../../x", kList, kFailed, 0, kCommError},
        {"huge-members", kData, kFailed, 0, kCommError, kFirst},
        {"member-name=../x", kData, kFailed, 0, kCommError, kFirst},
        {"member-name=../../x", kData, kFailed, 0, kCommError, kFirst},
        {"member-name=..\\..\\x", kData, kFailed, 0, kCommError, kFirst},
        {"member-name=C:x", kData, kFailed, 0, kCommError, kFirst},
        {"member-name=" + root + "x", kData, kFailed, 0, kCommError, kFirst},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fault + (row.where == kList ? " on the list" : " on the data") +
                     (row.cancel ? ", cancelled" : ""));
        Restore(held);
        std::string faultyUrl = "http://127.0.0.1:" + std::to_string(DeadPort()) + "/ads/";
        if (!row.fault.empty()) {
            ASSERT_TRUE(StartFaulty(row.fault));
            faultyUrl = m_faulty.Url("ads/");
        }
        Point((row.where == kList ? faultyUrl : good) + "getlist.php3",
              (row.where == kData ? faultyUrl : good) + "getdata.php3");
        platform::SetHttpTimeouts({5000, row.idleSeconds});

        const HostWindow::Record r = Run(row.cancel);
        ASSERT_TRUE(r.arrived) << "no completion; the rows after it would be out of step";
        EXPECT_EQ(r.wParam, row.outcome);
        EXPECT_EQ(r.lParam, row.result);
        EXPECT_EQ(m_messages.Take(), row.messages);
        // The whole list was read when the data was asked for or the server refused.
        const size_t listed = row.where == kData || row.outcome == kDone || row.result != 0 ? 5 : 0;
        EXPECT_EQ(theApp.m_announcedAds.size(), row.fault == "list-items=100000" ? 100000 + listed : listed);

        // The held ads as they were, or as the row's downloads left them; nothing else.
        Tree expected = held;
        if (row.stored != kNone) expected["0000101.jpg"] = m_pic101;
        if (row.stored == kAll) {
            expected["0000202.asf"] = m_movie;
            expected["0000202.jpg"] = m_thumb;
            expected["0000103.jpg"] = m_pic103;
        }
        Tree now = Scan(Ads());
        ASSERT_TRUE(now.count("Flyerbank.dat"));
        now["Flyerbank.dat"] = expected["Flyerbank.dat"];
        EXPECT_EQ(Digests(now), Digests(expected));
        EXPECT_EQ(FilesIn(root), std::set<std::string>{"ads"}) << "written beside the ad folder";
        theApp.m_catalogue.Load(theApp.m_strFolder.c_str());
        for (DWORD code : {101u, 102u, 201u}) {
            CAdRecord record;
            EXPECT_TRUE(theApp.m_catalogue.Lookup(code, record)) << code;
        }
        m_faulty.Stop();
    }
}

}  // namespace
