// An exclusive lock between processes, and between the threads of one process, on a lock
// file in the ad folder: held from construction to destruction. A change of the catalogue
// holds one across its whole read-modify-write, so two hosts on one folder never save over
// each other; an update holds another for its whole run, since two at once would write the
// same scratch files.
//
// posix: flock on the file; win32: LockFileEx on it (CreateFileA with OPEN_ALWAYS and
// every share mode, one byte locked exclusively, released by closing the handle). The lock
// file is created when missing and never deleted: deleting it would let a second holder
// lock a new file while the first still holds the old one.
#pragma once
#include <cstdint>
#include <string>

namespace platform {

class CatalogLock {
public:
    enum Wait { kWait, kTry };
    // kWait waits as long as another holder has it; kTry gives up at once.
    CatalogLock(const std::string& lockPath, Wait wait);
    ~CatalogLock();
    CatalogLock(const CatalogLock&) = delete;
    CatalogLock& operator=(const CatalogLock&) = delete;

    // While set, kWait gives up after about a second, as kTry does at once: for the
    // library's load, which runs under the system's loader lock.
    static void BoundWaits(bool bounded);
    // Lets the calling thread's locks go, for a thread that will be ended where it stands.
    static void ReleaseHeldByThisThread();

    bool Held() const { return m_held; }
    // Not held because another holder has it (kTry only); else the file could not be used.
    bool Busy() const { return m_busy; }

private:
    intptr_t m_handle = -1;  // the backend's handle of the open lock file
    bool m_held = false;
    bool m_busy = false;
};

}  // namespace platform
