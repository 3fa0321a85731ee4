// Hosts in several processes on one ad folder: changes made at once all survive, a reader
// never meets a cut or empty catalogue, an update keeps what another host changed while
// it ran, and a second update in the folder gives way with a message that says why.
#include <atomic>
#include <memory>

#include "platform/CatalogLock.h"
#include "UpdateFixture.h"

#if defined(FLB_HOST) && defined(AVLS_SERVER)

namespace {

constexpr int kHosts = 20;
constexpr int kAdsPerHost = 10;

// flb-host on the library under test.
std::vector<std::string> HostArgs(std::vector<std::string> args) {
    args.insert(args.begin(), {FLB_HOST, "--library", FLB_LIBRARY});
    return args;
}

class SharedFolder : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("no_proxy", "127.0.0.1", 1);
        setenv("FLB_REGISTRY_DIR", m_root.Path("registry").c_str(), 1);
        setenv("FLB_MESSAGE_LOG", m_root.Path("messages.log").c_str(), 1);
        ASSERT_TRUE(platform::MakeDirectory(Ads()));
    }
    void TearDown() override { unsetenv("FLB_MESSAGE_LOG"); }

    std::string Ads() const { return m_root.Path("ads"); }
    std::vector<unsigned> Messages() const { return LoggedMessages(m_root.Path("messages.log")); }

    TempFolder m_root;
    ServerRun m_server;
};

TEST_F(SharedFolder, TwentyHostsChangingOneCatalogueLoseNothing) {
    std::vector<CatalogueAd> ads;
    for (int i = 0; i < kHosts * kAdsPerHost; ++i) {
        const uint32_t code = 1000 + static_cast<uint32_t>(i);
        ads.push_back({code, Ads() + "/" + Code7(code) + ".jpg"});
        WriteText(ads.back().file, "picture " + std::to_string(code));
    }
    const std::string text = CatalogueText(ads);
    const std::string dat = Ads() + "/Flyerbank.dat";
    WriteText(dat, text);
    ASSERT_TRUE(m_server.Start(AVLS_SERVER, {"--db", m_root.Path("views.db")}));
    ASSERT_TRUE(platform::WriteRegistryValue("HKEY_CURRENT_USER", LoadResString(IDS_REGISTRY_KEY),
                                             LoadResString(IDS_VALUE_NOTIFY), m_server.Url("log.php3")));

    // Each host changes its own ten ads five times each: names, flags and view times.
    std::vector<std::unique_ptr<Program>> hosts;
    for (int h = 0; h < kHosts; ++h) {
        std::vector<std::string> args{"--folder", Ads()};
        for (int k = 0; k < kAdsPerHost; ++k) {
            const std::string code = std::to_string(1000 + h * kAdsPerHost + k);
            for (const std::vector<std::string>& step :
                 std::vector<std::vector<std::string>>{{"rename", code, "first-" + code},
                                                       {"favorite", code, "0"},
                                                       {"notify", code, "1", "shown"},
                                                       {"favorite", code, "1"},
                                                       {"rename", code, "last-" + code}}) {
                if (args.size() > 2) args.push_back("+");
                args.insert(args.end(), step.begin(), step.end());
            }
        }
        hosts.push_back(std::make_unique<Program>(HostArgs(args)));
    }

    std::atomic<bool> done{false};
    int reads = 0, bad = 0;
    std::thread reader([&] {
        while (!done) {
            const std::string now = ReadText(dat);
            ++reads;
            if (now.size() < text.size() || Count(now, "\r\nID=") != kHosts * kAdsPerHost ||
                now.compare(now.size() - 2, 2, "\r\n") != 0)
                ++bad;
        }
    });
    std::vector<int> codes;
    for (auto& host : hosts) codes.push_back(host->Wait());
    done = true;
    reader.join();

    EXPECT_EQ(codes, std::vector<int>(kHosts, 0));
    EXPECT_EQ(bad, 0) << "of " << reads << " reads";
    EXPECT_EQ(Messages(), std::vector<unsigned>{});
    platform::ProfileReader file(dat);
    int whole = 0;
    for (int i = 0; i < kHosts * kAdsPerHost; ++i) {
        const std::string section = AdSection(i);
        const uint32_t code = file.GetInt(section.c_str(), "ID", 0);
        std::string name;
        file.GetFullString(section.c_str(), "Name", name);
        const bool kept = name == "last-" + std::to_string(code) && file.GetInt(section.c_str(), "Favorite", 0) == 1 &&
                          file.GetInt(section.c_str(), "Time", 0) != 0;
        EXPECT_TRUE(kept) << section << " " << code << " " << name;
        whole += kept;
    }
    EXPECT_EQ(whole, kHosts * kAdsPerHost);
}

