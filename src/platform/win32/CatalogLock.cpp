// The lock on the ad folder's lock file: one byte locked exclusively, released by closing.
#include "platform/CatalogLock.h"

#include <windows.h>

namespace platform {

CatalogLock::CatalogLock(const std::string& lockPath, Wait wait) {
    HANDLE h = CreateFileA(lockPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    m_handle = reinterpret_cast<intptr_t>(h);
    OVERLAPPED at = {};
    const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait == kTry ? LOCKFILE_FAIL_IMMEDIATELY : 0);
    m_held = LockFileEx(h, flags, 0, 1, 0, &at) != FALSE;
    m_busy = !m_held && GetLastError() == ERROR_LOCK_VIOLATION;
}

CatalogLock::~CatalogLock() {
    if (m_handle != -1) CloseHandle(reinterpret_cast<HANDLE>(m_handle));
}

}  // namespace platform
