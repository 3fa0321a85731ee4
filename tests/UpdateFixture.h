// The update fixture: a scratch root with an ad folder, the reference ad server run as a
// real program with content of our own, and the loaded library's exports.
#pragma once
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
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

// The keys of an ad's section that the catalogue file holds, key -> value.
inline std::map<std::string, std::string> RecordIn(const platform::ProfileReader& file, const std::string& section) {
    std::map<std::string, std::string> r;
    for (const char* key : {"Name", "File", "ID", "Type", "URL", "Time", "Favorite", "Priority", "Size"})
        if (!file.GetFullString(section.c_str(), key, r[key])) r.erase(key);
    return r;
}

// An ad's record as the catalogue file stores it; empty when none has its code.
inline std::map<std::string, std::string> StoredRecord(const std::string& dat, uint32_t code) {
    platform::ProfileReader file(dat);
    for (uint32_t i = 0, n = file.GetInt("Flyerbank", "Count", 0); i < n; ++i)
        if (file.GetInt(AdSection(i).c_str(), "ID", 0) == code) return RecordIn(file, AdSection(i));
    return {};
}

// The registry names the ad server at base ("http://127.0.0.1:PORT/ads/") for the next update.
inline void PointAtAdServer(const std::string& base) {
    const std::string key = LoadResString(IDS_REGISTRY_KEY);
    for (auto value : {std::make_pair(IDS_VALUE_LIST, "getlist.php3"), std::make_pair(IDS_VALUE_LIST2, "getlist2.php3"),
                       std::make_pair(IDS_VALUE_DATA, "getdata.php3")})
        ASSERT_TRUE(platform::WriteRegistryValue("HKEY_CURRENT_USER", key, LoadResString(value.first), base + value.second));
}

// A cabinet made by a real tool, its members stored with the date 2001-02-03 04:05:06;
// `packed` compresses them.
inline void MakeCabinet(const std::string& cab, const std::vector<std::pair<std::string, std::string>>& members,
                        bool packed = false) {
    TempFolder dir;
    std::string names;
    for (const auto& [name, bytes] : members) {
        WriteText(dir.Path(name), bytes);
        names += " '" + name + "'";
    }
    const std::string command = "cd '" + dir.Path("") + "' && touch -d '2001-02-03 04:05:06'" + names + " && gcab -c" +
                                (packed ? "z" : "") + " '" + cab + "'" + names;
    ASSERT_EQ(std::system(command.c_str()), 0);
}

// A server's answer as the transport hands it over: a malloc'ed block the job owns.
inline unsigned char* AnswerBlock(const std::string& bytes) {
    auto* block = static_cast<unsigned char*>(std::malloc(bytes.size() ? bytes.size() : 1));
    std::memcpy(block, bytes.data(), bytes.size());
    return block;
}

