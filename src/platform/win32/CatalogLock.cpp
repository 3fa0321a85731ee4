// The lock on the ad folder's lock file: one byte locked exclusively, released by closing.
#include "platform/CatalogLock.h"

#include <windows.h>

#include <algorithm>
#include <atomic>

namespace platform {
namespace {
constexpr int kBoundedTries = 100, kTryPauseMs = 10;
std::atomic<bool> g_bounded{false};
// This thread's lock files. Plain data: a thread-local with a destructor would hold the
// DLL loaded until the thread's exit.
constexpr int kMaxOpen = 8;
thread_local HANDLE t_open[kMaxOpen];
thread_local int t_count = 0;
}  // namespace

void CatalogLock::BoundWaits(bool bounded) { g_bounded = bounded; }

void CatalogLock::ReleaseHeldByThisThread() {
    for (int i = 0; i < t_count; ++i) CloseHandle(t_open[i]);
    t_count = 0;
}

CatalogLock::CatalogLock(const std::string& lockPath, Wait wait) {
    HANDLE h = CreateFileA(lockPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    m_handle = reinterpret_cast<intptr_t>(h);
    if (t_count < kMaxOpen) t_open[t_count++] = h;
    const bool block = wait == kWait && !g_bounded;
    const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (block ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    const int tries = wait == kWait ? kBoundedTries : 1;
    for (int i = 0; i < tries; ++i) {
        if (i) Sleep(kTryPauseMs);
        OVERLAPPED at = {};
        m_held = LockFileEx(h, flags, 0, 1, 0, &at) != FALSE;
        m_busy = !m_held && GetLastError() == ERROR_LOCK_VIOLATION;
        if (!m_busy) break;
    }
}

CatalogLock::~CatalogLock() {
    if (m_handle == -1) return;
    HANDLE h = reinterpret_cast<HANDLE>(m_handle);
    t_count = static_cast<int>(std::remove(t_open, t_open + t_count, h) - t_open);
    CloseHandle(h);
}

}  // namespace platform
