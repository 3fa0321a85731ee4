// Updates end to end: the exported functions of the loaded library against the reference
// ad server run as a real program, with real pictures, cabinets made by a real tool, and
// every way the server can fail us.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <set>
#include <string>
#include <thread>

#include "frame/Afx.h"
#include "catalogue/SizeCodec.h"
#include "platform/Files.h"
#include "platform/Profile.h"
#include "platform/Registry.h"
#include "res/StringTable.h"
#include "res/resource.h"
#include "HostHarness.h"
#include "TestSupport.h"

namespace {

using namespace std::chrono_literals;

constexpr uint32_t kDone = 0, kFailed = 1, kCancelled = 2;

// 青い空 in code page 932, as the server sends it and the library keeps it.
const char kBlueSkyCp932[] = "\x90\xC2\x82\xA2\x8B\xF3";

std::string Bytes(char seed, size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i * 7);
    return s;
}

std::set<std::string> FilesIn(const std::string& folder) {
    std::set<std::string> names;
    if (DIR* d = opendir(folder.c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.insert(e->d_name);
        closedir(d);
    }
    return names;
}

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class Update : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("no_proxy", "127.0.0.1", 1);
        setenv("FLB_REGISTRY_DIR", m_root.Path("registry").c_str(), 1);
        setenv("FLB_MESSAGE_LOG", MessageLog().c_str(), 1);
        ASSERT_TRUE(platform::MakeDirectory(m_root.Path("content")));
        ASSERT_TRUE(platform::MakeDirectory(Ads()));
        ASSERT_EQ(flb.FLBSetFolder(Ads().c_str()), 1);
        WriteText(m_root.Path("content/pic101.jpg"), m_pic101);
        WriteText(m_root.Path("content/pic102.png"), m_pic102);
        WriteText(m_root.Path("content/pic103.jpg"), Bytes('c', 1500));
        MakeMovieCabinet();
    }
    void TearDown() override { unsetenv("FLB_MESSAGE_LOG"); }

    // A movie and its thumbnail, stored with an old date the unpacked files must carry.
    void MakeMovieCabinet() {
        const std::string dir = m_root.Path("cabsrc");
        ASSERT_TRUE(platform::MakeDirectory(dir));
        WriteText(dir + "/movie.asf", m_movie);
        WriteText(dir + "/thumb.jpg", m_thumb);
        const std::string command = "cd '" + dir + "' && touch -d '2001-02-03 04:05:06' movie.asf thumb.jpg && " +
                                    "gcab -c '" + m_root.Path("content/movie201.cab") + "' movie.asf thumb.jpg";
        ASSERT_EQ(std::system(command.c_str()), 0);
        struct tm stored = {};
        stored.tm_year = 101;
        stored.tm_mon = 1;
        stored.tm_mday = 3;
        stored.tm_hour = 4;
        stored.tm_min = 5;
        stored.tm_sec = 6;
        stored.tm_isdst = -1;
        m_movieTime = std::mktime(&stored);
    }

    // The first manifest: two pictures and a cabinet movie. `more` adds a new picture.
    void WriteManifest(bool withMovie = true, bool more = false) {
        std::string m = "# code\text\tpriority\tname\tlink\tpayload\n";
        if (withMovie) m += "201\tcab\t3\t動画\thttp://example.test/201\tmovie201.cab\n";
        m += "101\tjpg\t5\t青い空\thttp://example.test/101\tpic101.jpg\n";
        m += "102\tpng\t1\tsecond\thttp://example.test/102?a=b:c\tpic102.png\n";
        if (more) m += "103\tjpg\t0\tthird\thttp://example.test/103\tpic103.jpg\n";
        WriteText(m_root.Path("content/manifest.txt"), m);
    }

    void StartServer(std::vector<std::string> faults = {}) {
        std::vector<std::string> args{"--content", m_root.Path("content"), "--log", ServerLog()};
        for (const std::string& f : faults) args.insert(args.end(), {"--fault", f});
        m_server.Stop();
        ASSERT_TRUE(m_server.Start(ADS_SERVER, args));
        const std::string key = LoadResString(IDS_REGISTRY_KEY);
        ASSERT_TRUE(platform::WriteRegistryValue("HKEY_CURRENT_USER", key, LoadResString(IDS_VALUE_LIST),
                                                 m_server.Url("ads/getlist.php3")));
        ASSERT_TRUE(platform::WriteRegistryValue("HKEY_CURRENT_USER", key, LoadResString(IDS_VALUE_LIST2),
                                                 m_server.Url("ads/getlist2.php3")));
        ASSERT_TRUE(platform::WriteRegistryValue("HKEY_CURRENT_USER", key, LoadResString(IDS_VALUE_DATA),
                                                 m_server.Url("ads/getdata.php3")));
    }

    HostWindow::Record Run(int32_t list2 = 0, const std::string& user = "u1") {
        std::remove(MessageLog().c_str());
        EXPECT_EQ(flb.FLBUpdate(user.c_str(), m_window.Handle(), list2, "1.0"), 1);
        HostWindow::Record r = m_window.Wait();
        EXPECT_TRUE(r.arrived);
        EXPECT_EQ(r.message, 0x8001u);
        EXPECT_TRUE(m_window.Quiet(100)) << "one completion per update";
        return r;
    }

    std::string Ads() const { return m_root.Path("ads"); }
    std::string Ad(const char* name) const { return m_root.Path("ads/") + name; }
    std::string MessageLog() const { return m_root.Path("messages.log"); }
    std::string ServerLog() const { return m_root.Path("ads.log"); }
    std::vector<unsigned> Messages() const { return LoggedMessages(MessageLog()); }
    int DataRequests() const { return Count(ReadText(ServerLog()), "getdata.php3"); }

    std::vector<uint32_t> Order() {
        uint32_t* codes = nullptr;
        int32_t n = 0;
        EXPECT_EQ(flb.FLBGetOrder(&codes, &n), 1);
        std::vector<uint32_t> order(codes, codes + n);
        std::free(codes);
        return order;
    }
    int32_t Listed(bool movies) {
        uint32_t* codes = nullptr;
        int32_t n = 0;
        (movies ? flb.FLBGetMovieList : flb.FLBGetPictureList)(&codes, &n);
        std::free(codes);
        return n;
    }
    void ExpectHeldPicturesWhole() {
        EXPECT_EQ(ReadText(Ad("0000101.jpg")), m_pic101);
        EXPECT_EQ(ReadText(Ad("0000102.png")), m_pic102);
    }

    Library& flb = Library::Get();
    TempFolder m_root;
    ServerRun m_server;
    HostWindow m_window;
    const std::string m_pic101 = Bytes('a', 3000);
    const std::string m_pic102 = Bytes('b', 2000);
    const std::string m_movie = Bytes('m', 60000);
    const std::string m_thumb = Bytes('t', 1000);
    time_t m_movieTime = 0;
};

