// Starting, running and cancelling an update: one worker thread per update, which tells
// the host how it ended with one posted completion message.
#pragma once
#include <cstdint>

#include "frame/Afx.h"
#include "platform/ThreadQueue.h"

class CProgressDlg;

// Message number of the completion (to the host window) and of the cancel request (to
// the worker thread).
constexpr unsigned kUpdateMessage = 0x8001;
enum : uint32_t { kUpdateDone = 0, kUpdateFailed = 1, kUpdateCancelled = 2 };

// The worker's body; `window` receives the completion.
unsigned UpdateThreadProc(CProgressDlg* progress, void* window);

// The bodies of FLBUpdate and FLBUpdateCancel, after the frame's guard and checks.
BOOL StartUpdate(const char* userId, void* window, int32_t sendHeldCodes, const char* clientVersion);
BOOL CancelUpdate();
// The cancel request to a worker, from FLBUpdateCancel or the progress window.
void PostCancelRequest(platform::ThreadId worker);

// Cancels a running update and waits until every worker has ended (with a bound where the
// library is unloaded: see EndLibraryThreads): the library's code must stay loaded while a
// worker runs it.
void WaitForUpdateWorkers();
