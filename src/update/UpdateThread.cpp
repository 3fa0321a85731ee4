#include "update/UpdateThread.h"

#include <cstring>
#include <future>
#include <new>
#include <vector>

#include "frame/App.h"
#include "frame/Exceptions.h"
#include "frame/Messages.h"
#include "platform/CatalogLock.h"
#include "platform/Http.h"
#include "platform/MessageBox.h"
#include "platform/ThreadQueue.h"
#include "update/ProgressDlg.h"
#include "update/UpdateJob.h"

CWinThread::CWinThread() = default;
CWinThread::~CWinThread() {
    // The thread goes before the window it may still be hiding.
    if (m_pThread) m_pThread->Join();
}

namespace {

constexpr uint32_t kFinalTextMs = 200;

void StoreAd(CUpdateJob& job, const CAdRecord& record) {
    if (!theApp.m_catalogue.Put(record)) AfxThrowUserException();  // the save has said why
    job.DropReplacedFile();
    CheckCancel();
}

// The host may exit as soon as it has the completion, before this thread has ended:
// what the internet layer keeps for the thread goes first. A host that has unloaded the
// library gets none: its FreeLibrary was the end of the update.
void PostCompletion(void* window, uint32_t outcome, uint32_t result) {
    platform::ReleaseHttpThreadState();
    if (!platform::LibraryEnding()) platform::PostToWindow(window, kUpdateMessage, outcome, result);
}

// Clears the flag first, so the host may start the next update on receipt.
void Complete(void* window, uint32_t outcome, uint32_t result) {
    theApp.m_pUpdateThread = nullptr;
    PostCompletion(window, outcome, result);
}

// A failure the worker reports itself: the flag goes first, so the host is free while
// the box is up; the window goes before the box, and the completion follows it.
template <class Report>
void FailReported(void* window, CProgressDlg* progress, Report report) {
    theApp.m_pUpdateThread = nullptr;
    progress->HideWindow();
    report();
    PostCompletion(window, kUpdateFailed, 0);
}

// Joins the workers that have ended; the one still finishing stays listed.
void ReapWorkers() {
    auto& workers = theApp.m_workers;
    for (auto it = workers.begin(); it != workers.end();) {
        if (it->get() == theApp.m_pUpdateThread.load()) {
            ++it;
            continue;
        }
        // Joining waits at most for the end of a finished update's last steps.
        it = workers.erase(it);
    }
}

// The whole update but its completion. Returning or throwing, it has let the ad folder go
// before the completion is posted, so the host may start the next update on receipt.
void RunUpdate(CProgressDlg* progress) {
    // Two updates in one folder would write the same scratch files; the second gives way.
    platform::CatalogLock folder(theApp.m_catalogue.UpdateLockPath(), platform::CatalogLock::kTry);
    if (folder.Busy()) ShowMessageAndThrow(IDP_FOLDER_IN_USE);
    if (folder.Held()) {
        CUpdateJob::RemoveLeftovers(theApp.m_strFolder);
        theApp.m_catalogue.RemoveOrphans();
    }
    // Another host on the folder may have changed the catalogue since we last read it.
    theApp.m_catalogue.Refresh();
    CUpdateJob job;
    std::vector<CAdRecord> downloads;
    theApp.m_announcedAds.clear();
    progress->ShowStatus(IDS_STATUS_UPDATING);
    job.FetchList(downloads, theApp.m_bSendHeldCodes);
    if (!downloads.empty()) {
        const int32_t count = static_cast<int32_t>(downloads.size());
        progress->ShowTopmost();
        progress->SetCount(count);
        for (int32_t i = 0; i < count; ++i) {
            CAdRecord working = downloads[static_cast<size_t>(i)];
            progress->SetCurrent(i);
            progress->SetCurrentAd(&working);
            progress->ShowStatus(IDS_STATUS_DOWNLOADING);
            progress->StartTimer();
            job.FetchAd(working);
            StoreAd(job, working);
            progress->StopTimer();
        }
        progress->SetCurrent(count);
        progress->ShowStatus(IDS_STATUS_FINISHED);
        platform::SleepMilliseconds(kFinalTextMs);
        progress->HideWindow();
    }
}

// What each failure gives the host; called from a handler, it rethrows the one in flight.
void EndOnFailure(void* window, CProgressDlg* progress) {
    try {
        throw;
    } catch (const CFLBException&) {
        progress->HideWindow();
        Complete(window, kUpdateCancelled, 0);
    } catch (const CADSException& e) {
        progress->HideWindow();
        Complete(window, kUpdateFailed, static_cast<uint32_t>(e.m_nResult));
    } catch (const CUserException&) {
        progress->HideWindow();
        Complete(window, kUpdateFailed, 0);
    } catch (const CMemoryException&) {
        FailReported(window, progress, [] { ShowMessage(IDP_NO_MEMORY); });
    } catch (const std::bad_alloc&) {
        FailReported(window, progress, [] { ShowMessage(IDP_NO_MEMORY); });
    } catch (const CException& e) {
        FailReported(window, progress, [&] { e.ReportError(platform::kMbIconHand); });
    } catch (...) {
        // Nothing may end the worker without its completion.
        FailReported(window, progress, [] { CException().ReportError(platform::kMbIconHand); });
    }
}

}  // namespace

