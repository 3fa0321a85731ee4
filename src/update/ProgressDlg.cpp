#include "update/ProgressDlg.h"

#include <cstdio>
#include <vector>

#include "frame/App.h"
#include "platform/DebugLog.h"
#include "platform/Files.h"
#include "res/StringTable.h"
#include "res/resource.h"
#include "update/UpdateThread.h"

CProgressDlg::~CProgressDlg() { DestroyWindow(); }

BOOL CProgressDlg::Create(void* owner) {
    DestroyWindow();
    m_pView = platform::CreateProgressView(owner);
    if (!m_pView) return FALSE;
    m_pView->SetCancelHandler([this] { OnCancel(); });
    return TRUE;
}

void CProgressDlg::DestroyWindow() {
    if (m_pView) m_pView->KillTimer(kTimerId);
    m_pView.reset();
}

void CProgressDlg::Reset() {
    m_nCount = 0;
    m_nCurrent = 0;
    m_strFileName.clear();
    if (!m_pView) return;
    m_pView->SetRange(kUnitsPerAd);
    m_pView->SetPos(0);
    m_pView->SetText(CString());
    StopTimer();
}

void CProgressDlg::ShowTopmost() {
    Reset();
    if (m_pView) m_pView->ShowTopmost();
}

// However an update ends, its bar stops creeping.
void CProgressDlg::HideWindow() {
    StopTimer();
    if (m_pView) m_pView->Hide();
}

void CProgressDlg::SetCount(int32_t count) {
    m_nCount = count;
    if (!m_pView) return;
    // The bar's bound travels in 16 bits; 700 ads give 70000 mod 65536.
    const int64_t upper = count == 0 ? kUnitsPerAd : int64_t{count} * kUnitsPerAd;
    m_pView->SetRange(static_cast<uint16_t>(upper & 0xFFFF));
    m_pView->SetPos(0);
}

void CProgressDlg::SetCurrent(int32_t current) {
    StopTimer();
    m_nCurrent = current;
    const int32_t count = m_nCount;
    int64_t pos;
    if (current < 0) pos = kUnitsPerAd;
    else if (current < count) pos = int64_t{current} * kUnitsPerAd;
    else pos = count == 0 ? kUnitsPerAd : int64_t{count} * kUnitsPerAd;
    if (m_pView) m_pView->SetPos(static_cast<int32_t>(pos));
}

void CProgressDlg::SetCurrentAd(const CAdRecord* record) {
    if (!record) {
        m_strFileName.clear();
        m_nCurrentType = -1;
        return;
    }
    const size_t sep = FindLastSingleByte(record->File, platform::kPathSeparator);
    m_strFileName = sep == CString::npos ? record->File : record->File.substr(sep + 1);
    m_nCurrentType = record->Type;
}

void CProgressDlg::ShowStatus(unsigned id) {
    CString text = LoadResString(id);
    if (id == IDS_STATUS_DOWNLOADING) {
        std::vector<char> buffer(text.size() + m_strFileName.size() + 32);
        std::snprintf(buffer.data(), buffer.size(), text.c_str(), m_nCurrent + 1, static_cast<int>(m_nCount),
                      m_strFileName.c_str());
        text = buffer.data();
    }
    if (!m_pView) return;
    m_pView->SetText(text);
    // The trail of what the user saw: each status with the bar where it stood.
    platform::DebugLog("progress\tbar=" + std::to_string(m_pView->Pos()) + "/" + std::to_string(m_pView->Range()) +
                       "\ttext=" + text);
}

void CProgressDlg::StartTimer() {
    if (!m_pView) return;
    const unsigned period = m_nCurrentType == AD_TYPE_PICTURE ? kPictureTickMs : kOtherTickMs;
    // The tick holds the view itself, never m_pView, which the worker may be clearing.
    platform::ProgressView* view = m_pView.get();
    m_pView->SetTimer(kTimerId, period, [this, view] { OnTimer(view); });
}

void CProgressDlg::StopTimer() {
    if (m_pView) m_pView->KillTimer(kTimerId);
}

void CProgressDlg::OnTimer() {
    if (m_pView) OnTimer(m_pView.get());
}

void CProgressDlg::OnTimer(platform::ProgressView* view) {
    const int32_t pos = view->Pos();
    if (pos < (int64_t{m_nCurrent} + 1) * kUnitsPerAd) view->SetPos(pos + 1);
    else view->KillTimer(kTimerId);
}

void CProgressDlg::OnCancel() {
    StopTimer();
    // Only while our own update runs: a later update has a window of its own.
    const platform::ThreadId worker = m_nWorker;
    if (theApp.IsUpdateRunning() && worker != 0 && theApp.m_nUpdateThreadId.load() == worker)
        PostCancelRequest(worker);
}
