// Updates through WinInet and cabinet.dll against the reference servers, which the test
// script runs natively on 127.0.0.1; completions arrive at a real window.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "Screenshot.h"
#include "WinHost.h"
#include "res/resource.h"

namespace {

constexpr DWORD kWait = 20000;  // under the 30 s idle time-out: an end before it is the cancel's

// The date and time a cabinet stores for each member, read from its file table.
struct StoredMember {
    std::string name;
    USHORT date, time;
};
std::vector<StoredMember> MembersOf(const std::string& cab) {
    std::vector<StoredMember> out;
    if (cab.size() < 36 || cab.compare(0, 4, "MSCF") != 0) return out;
    auto u16 = [&](size_t at) { return static_cast<USHORT>(uint8_t(cab[at]) | uint8_t(cab[at + 1]) << 8); };
    auto u32 = [&](size_t at) { return uint32_t(u16(at)) | uint32_t(u16(at + 2)) << 16; };
    size_t at = u32(16);
    for (unsigned i = 0, files = u16(28); i < files && at + 16 < cab.size(); ++i) {
        StoredMember m;
        m.date = u16(at + 10);
        m.time = u16(at + 12);
        size_t end = cab.find('\0', at + 16);
        if (end == std::string::npos) break;
        m.name = cab.substr(at + 16, end - at - 16);
        out.push_back(m);
        at = end + 1;
    }
    return out;
}

uint64_t LastWrite(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32 | data.ftLastWriteTime.dwLowDateTime;
}

uint64_t StoredAsUtc(USHORT date, USHORT time) {
    FILETIME local, utc;
    DosDateTimeToFileTime(date, time, &local);
    LocalFileTimeToFileTime(&local, &utc);
    return uint64_t{utc.dwHighDateTime} << 32 | utc.dwLowDateTime;
}

// Accepts connections and never answers them, until it is destroyed.
class SilentServer {
public:
    SilentServer() {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
        m_listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        listen(m_listener, 8);
        int len = sizeof addr;
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread([this] {
            for (;;) {
                SOCKET s = accept(m_listener, nullptr, nullptr);
                if (s == INVALID_SOCKET) return;
                m_accepted.push_back(s);
            }
        });
    }
    ~SilentServer() {
        closesocket(m_listener);
        m_thread.join();
        for (SOCKET s : m_accepted) closesocket(s);
    }
    std::string Url(const char* path) const { return "http://127.0.0.1:" + std::to_string(m_port) + path; }

private:
    SOCKET m_listener;
    unsigned m_port = 0;
    std::thread m_thread;
    std::vector<SOCKET> m_accepted;
};

class Update : public ::testing::Test {
protected:
    void SetUp() override {
        if (EnvOr("FLB_ADS_URL").empty()) GTEST_SKIP() << "FLB_ADS_URL not set: the test script runs the servers";
        UseServer(EnvOr("FLB_ADS_URL"));
        ASSERT_EQ(1, lib.FLBSetFolder(ads.Folder().c_str()));
    }
    void TearDown() override { ClearServerUrls(); }

    void UseServer(const std::string& base) {
        SetServerUrls(base + "/getlist.php3", base + "/getlist2.php3", base + "/getdata.php3",
                      EnvOr("FLB_AVLS_URL"));
    }
    bool Start() {
        const bool started = lib.FLBUpdate("user1", host.Handle(), 0, "1.0") == 1;
        boxes.HookNewThreads();
        return started;
    }