unsigned UpdateThreadProc(CProgressDlg* progress, void* window) {
    // Once the library has ended, its progress window and catalogue are gone: a worker that
    // gets as far as a box or a failure goes no further.
    CBoxPreamble hideFirst(
        [](void* dialog) {
            if (platform::LibraryEnding()) platform::ParkForLibraryEnd();
            static_cast<CProgressDlg*>(dialog)->HideWindow();
        },
        progress);
    try {
        RunUpdate(progress);
        Complete(window, kUpdateDone, 0);
    } catch (...) {
        if (platform::LibraryEnding()) platform::ParkForLibraryEnd();
        EndOnFailure(window, progress);
    }
    return 0;
}

BOOL StartUpdate(const char* userId, void* window, int32_t sendHeldCodes, const char* clientVersion) {
    std::memset(theApp.m_szUserId, 0, sizeof theApp.m_szUserId);
    std::strncpy(theApp.m_szUserId, userId, sizeof theApp.m_szUserId - 1);
    theApp.m_hNotifyWnd = window;
    theApp.m_bSendHeldCodes = sendHeldCodes;
    theApp.m_strClientVersion = clientVersion;

    ReapWorkers();
    // Each update has its own worker and window: an earlier worker may still be
    // finishing with its own.
    auto worker = std::make_unique<CWinThread>();
    worker->m_pDialog = std::make_unique<CProgressDlg>();
    if (!worker->m_pDialog->Create(window)) {
        ShowMessage(IDP_DIALOG_CREATE);
        return FALSE;
    }

    // The worker waits until the flag holds its thread object, so it can never clear
    // the flag before it is set.
    auto go = std::make_shared<std::promise<void>>();
    std::shared_future<void> ready = go->get_future().share();
    CProgressDlg* progress = worker->m_pDialog.get();
    worker->m_pThread = platform::StartThread([ready, progress, window] {
        ready.wait();
        UpdateThreadProc(progress, window);
    });
    if (!worker->m_pThread) {
        ShowMessage(IDP_THREAD_CREATE);
        return FALSE;
    }
    worker->m_nThreadID = worker->m_pThread->Id();
    progress->SetWorker(worker->m_nThreadID);
    theApp.m_nUpdateThreadId = worker->m_nThreadID;
    theApp.m_pUpdateThread = worker.get();
    theApp.m_workers.push_back(std::move(worker));
    go->set_value();
    return TRUE;
}

void PostCancelRequest(platform::ThreadId worker) {
    platform::PostToThread(worker, kUpdateMessage, 0, 0);
    // An exchange blocked on a silent server would not see the request until it timed out.
    platform::AbortHttpExchanges(worker);
}

BOOL CancelUpdate() {
    if (!theApp.IsUpdateRunning()) return FALSE;
    // Only the id is used: the thread object is the worker's business.
    PostCancelRequest(theApp.m_nUpdateThreadId.load());
    return TRUE;
}

void WaitForUpdateWorkers() {
    CancelUpdate();
    platform::EndLibraryThreads();
    theApp.m_workers.clear();
}