TEST_F(SharedFolder, TwoUpdatesInOneFolderEndSensibly) {
    ASSERT_TRUE(m_server.Start(ADS_SERVER, {"--content", std::string(FLB_SOURCE_DIR) + "/tools/ads-server/demo/content",
                                            "--fault", "slow-payload=5"}));
    PointAtAdServer(m_server.Url(""));
    const std::vector<std::string> update{"--folder", Ads(), "update", "--user", "u1", "--version", "1.0"};
    Program first(HostArgs(update)), second(HostArgs(update));
    const int a = first.Wait(), b = second.Wait();
    // Both may finish one after the other; at most one gives way, saying the folder is busy.
    EXPECT_TRUE((a == 0 && b == 0) || (a == 0 && b == 3) || (a == 3 && b == 0)) << a << " " << b;
    for (unsigned id : Messages()) EXPECT_EQ(id, unsigned{IDP_FOLDER_IN_USE});
    EXPECT_EQ(Messages().size(), (a == 3) + (b == 3));
    // A third, alone, finds everything in place.
    EXPECT_EQ(Program(HostArgs(update)).Wait(), 0);
}

class UpdateBesideAnotherHost : public Update {};

TEST_F(UpdateBesideAnotherHost, KeepsWhatTheOtherHostChangedMeanwhile) {
    WriteManifest(false);
    StartServer();
    ASSERT_EQ(Run().wParam, kDone);
    WriteManifest(true, true);
    StartServer({"slow-payload=20"});
    std::remove(MessageLog().c_str());
    ASSERT_EQ(flb.FLBUpdate("u1", m_window.Handle(), 0, "1.0"), 1);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (DataRequests() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
    EXPECT_EQ(Program(HostArgs({"--folder", Ads(), "rename", "101", "theirs", "+", "favorite", "102", "1"})).Wait(), 0);
    HostWindow::Record r = m_window.Wait();
    ASSERT_TRUE(r.arrived);
    EXPECT_EQ(r.wParam, kDone);
    EXPECT_STREQ(flb.FLBGetName(101), "theirs");
    EXPECT_EQ(flb.FLBGetFavoriteFlag(102), 1);
    EXPECT_EQ(Listed(false), 3);
    EXPECT_EQ(Listed(true), 1);
    EXPECT_EQ(Messages(), std::vector<unsigned>{});
}

TEST_F(UpdateBesideAnotherHost, GivesWayWhileAnotherUpdateHoldsTheFolder) {
    WriteManifest();
    StartServer();
    {
        platform::CatalogLock other(Ad("Flyerbank.update.lock"), platform::CatalogLock::kTry);
        ASSERT_TRUE(other.Held());
        HostWindow::Record r = Run();
        EXPECT_EQ(r.wParam, kFailed);
        EXPECT_EQ(r.lParam, 0u);
        EXPECT_EQ(Messages(), (std::vector<unsigned>{IDP_FOLDER_IN_USE}));
        EXPECT_EQ(DataRequests(), 0);
    }
    EXPECT_EQ(Run().wParam, kDone);
    EXPECT_EQ(Messages(), std::vector<unsigned>{});
}

}  // namespace

#endif
