// The progress window of one update: which ad is downloading, of how many, and a bar of
// 100 units per ad that a timer creeps forward while the ad downloads, since the
// transport reports no progress of its own.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

#include "catalogue/AdRecord.h"
#include "frame/Afx.h"
#include "platform/ProgressView.h"
#include "platform/ThreadQueue.h"

class CProgressDlg {
public:
    static constexpr unsigned kTimerId = 426;
    static constexpr unsigned kPictureTickMs = 15;
    static constexpr unsigned kOtherTickMs = 150;
    static constexpr int32_t kUnitsPerAd = 100;

    CProgressDlg() = default;
    virtual ~CProgressDlg();
    CProgressDlg(const CProgressDlg&) = delete;
    CProgressDlg& operator=(const CProgressDlg&) = delete;

    // Creates the window hidden, under the root owner of `owner`.
    BOOL Create(void* owner);
    void DestroyWindow();
    bool HasWindow() const { return m_pView != nullptr; }
    // The worker whose update this window shows; only it is ever asked to cancel.
    void SetWorker(platform::ThreadId worker) { m_nWorker = worker; }

    void Reset();
    void ShowTopmost();
    void HideWindow();
    void SetCount(int32_t count);
    void SetCurrent(int32_t current);
    void SetCurrentAd(const CAdRecord* record);
    void ShowStatus(unsigned id);
    void StartTimer();
    void StopTimer();

    // Handlers of the window's thread.
    void OnTimer();
    void OnCancel();

    platform::ProgressView* View() const { return m_pView.get(); }
    const CString& FileName() const { return m_strFileName; }

private:
    void OnTimer(platform::ProgressView* view);

    std::unique_ptr<platform::ProgressView> m_pView;
    std::atomic<int32_t> m_nCount{0};
    std::atomic<int32_t> m_nCurrent{0};
    CString m_strFileName;  // the worker's alone
    std::atomic<int32_t> m_nCurrentType{-1};
    std::atomic<platform::ThreadId> m_nWorker{0};
};