TEST_F(Update, FirstUpdateFetchesEveryAdAndTheNextOneNothing) {
    WriteManifest();
    StartServer();
    HostWindow::Record r = Run();
    EXPECT_EQ(r.wParam, kDone);
    EXPECT_EQ(r.lParam, 0u);
    EXPECT_TRUE(Messages().empty());

    // The cabinet is gone; movie and thumbnail carry the ad's code.
    EXPECT_EQ(FilesIn(Ads()), (std::set<std::string>{"Flyerbank.dat", "0000101.jpg", "0000102.png", "0000201.asf",
                                                      "0000201.jpg"}));
    ExpectHeldPicturesWhole();
    EXPECT_EQ(ReadText(Ad("0000201.asf")), m_movie);
    EXPECT_EQ(ReadText(Ad("0000201.jpg")), m_thumb);
    platform::FileStatus movie;
    ASSERT_TRUE(platform::GetFileStatus(Ad("0000201.asf"), movie));
    EXPECT_EQ(static_cast<time_t>(movie.lastWriteTime), m_movieTime);

    EXPECT_STREQ(flb.FLBGetName(101), kBlueSkyCp932);
    EXPECT_STREQ(flb.FLBGetURL(102), "http://example.test/102?a=b:c");
    EXPECT_EQ(std::string(flb.FLBGetFileName(201)), Ad("0000201.asf"));
    EXPECT_EQ(std::string(flb.FLBGetThumbnail(201)), Ad("0000201.jpg"));
    EXPECT_EQ(Listed(false), 2);
    EXPECT_EQ(Listed(true), 1);
    // Movies first, then the higher priority.
    EXPECT_EQ(Order(), (std::vector<uint32_t>{201, 101, 102}));
    const std::string saved = ReadText(Ad("Flyerbank.dat"));
    EXPECT_NE(saved.find("Version=1.1\r\nCount=3\r\n"), std::string::npos);
    // The movie's record names the unpacked movie and keeps its size.
    platform::ProfileReader file(Ad("Flyerbank.dat"));
    bool found = false;
    for (const char* section : {"AD0000", "AD0001", "AD0002"}) {
        if (file.GetInt(section, "ID", 0) != 201) continue;
        found = true;
        std::string name, path, url, size;
        file.GetFullString(section, "Name", name);
        file.GetFullString(section, "File", path);
        file.GetFullString(section, "URL", url);
        file.GetFullString(section, "Size", size);
        EXPECT_EQ(name, "\x93\xAE\x89\xE6");  // 動画
        EXPECT_EQ(path, Ad("0000201.asf"));
        EXPECT_EQ(url, "http://example.test/201");
        EXPECT_EQ(file.GetInt(section, "Type", -1), 1u);
        EXPECT_EQ(file.GetInt(section, "Priority", -1), 3u);
        EXPECT_EQ(file.GetInt(section, "Time", -1), 0u);
        EXPECT_EQ(file.GetInt(section, "Favorite", -1), 0u);
        EXPECT_EQ(CSizeCodec().Decode(size), std::to_string(m_movie.size()));
    }
    EXPECT_TRUE(found) << saved;
    EXPECT_EQ(DataRequests(), 3);

    // Everything is held with its size, the movie's old date notwithstanding.
    r = Run();
    EXPECT_EQ(r.wParam, kDone);
    EXPECT_EQ(DataRequests(), 3);
    EXPECT_EQ(Order().size(), 3u);
    EXPECT_EQ(ReadText(Ad("Flyerbank.dat")), saved);
}

