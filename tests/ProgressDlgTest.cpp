// The progress window's model: the bar's range and position per ad, the creeping timer,
// and a cancel command that only ever reaches its own update. The status texts an update
// shows are checked in order, end to end, through the debug log.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "frame/App.h"
#include "update/ProgressDlg.h"

namespace {

using namespace std::chrono_literals;

class Progress : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dlg.Create(nullptr)); }
    platform::ProgressView& View() { return *m_dlg.View(); }
    CProgressDlg m_dlg;
};

TEST_F(Progress, BarHasAHundredUnitsPerAd) {
    m_dlg.ShowTopmost();
    EXPECT_TRUE(View().IsVisible());
    m_dlg.SetCount(3);
    EXPECT_EQ(View().Range(), 300);
    m_dlg.SetCurrent(1);
    EXPECT_EQ(View().Pos(), 100);
    m_dlg.SetCurrent(3);
    EXPECT_EQ(View().Pos(), 300);
    m_dlg.SetCurrent(-1);
    EXPECT_EQ(View().Pos(), 100);
    m_dlg.SetCount(700);  // the bound travels in 16 bits
    EXPECT_EQ(View().Range(), 4464);
    m_dlg.SetCount(0);
    EXPECT_EQ(View().Range(), 100);
    m_dlg.HideWindow();
    m_dlg.HideWindow();
    EXPECT_FALSE(View().IsVisible());
}

TEST_F(Progress, TimerCreepsToTheEndOfTheAdsSlotAndStops) {
    m_dlg.ShowTopmost();
    m_dlg.SetCount(3);
    m_dlg.SetCurrent(1);
    CAdRecord ad(5);
    ad.Type = AD_TYPE_PICTURE;  // 15 ms ticks: the slot fills in about 1.5 s
    m_dlg.SetCurrentAd(&ad);
    m_dlg.StartTimer();
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (View().Pos() < 200 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(View().Pos(), 200);  // never into the next ad's slot
    m_dlg.SetCurrent(2);
    EXPECT_EQ(View().Pos(), 200);
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(View().Pos(), 200);  // SetCurrent stopped the timer
}

TEST_F(Progress, CancelReachesOnlyItsOwnRunningUpdate) {
    CWinThread running;
    running.m_nThreadID = platform::CurrentThreadId();
    platform::CreateThreadQueue();
    unsigned message = 0;

    m_dlg.SetWorker(running.m_nThreadID);
    View().Cancel();  // no update runs: nothing is posted
    EXPECT_FALSE(platform::PeekOwnThreadMessage(message));

    theApp.m_nUpdateThreadId = running.m_nThreadID;
    theApp.m_pUpdateThread = &running;
    View().Cancel();
    ASSERT_TRUE(platform::PeekOwnThreadMessage(message));
    EXPECT_EQ(message, 0x8001u);

    m_dlg.SetWorker(running.m_nThreadID + 1000);  // the window of an earlier update
    View().Cancel();
    EXPECT_FALSE(platform::PeekOwnThreadMessage(message));

    theApp.m_pUpdateThread = nullptr;
    theApp.m_nUpdateThreadId = 0;
    platform::ReleaseThreadQueue();
}

}  // namespace
