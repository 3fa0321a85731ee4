// Hosts in several processes on one ad folder: changes made at once all survive, a reader
// never meets a cut or empty catalogue, an update keeps what another host changed while
// it ran, and an update gives way, saying why, while another holds the folder.
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

using SharedFolder = Update;

TEST_F(SharedFolder, TwentyHostsChangingOneCatalogueLoseNothing) {
    std::vector<CatalogueAd> ads;
    for (int i = 0; i < kHosts * kAdsPerHost; ++i) {
        const uint32_t code = 1000 + static_cast<uint32_t>(i);
        ads.push_back({code, Ad(Code7(code) + ".jpg")});
        WriteText(ads.back().file, "picture " + std::to_string(code));
    }
    const std::string text = CatalogueText(ads), dat = Dat();
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
            args.insert(args.end(), {"rename", code, "first-" + code, "+", "favorite", code, "0", "+",
                                     "notify", code, "1", "shown", "+", "favorite", code, "1", "+",
                                     "rename", code, "last-" + code, "+"});
        }
        args.pop_back();  // the chain's last "+"
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
    for (uint32_t code = 1000; code < 1000 + kHosts * kAdsPerHost; ++code) {
        auto r = StoredRecord(dat, code);
        EXPECT_TRUE(r["Name"] == "last-" + std::to_string(code) && r["Favorite"] == "1" && r["Time"] != "0")
            << code << " " << r["Name"];
    }
}

TEST_F(SharedFolder, AnUpdateKeepsWhatAnotherHostChangedMeanwhile) {
    WriteManifest(false);
    StartServer();
    ASSERT_EQ(Run().wParam, kDone);
    WriteManifest(true, true);
    WriteText(Ad("0000101.jpg"), "changed");  // fetched again after the movie
    StartServer({"slow-payload=20"});
    StartUpdateUntilData();
    // The other host's view report finds no log server; the view counts all the same.
    EXPECT_EQ(Program(HostArgs({"--folder", Ads(), "rename", "102", "theirs", "+", "favorite", "101", "1", "+", "notify",
                                "101", "1", "seen"}))
                  .Wait(),
              1);
    HostWindow::Record r = m_window.Wait();
    ASSERT_TRUE(r.arrived);
    EXPECT_EQ(r.wParam, kDone);
    EXPECT_STREQ(flb.FLBGetName(102), "theirs");
    EXPECT_EQ(flb.FLBGetFavoriteFlag(101), 1);
    EXPECT_NE(StoredRecord(Dat(), 101)["Time"], "0");
    ExpectHeldPicturesWhole();
    EXPECT_EQ(Listed(false), 3);
    EXPECT_EQ(Listed(true), 1);
    EXPECT_EQ(Messages(), (std::vector<unsigned>{IDP_URL_PARSE, IDP_AVLS_COMM_ERROR}));
}

TEST_F(SharedFolder, AnUpdateGivesWayWhileAnotherHoldsTheFolder) {
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