TEST_F(Update, ListTwoModeSendsTheHeldCodesInEnumerationOrder) {
    WriteManifest();
    StartServer();
    EXPECT_EQ(Run(1).wParam, kDone);
    EXPECT_NE(ReadText(ServerLog()).find("USER_ID=u1&CONTS_CODE_LIST="), std::string::npos);
    EXPECT_EQ(Run(1).wParam, kDone);
    // The catalogue enumerates as the map holding it does.
    CMap<int> held;
    for (DWORD code : {201u, 101u, 102u}) held.SetAt(code, 0);
    std::string codes;
    held.ForEach([&](DWORD code, const int&) {
        char text[16];
        std::snprintf(text, sizeof text, "%s%07u", codes.empty() ? "" : ",", static_cast<unsigned>(code));
        codes += text;
    });
    EXPECT_NE(ReadText(ServerLog()).find("USER_ID=u1&CONTS_CODE_LIST=" + codes), std::string::npos)
        << ReadText(ServerLog());

    // The user id is kept to 40 bytes.
    const std::string longId(45, 'x');
    EXPECT_EQ(Run(0, longId).wParam, kDone);
    EXPECT_NE(ReadText(ServerLog()).find("CLNT_VER=1.0&USER_ID=" + longId.substr(0, 40) + " "), std::string::npos)
        << ReadText(ServerLog());
}

TEST_F(Update, ServerRefusalReachesTheHostWithItsNumberAndNoMessage) {
    WriteManifest();
    StartServer({"list-result=7"});
    HostWindow::Record r = Run();
    EXPECT_EQ(r.wParam, kFailed);
    EXPECT_EQ(r.lParam, 7u);
    StartServer({"data-result=5"});
    r = Run();
    EXPECT_EQ(r.wParam, kFailed);
    EXPECT_EQ(r.lParam, 5u);
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(FilesIn(Ads()), (std::set<std::string>{}));
}