    Library& lib = Library::Get();
    TempFolder ads;
    HostWindow host;
    BoxRecorder boxes;
};

TEST_F(Update, PicturesAndCabinetMoviesArriveWithTheirStoredTimes) {
    ASSERT_TRUE(Start());
    ASSERT_TRUE(host.WaitForCompletions(1, 60000));
    EXPECT_EQ(0u, host.Completions()[0].outcome);
    EXPECT_EQ(0, host.Completions()[0].result);
    EXPECT_TRUE(boxes.Shown().empty());

    const std::string content = EnvOr("FLB_CONTENT_DIR");
    EXPECT_EQ(ReadBytes(content + "\\spring-sale.png"), ReadBytes(ads.Path("0001001.png")));
    EXPECT_EQ(ReadBytes(content + "\\coffee.jpg"), ReadBytes(ads.Path("0001002.jpg")));

    // Each cabinet became a movie and its thumbnail under the ad's code, with the stored time.
    for (auto ad : {std::make_pair(2001u, "trailer.cab"), std::make_pair(2002u, "cooking.cab")}) {
        const auto members = MembersOf(ReadBytes(content + "\\" + ad.second));
        ASSERT_EQ(2u, members.size()) << ad.second;
        const char* movie = lib.FLBGetFileName(ad.first);
        ASSERT_NE(nullptr, movie);
        const std::string moviePath = movie;
        const char* thumb = lib.FLBGetThumbnail(ad.first);
        ASSERT_NE(nullptr, thumb);
        EXPECT_EQ(moviePath.substr(0, moviePath.rfind('.')) + ".jpg", thumb);
        for (const auto& m : members) {
            const std::string ext = m.name.substr(m.name.rfind('.'));
            char name[32];
            std::snprintf(name, sizeof name, "%07u%s", ad.first, ext.c_str());
            EXPECT_EQ(StoredAsUtc(m.date, m.time), LastWrite(ads.Path(name))) << name;
        }
        EXPECT_FALSE(FileExists(ads.Path(std::to_string(ad.first) + ".cab")));
    }

    uint32_t* order = nullptr;
    int32_t count = 0;
    ASSERT_EQ(1, lib.FLBGetOrder(&order, &count));
    ASSERT_EQ(5, count);
    EXPECT_TRUE(order[0] == 2001 || order[0] == 2002);  // movies first
    std::free(order);

    // The notice of a shown ad is stored by the log server, which answers the sealed OK.
    if (!EnvOr("FLB_AVLS_URL").empty()) {
        EXPECT_EQ(1, lib.FLBNotifyAVLS(1001, 3, "shown on the test host"));
        EXPECT_TRUE(boxes.Shown().empty());
    }
}

TEST_F(Update, TheCompletionHandlerMayStartTheNextUpdate) {
    int restarted = -1;
    host.OnCompletion([&](const HostWindow::Completion&) {
        if (restarted == -1) restarted = lib.FLBUpdate("user1", host.Handle(), 1, "1.0");
    });
    ASSERT_TRUE(Start());
    ASSERT_TRUE(host.WaitForCompletions(2, 60000)) << "the second update never ended";
    EXPECT_EQ(1, restarted);
    EXPECT_EQ(0u, host.Completions()[0].outcome);
    EXPECT_EQ(0u, host.Completions()[1].outcome);
    EXPECT_TRUE(boxes.Shown().empty());
}

TEST_F(Update, CancelDuringASlowPayloadEndsItAsCancelled) {
    if (EnvOr("FLB_ADS_SLOW_URL").empty()) GTEST_SKIP() << "no slow server";
    UseServer(EnvOr("FLB_ADS_SLOW_URL"));
    ASSERT_TRUE(Start());
    PumpMessages(700);  // the first picture trickles in at 1 KiB per 200 ms

    HWND dialog = FindWindowA("#32770", "Tidewell");
    ASSERT_NE(nullptr, dialog);
    EXPECT_TRUE(IsWindowVisible(dialog));

    const DWORD start = GetTickCount();
    ASSERT_EQ(1, lib.FLBUpdateCancel());
    ASSERT_TRUE(host.WaitForCompletions(1, kWait));
    std::printf("[ measured ] cancel to completion during a slow payload: %lu ms\n", GetTickCount() - start);
    EXPECT_EQ(2u, host.Completions()[0].outcome);
    EXPECT_TRUE(boxes.Shown().empty());
    EXPECT_FALSE(IsWindowVisible(dialog));
    EXPECT_FALSE(FileExists(ads.Path("0001001.png")));
}

TEST_F(Update, TheProgressWindowIsDialog1000OverTheHost) {
    if (EnvOr("FLB_ADS_SLOW_URL").empty()) GTEST_SKIP() << "no slow server";
    UseServer(EnvOr("FLB_ADS_SLOW_URL"));
    ASSERT_TRUE(Start());
    PumpMessages(900);  // the first picture trickles in at 1 KiB per 200 ms

    HWND dialog = FindWindowA("#32770", "Tidewell");
    ASSERT_NE(nullptr, dialog);
    EXPECT_TRUE(IsWindowVisible(dialog));
    EXPECT_EQ(host.Handle(), GetWindow(dialog, GW_OWNER)) << "owned by the host's root window";
    EXPECT_TRUE(GetWindowLongA(dialog, GWL_EXSTYLE) & WS_EX_TOPMOST);
    EXPECT_TRUE(GetWindowLongA(dialog, GWL_EXSTYLE) & WS_EX_CONTROLPARENT);
    // The system adds DS_3DLOOK to every dialog; the rest is the template's.
    EXPECT_EQ(0x86C00AC0u & ~WS_VISIBLE,
              static_cast<DWORD>(GetWindowLongA(dialog, GWL_STYLE)) & ~(WS_VISIBLE | DS_3DLOOK));
    LOGFONTA font = {};
    ASSERT_TRUE(GetObjectA(reinterpret_cast<HFONT>(SendMessageA(dialog, WM_GETFONT, 0, 0)), sizeof font, &font));
    EXPECT_STREQ("\x82\x6C\x82\x72 \x82\x6F\x83\x53\x83\x56\x83\x62\x83\x4E", font.lfFaceName);  // ＭＳ Ｐゴシック

    // The bar first, then the text, with the template's classes, styles and texts.
    HWND bar = GetWindow(dialog, GW_CHILD);
    ASSERT_NE(nullptr, bar);
    HWND status = GetWindow(bar, GW_HWNDNEXT);
    EXPECT_EQ(1000, GetDlgCtrlID(bar));
    EXPECT_EQ(1001, GetDlgCtrlID(status));
    char cls[64] = {}, text[256] = {};
    GetClassNameA(bar, cls, sizeof cls);
    EXPECT_STREQ("msctls_progress32", cls);
    // A bar control may trade the template's WS_BORDER for an edge of its own drawing.
    EXPECT_EQ(0x50800001u, static_cast<DWORD>(GetWindowLongA(bar, GWL_STYLE)) | WS_BORDER);
    GetClassNameA(status, cls, sizeof cls);
    EXPECT_EQ(0, lstrcmpiA("Static", cls));
    EXPECT_EQ(0x50020280u, static_cast<DWORD>(GetWindowLongA(status, GWL_STYLE)));
    GetWindowTextA(status, text, sizeof text);
    char expected[256];
    std::snprintf(expected, sizeof expected, StringOf(IDS_STATUS_DOWNLOADING).c_str(), 1, 5, "0001001.png");
    EXPECT_STREQ(expected, text);
    EXPECT_EQ(500, SendMessageA(bar, PBM_GETRANGE, FALSE, 0));
    const LRESULT pos = SendMessageA(bar, PBM_GETPOS, 0, 0);
    EXPECT_GT(pos, 0) << "the bar creeps while the picture downloads";
    EXPECT_LE(pos, 100);

    const std::string shot = EnvOr("FLB_SCREENSHOT");
    if (!shot.empty()) {
        EXPECT_TRUE(SaveWindowPng(dialog, shot));
    }

    ASSERT_EQ(1, lib.FLBUpdateCancel());
    ASSERT_TRUE(host.WaitForCompletions(1, kWait));
    EXPECT_EQ(2u, host.Completions()[0].outcome);
    EXPECT_FALSE(IsWindowVisible(dialog));
}

TEST_F(Update, CancelWhileTheServerIsSilentEndsItAsCancelled) {
    SilentServer silent;
    SetServerUrls(silent.Url("/getlist.php3"), silent.Url("/getlist2.php3"), silent.Url("/getdata.php3"), "");
    ASSERT_TRUE(Start());
    PumpMessages(800);
    const DWORD start = GetTickCount();
    ASSERT_EQ(1, lib.FLBUpdateCancel());
    ASSERT_TRUE(host.WaitForCompletions(1, kWait)) << "the cancel waited for the server";
    std::printf("[ measured ] cancel to completion on a silent server: %lu ms\n", GetTickCount() - start);
    EXPECT_EQ(2u, host.Completions()[0].outcome);
    EXPECT_TRUE(boxes.Shown().empty());
}

TEST_F(Update, EscInTheProgressWindowCancels) {
    if (EnvOr("FLB_ADS_SLOW_URL").empty()) GTEST_SKIP() << "no slow server";
    UseServer(EnvOr("FLB_ADS_SLOW_URL"));
    ASSERT_TRUE(Start());
    PumpMessages(700);
    HWND dialog = FindWindowA("#32770", "Tidewell");
    ASSERT_NE(nullptr, dialog);
    // The dialog manager turns Esc into IDCANCEL.
    SendMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    EXPECT_TRUE(IsWindowVisible(dialog)) << "the cancel command leaves the window to the worker";
    ASSERT_TRUE(host.WaitForCompletions(1, kWait));
    EXPECT_EQ(2u, host.Completions()[0].outcome);
}

TEST_F(Update, ARefusalReachesTheHostWithItsNumber) {
    if (EnvOr("FLB_ADS_REFUSING_URL").empty()) GTEST_SKIP() << "no refusing server";
    UseServer(EnvOr("FLB_ADS_REFUSING_URL"));
    ASSERT_TRUE(Start());
    ASSERT_TRUE(host.WaitForCompletions(1, kWait));
    EXPECT_EQ(1u, host.Completions()[0].outcome);
    EXPECT_EQ(7, host.Completions()[0].result);
    EXPECT_TRUE(boxes.Shown().empty());
}

TEST_F(Update, AFailureOnTheWorkerIsShownThere) {
    SetServerUrls("https://127.0.0.1:1/list", "", "", "");
    ASSERT_TRUE(Start());
    ASSERT_TRUE(host.WaitForCompletions(1, kWait));
    EXPECT_EQ(1u, host.Completions()[0].outcome);
    const auto shown = boxes.Shown();
    ASSERT_EQ(2u, shown.size());
    EXPECT_EQ(StringOf(IDP_NOT_HTTP), shown[0].text);
    EXPECT_FALSE(shown[0].stopIcon);
    EXPECT_EQ(StringOf(IDP_ADS_COMM_ERROR), shown[1].text);
    EXPECT_TRUE(shown[1].stopIcon);
}

}  // namespace
