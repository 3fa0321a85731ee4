// What a host in the field meets beyond the happy path: folders named in any ANSI code
// page, folders with the read-only attribute, its keyboard focus during an update, and
// the worker's failure box while the progress window is up.
#include "CatalogueText.h"
#include "Screenshot.h"
#include "WinHost.h"
#include "res/resource.h"

namespace {

constexpr DWORD kWait = 20000;

class Field : public HostTest {
protected:
    void TearDown() override {
        HostTest::TearDown();
        lib.FLBSetFolder(spare.Folder().c_str());
    }
    // Shown, active and focused, as the window a user is typing into.
    void FocusHost() {
        ShowWindow(host.Handle(), SW_SHOW);
        SetActiveWindow(host.Handle());
        SetFocus(host.Handle());
        HostPump(50);
        ASSERT_EQ(host.Handle(), GetFocus());
    }

    TempFolder spare;
};

// A folder whose last character is a byte that is a lead byte in code page 932 and a
// letter in 1252 (or a two-byte character ending in 0x5C in 932): its separator is found
// as the system's own code page reads it.
TEST_F(Field, AFolderEndingInAnyCodePagesCharacterKeepsItsSeparator) {
    const std::string name = GetACP() == 932 ? "\x95\x5C" : "Publicit\xE9";  // 表, Publicité
    const std::string folder = ads.Path(name);
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr)) << "code page " << GetACP();
    WriteBytes(folder + "\\0000007.jpg", "picture");
    WriteBytes(folder + "\\Flyerbank.dat", CatalogueText({{7, folder + "\\0000007.jpg"}}, "1.0"));

    ASSERT_EQ(1, lib.FLBSetFolder(folder.c_str()));
    ASSERT_EQ(1, lib.FLBSetName(7, "renamed"));
    EXPECT_TRUE(FileExists(folder + "\\Flyerbank.lock")) << "the lock file belongs in the folder itself";
    EXPECT_FALSE(FileExists(ads.Path("Flyerbank.lock")));
    EXPECT_EQ(1, lib.FLBRemove(7));
    EXPECT_FALSE(FileExists(folder + "\\0000007.jpg"));
    EXPECT_TRUE(boxes.Shown().empty());
}

// The library's Japanese reads the same through the wide functions on a Western system
// (code page 1252) as on a Japanese one: boxes, and the progress window's status line.
TEST_F(Field, TheLibrarysOwnTextsReadAsJapaneseOnEveryCodePage) {
    boxes.Clear();
    EXPECT_EQ(0, lib.FLBSetFolder(nullptr));
    ASSERT_EQ(1u, boxes.Shown().size());
    EXPECT_EQ(L"\u5f15\u6570\u304c\u7121\u52b9\u3067\u3059\u3002", boxes.Shown()[0].wide);  // 引数が無効です。
    EXPECT_TRUE(boxes.Shown()[0].stopIcon);

    if (EnvOr("FLB_ADS_SLOW_URL").empty()) GTEST_SKIP() << "no slow server";
    ASSERT_EQ(1, lib.FLBSetFolder(ads.Folder().c_str()));
    UseServer(EnvOr("FLB_ADS_SLOW_URL"));
    ASSERT_TRUE(Start());
    HostPump(700);
    HWND dialog = FindWindowA("#32770", "Tidewell");
    ASSERT_NE(nullptr, dialog);
    wchar_t status[256] = L"";
    GetDlgItemTextW(dialog, 1001, status, 256);
    // 広告をダウンロードしています...  1/5 (0001001.png)
    EXPECT_STREQ(L"\u5e83\u544a\u3092\u30c0\u30a6\u30f3\u30ed\u30fc\u30c9\u3057\u3066\u3044\u307e\u3059"
                 L"...  1/5 (0001001.png)", status) << "code page " << GetACP();
    const std::string shot = EnvOr("FLB_TEXT_SCREENSHOT");
    if (!shot.empty()) {
        EXPECT_TRUE(SaveWindowPng(dialog, shot));
    }
    ASSERT_EQ(1, lib.FLBUpdateCancel());
    ASSERT_TRUE(host.WaitForCompletions(1, kWait));
    EXPECT_EQ(2u, host.Completions()[0].outcome);
}