class Update : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("no_proxy", "127.0.0.1", 1);
        setenv("FLB_REGISTRY_DIR", m_root.Path("registry").c_str(), 1);
        setenv("FLB_MESSAGE_LOG", MessageLog().c_str(), 1);
        setenv("FLB_DEBUG_LOG", m_root.Path("debug.log").c_str(), 1);
        ASSERT_TRUE(platform::MakeDirectory(m_root.Path("content")));
        ASSERT_TRUE(platform::MakeDirectory(Ads()));
        ASSERT_EQ(flb.FLBSetFolder(Ads().c_str()), 1);
        WriteText(Content("pic101.jpg"), m_pic101);
        WriteText(Content("pic102.png"), m_pic102);
        WriteText(Content("pic103.jpg"), m_pic103);
        MakeCabinet(Content("movie201.cab"), {{"movie.asf", m_movie}, {"thumb.jpg", m_thumb}});
    }
    void TearDown() override {
        unsetenv("FLB_MESSAGE_LOG");
        unsetenv("FLB_DEBUG_LOG");
    }

    // The first manifest: two pictures and a cabinet movie. `more` adds a new picture.
    void WriteManifest(bool withMovie = true, bool more = false) {
        std::string m = "# code\text\tpriority\tname\tlink\tpayload\n";
        if (withMovie) m += "201\tcab\t13\t動画\thttp://example.test/201\tmovie201.cab\n";
        m += "101\tjpg\t5\t青い空\thttp://example.test/101\tpic101.jpg\n";
        m += "102\tpng\t1\tsecond\thttp://example.test/102?a=b:c\tpic102.png\n";
        if (more) m += "103\tjpg\t0\tthird\thttp://example.test/103\tpic103.jpg\n";
        WriteText(Content("manifest.txt"), m);
    }

    void StartServer(std::vector<std::string> faults = {}) {
        std::vector<std::string> args{"--content", m_root.Path("content"), "--log", ServerLog()};
        for (const std::string& f : faults) args.insert(args.end(), {"--fault", f});
        m_server.Stop();
        ASSERT_TRUE(m_server.Start(ADS_SERVER, args));
        PointAtAdServer(m_server.Url("ads/"));
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
    // Starts an update and returns once the server has answered its first data request.
    void StartUpdateUntilData() {
        std::remove(MessageLog().c_str());
        ASSERT_EQ(flb.FLBUpdate("u1", m_window.Handle(), 0, "1.0"), 1);
        ASSERT_TRUE(Eventually([&] { return DataRequests() > 0; }));
    }

    std::string Ads() const { return m_parent.Path("ads"); }
    std::string Ad(const std::string& name) const { return m_parent.Path("ads/") + name; }
    std::string Dat() const { return Ad("Flyerbank.dat"); }
    std::string Content(const std::string& name) const { return m_root.Path("content/" + name); }
    std::string MessageLog() const { return m_root.Path("messages.log"); }
    std::string ServerLog() const { return m_root.Path("ads.log"); }
    std::vector<unsigned> Messages() const { return LoggedMessages(MessageLog()); }
    int DataRequests() const { return Count(ReadText(ServerLog()), "getdata.php3"); }
    // What the ad server was asked since the last call, "METHOD PATH BODY STATUS" a line.
    std::string Requests() {
        const std::string log = ReadText(ServerLog());
        std::string asked;
        for (size_t at = m_requestsSeen; at < log.size();) {
            const size_t end = log.find('\n', at);
            const size_t from = log.find(' ', log.find(' ', at) + 1) + 1;  // after the time and the peer
            asked += log.substr(from, end + 1 - from);
            at = end + 1;
        }
        m_requestsSeen = log.size();
        return asked;
    }
    // The debug log's line for a status the progress window showed: the ad's number and file
    // for the download text.
    static std::string Status(int bar, int range, unsigned id, int n = 0, const char* file = "") {
        char text[512];
        std::snprintf(text, sizeof text, LoadResString(id), n, range / 100, file);
        return "progress\tbar=" + std::to_string(bar) + "/" + std::to_string(range) + "\ttext=" + text + "\n";
    }
    static std::string Status(int bar, int range, int n, const char* file) {
        return Status(bar, range, IDS_STATUS_DOWNLOADING, n, file);
    }
    // The debug log since the last call, with the ad folder written ADS and the server's base URL SRV/.
    std::string Trail() {
        std::string text = ReadText(m_root.Path("debug.log"));
        std::remove(m_root.Path("debug.log").c_str());
        for (const auto& [from, to] : {std::make_pair(Ads(), std::string("ADS")), std::make_pair(m_server.Url(""), std::string("SRV/"))})
            for (size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, from.size(), to);
        return text;
    }

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
    TempFolder m_root;    // content, logs, registry
    TempFolder m_parent;  // the ad folder alone, so that anything written beside it shows
    ServerRun m_server;
    size_t m_requestsSeen = 0;
    HostWindow m_window;
    const std::string m_pic101 = Bytes('a', 3000), m_pic102 = Bytes('b', 2000), m_pic103 = Bytes('c', 1500);
    const std::string m_movie = Bytes('m', 60000), m_thumb = Bytes('t', 1000);
};

}  // namespace