TEST_F(Update, EveryFaultFailsTheUpdateAndLeavesEarlierAdsWhole) {
    WriteManifest(false);
    StartServer();
    ASSERT_EQ(Run().wParam, kDone);
    const std::set<std::string> held = FilesIn(Ads());

    WriteManifest(true, true);
    for (const char* fault : {"crlf-items", "wrong-code", "cut-payload", "bad-cabinet", "cabinet-files=1",
                              "cabinet-files=3", "empty-list=10"}) {
        SCOPED_TRACE(fault);
        StartServer({fault});
        HostWindow::Record r = Run();
        EXPECT_EQ(r.wParam, kFailed);
        EXPECT_EQ(r.lParam, 0u);
        EXPECT_EQ(Messages(), (std::vector<unsigned>{IDP_ADS_COMM_ERROR}));
        EXPECT_EQ(FilesIn(Ads()), held);  // nothing half-written, nothing unpacked left behind
        ExpectHeldPicturesWhole();
        EXPECT_EQ(Listed(false), 2);
        EXPECT_EQ(Listed(true), 0);
    }

    // A held ad whose download breaks off keeps its old file.
    WriteText(Ad("0000101.jpg"), "old version");
    WriteManifest(false);
    StartServer({"cut-payload"});
    EXPECT_EQ(Run().wParam, kFailed);
    EXPECT_EQ(ReadText(Ad("0000101.jpg")), "old version");
    EXPECT_EQ(FilesIn(Ads()), held);

    // A few empty answers are asked again.
    StartServer({"empty-list=3"});
    EXPECT_EQ(Run().wParam, kDone);
    EXPECT_EQ(Count(ReadText(ServerLog()), "getlist.php3"), 1 + 6 + 10 + 1 + 4);
    ExpectHeldPicturesWhole();
}

TEST_F(Update, CancelDuringASlowDownloadKeepsWhatWasStored) {
    WriteManifest(false);
    StartServer();
    ASSERT_EQ(Run().wParam, kDone);
    EXPECT_EQ(flb.FLBUpdateCancel(), 0);  // none running

    WriteManifest(true, true);
    StartServer({"slow-payload=100"});
    std::remove(MessageLog().c_str());
    ASSERT_EQ(flb.FLBUpdate("u1", m_window.Handle(), 0, "1.0"), 1);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (DataRequests() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);

    // While it runs, everything but the cancel refuses.
    uint32_t* codes = nullptr;
    int32_t n = 0;
    EXPECT_EQ(flb.FLBUpdate("u1", m_window.Handle(), 0, "1.0"), 0);
    EXPECT_EQ(flb.FLBNotifyAVLS(101, 1, "x"), 0);
    EXPECT_EQ(flb.FLBSetFolder(Ads().c_str()), 0);
    EXPECT_EQ(flb.FLBGetOrder(&codes, &n), 0);
    EXPECT_EQ(flb.FLBGetPictureList(&codes, &n), 0);
    EXPECT_EQ(flb.FLBGetMovieList(&codes, &n), 0);
    EXPECT_EQ(flb.FLBGetName(101), nullptr);
    EXPECT_EQ(flb.FLBGetFavoriteFlag(101), 0);
    EXPECT_EQ(flb.FLBGetFileName(101), nullptr);
    EXPECT_EQ(flb.FLBGetThumbnail(101), nullptr);
    EXPECT_EQ(flb.FLBGetURL(101), nullptr);
    EXPECT_EQ(flb.FLBSetName(101, "x"), 0);
    EXPECT_EQ(flb.FLBSetFavoriteFlag(101, 1), 0);
    EXPECT_EQ(flb.FLBRemove(101), 0);
    EXPECT_EQ(Messages(), std::vector<unsigned>(14, IDP_UPDATE_RUNNING));

    EXPECT_EQ(flb.FLBUpdateCancel(), 1);
    HostWindow::Record r = m_window.Wait(10000);
    EXPECT_TRUE(r.arrived);
    EXPECT_EQ(r.wParam, kCancelled);
    EXPECT_EQ(Messages().size(), 14u);  // a cancel shows nothing
    EXPECT_EQ(flb.FLBUpdateCancel(), 0);
    ExpectHeldPicturesWhole();
    EXPECT_EQ(Listed(false), 2);
    EXPECT_EQ(Listed(true), 0);
}

TEST_F(Update, HostMayUnloadTheLibraryOnTheCompletion) {
    WriteManifest();
    StartServer();
    const std::string command = std::string(UNLOAD_HOST) + " " + FLB_LIBRARY + " '" + Ads() + "'";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status)) << "the host died of signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadText(Ad("0000201.asf")), m_movie);
}

}  // namespace