// Windows marks customised folders read-only; that says nothing about their files.
TEST_F(Field, AWritableFolderWithTheReadOnlyAttributeIsAccepted) {
    const std::string folder = EnvOr("FLB_READONLY_DIR");
    if (folder.empty()) GTEST_SKIP() << "FLB_READONLY_DIR not set: the test script makes it";
    ASSERT_TRUE(GetFileAttributesA(folder.c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(1, lib.FLBSetFolder(folder.c_str()));
    EXPECT_TRUE(boxes.Shown().empty());
}

TEST_F(Field, TheProgressWindowTakesTheFocusOnlyWhileItShows) {
    if (EnvOr("FLB_ADS_SLOW_URL").empty()) GTEST_SKIP() << "no slow server";
    ASSERT_EQ(1, lib.FLBSetFolder(ads.Folder().c_str()));
    FocusHost();
    // An update that downloads nothing never shows the window; the server's refusal
    // reaches the host with its number.
    UseServer(EnvOr("FLB_ADS_REFUSING_URL"));
    ASSERT_TRUE(Start());
    EXPECT_EQ(host.Handle(), GetFocus()) << "the hidden window took the focus";
    ASSERT_TRUE(host.WaitForCompletions(1, kWait));
    EXPECT_EQ(1u, host.Completions()[0].outcome);
    EXPECT_EQ(7, host.Completions()[0].result);
    EXPECT_TRUE(boxes.Shown().empty());
    EXPECT_EQ(host.Handle(), GetFocus());
    EXPECT_EQ(host.Handle(), GetActiveWindow());

    UseServer(EnvOr("FLB_ADS_SLOW_URL"));
    ASSERT_TRUE(Start());
    EXPECT_EQ(host.Handle(), GetFocus());
    HostPump(700);
    HWND dialog = FindWindowA("#32770", "Tidewell");
    ASSERT_NE(nullptr, dialog);
    ASSERT_TRUE(IsWindowVisible(dialog));
    EXPECT_EQ(dialog, GetActiveWindow());
    ASSERT_EQ(1, lib.FLBUpdateCancel());
    ASSERT_TRUE(host.WaitForCompletions(2, kWait));
    HostPump(50);
    EXPECT_FALSE(IsWindowVisible(dialog));
    EXPECT_EQ(host.Handle(), GetActiveWindow());
    EXPECT_EQ(host.Handle(), GetFocus()) << "the focus did not come back";
}

// The download fails while the progress window stands topmost: the worker's box must be
// where the user can answer it, and the bar's timer must not outlive the update.
TEST_F(Field, AFailedDownloadsBoxOpensAboveTheProgressWindowWhichStops) {
    if (EnvOr("FLB_ADS_CUT_URL").empty()) GTEST_SKIP() << "no server that cuts its payloads";
    ASSERT_EQ(1, lib.FLBSetFolder(ads.Folder().c_str()));
    UseServer(EnvOr("FLB_ADS_CUT_URL"));
    int looked = 0, hidden = 0;
    boxes.OnOpen([&](HWND box) {
        ++looked;
        HWND dialog = FindWindowA("#32770", "Tidewell");
        if (!dialog || !IsWindowVisible(dialog)) {
            ++hidden;
            return;
        }
        // Above means earlier in the z-order, topmost windows first.
        for (HWND w = GetWindow(box, GW_HWNDNEXT); w; w = GetWindow(w, GW_HWNDNEXT))
            if (w == dialog) {
                ++hidden;
                return;
            }
    });
    ASSERT_TRUE(Start());
    ASSERT_TRUE(host.WaitForCompletions(1, kWait));
    EXPECT_EQ(1u, host.Completions()[0].outcome);
    ASSERT_FALSE(boxes.Shown().empty());
    EXPECT_EQ(StringOf(IDP_ADS_COMM_ERROR), boxes.Shown().back().text);
    EXPECT_TRUE(boxes.Shown().back().stopIcon);
    EXPECT_EQ(looked, hidden) << "a box opened under the progress window";

    HostPump(50);
    HWND dialog = FindWindowA("#32770", "Tidewell");
    ASSERT_NE(nullptr, dialog);
    EXPECT_FALSE(KillTimer(dialog, 426)) << "the bar's timer still runs after the update";
}

}  // namespace
