// Updates through WinInet and cabinet.dll against the reference servers, which the test
// script runs natively on 127.0.0.1; completions arrive at a real window.
#include <winsock2.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include "Screenshot.h"
#include "WinHost.h"
#include "res/resource.h"

namespace {

constexpr DWORD kWait = 20000;  // under the 30 s idle time-out: an end before it is the cancel's

uint64_t LastWrite(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32 | data.ftLastWriteTime.dwLowDateTime;
}

// The time the demo cabinets store for every member, 2026-04-01 09:00 local time.
uint64_t StoredAsUtc() {
    FILETIME local, utc;
    DosDateTimeToFileTime(((2026 - 1980) << 9) | (4 << 5) | 1, 9 << 11, &local);
    LocalFileTimeToFileTime(&local, &utc);
    return uint64_t{utc.dwHighDateTime} << 32 | utc.dwLowDateTime;
}

class Update : public HostTest {
protected:
    void SetUp() override {
        if (EnvOr("FLB_ADS_URL").empty()) GTEST_SKIP() << "FLB_ADS_URL not set: the test script runs the servers";
        UseServer(EnvOr("FLB_ADS_URL"), EnvOr("FLB_AVLS_URL"));
        ASSERT_EQ(1, lib.FLBSetFolder(ads.Folder().c_str()));
    }
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
    for (unsigned ad : {2001u, 2002u}) {
        const std::string code = "000" + std::to_string(ad);
        EXPECT_STREQ(ads.Path(code + ".wmv").c_str(), lib.FLBGetFileName(ad));
        EXPECT_STREQ(ads.Path(code + ".jpg").c_str(), lib.FLBGetThumbnail(ad));
        for (const char* ext : {".wmv", ".jpg"}) EXPECT_EQ(StoredAsUtc(), LastWrite(ads.Path(code + ext))) << code << ext;
        EXPECT_FALSE(FileExists(ads.Path(std::to_string(ad) + ".cab")));
    }

    // The notice of a shown ad is stored by the log server, which answers the sealed OK.
    if (!EnvOr("FLB_AVLS_URL").empty()) {
        EXPECT_EQ(1, lib.FLBNotifyAVLS(1001, 3, "shown on the test host"));
        EXPECT_TRUE(boxes.Shown().empty());
    }
}

// A payload of 1 KiB every 200 ms completes; an answer of a byte every 2 s fails at the idle
// time as a silent server does, with the same boxes, and leaves the held ads as they were.
TEST_F(Update, TooSlowAnAnswerFailsAsASilentOneWhileASlowPayloadCompletes) {
    if (EnvOr("FLB_ADS_TRICKLE_URL").empty()) GTEST_SKIP() << "no trickling server";
    const std::string send = StringOf(IDP_SEND_REQUEST), comm = StringOf(IDP_ADS_COMM_ERROR);
    const struct {
        const char* server;
        WPARAM outcome;
        std::vector<std::string> boxes;
    } rows[] = {{"FLB_ADS_SLOW_URL", 0, {}}, {"FLB_ADS_TRICKLE_URL", 1, {send, comm}}};
    const std::string content = EnvOr("FLB_CONTENT_DIR");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.server);
        const HostWindow::Completion c = Run(EnvOr(row.server));
        EXPECT_EQ(row.outcome, c.outcome);
        EXPECT_EQ(0, c.result);
        std::vector<std::string> shown;
        for (const ShownBox& box : boxes.Shown()) shown.push_back(box.text);
        EXPECT_EQ(row.boxes, shown);
        EXPECT_EQ(ReadBytes(content + "\\spring-sale.png"), ReadBytes(ads.Path("0001001.png")));
        EXPECT_EQ(ReadBytes(content + "\\books.png"), ReadBytes(ads.Path("0001003.png")));
        EXPECT_EQ((std::vector<uint32_t>{1001, 1002, 1003}), Codes(lib.FLBGetPictureList));
    }
    WIN32_FIND_DATAA found;
    HANDLE scan = FindFirstFileA(ads.Path("*.part").c_str(), &found);
    EXPECT_EQ(INVALID_HANDLE_VALUE, scan) << "a partial file was left: " << found.cFileName;
    if (scan != INVALID_HANDLE_VALUE) FindClose(scan);
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

// Dialog 1000 of the resources, owned by the host's window, topmost, with its font, and
// its bar creeping while the first picture trickles in.
void ExpectProgressWindow(HWND dialog, HWND owner) {
    EXPECT_EQ(owner, GetWindow(dialog, GW_OWNER)) << "owned by the host's root window";
    EXPECT_TRUE(GetWindowLongA(dialog, GWL_EXSTYLE) & WS_EX_TOPMOST);
    LOGFONTA font = {};
    ASSERT_TRUE(GetObjectA(reinterpret_cast<HFONT>(SendMessageA(dialog, WM_GETFONT, 0, 0)), sizeof font, &font));
    EXPECT_STREQ("\x82\x6C\x82\x72 \x82\x6F\x83\x53\x83\x56\x83\x62\x83\x4E", font.lfFaceName);  // ＭＳ Ｐゴシック

    // The bar first, then the text.
    HWND bar = GetWindow(dialog, GW_CHILD);
    ASSERT_NE(nullptr, bar);
    char text[256] = {}, expected[256];
    GetWindowTextA(GetWindow(bar, GW_HWNDNEXT), text, sizeof text);
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
}

// A cancel by the export or by Esc in the progress window, while a payload trickles in
// or while the server says nothing: each ends the update as cancelled well before the
// idle time-out, with no message.
TEST_F(Update, CancelsEndTheUpdateAsCancelled) {
    enum How { kExport, kEsc };
    const struct {
        const char* name;
        bool silent;
        How how;
    } cases[] = {{"slow payload, export", false, kExport}, {"slow payload, Esc", false, kEsc},
                 {"silent server, export", true, kExport}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.silent && EnvOr("FLB_ADS_SLOW_URL").empty()) continue;
        char silentBase[64];
        const SOCKET silent = HostSilentServer(silentBase, sizeof silentBase);
        HostWindow window;
        UseServer(c.silent ? silentBase : EnvOr("FLB_ADS_SLOW_URL"));
        ASSERT_EQ(1, lib.FLBUpdate("user1", window.Handle(), 0, "1.0"));
        boxes.HookNewThreads();
        HostPump(900);  // the first picture trickles in at 1 KiB per 200 ms
        HWND dialog = FindWindowA("#32770", "Tidewell");
        if (!c.silent) {
            ASSERT_NE(nullptr, dialog);
            EXPECT_TRUE(IsWindowVisible(dialog));
            if (c.how == kExport) ExpectProgressWindow(dialog, window.Handle());
        }
        const DWORD start = GetTickCount();
        if (c.how == kExport) {
            ASSERT_EQ(1, lib.FLBUpdateCancel());
        } else {
            // The dialog manager turns Esc into IDCANCEL.
            SendMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
            EXPECT_TRUE(IsWindowVisible(dialog)) << "the cancel command leaves the window to the worker";
        }
        ASSERT_TRUE(window.WaitForCompletions(1, kWait)) << "the cancel waited for the server";
        std::printf("[ measured ] cancel to completion, %s: %lu ms\n", c.name, GetTickCount() - start);
        closesocket(silent);
        EXPECT_EQ(2u, window.Completions()[0].outcome);
        EXPECT_TRUE(boxes.Shown().empty());
        if (dialog) {
            EXPECT_FALSE(IsWindowVisible(dialog));
        }
        EXPECT_FALSE(FileExists(ads.Path("0001001.png")));
    }
}

}  // namespace
