#include "platform/CatalogLock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace platform {
namespace {
constexpr int kBoundedTries = 100, kTryPauseMs = 10;
std::atomic<bool> g_bounded{false};

int TryLock(int fd) {
    int rc;
    do rc = flock(fd, LOCK_EX | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    return rc;
}
}  // namespace

void CatalogLock::BoundWaits(bool bounded) { g_bounded = bounded; }
void CatalogLock::ReleaseHeldByThisThread() {}

CatalogLock::CatalogLock(const std::string& lockPath, Wait wait) {
    // Not following a link: the lock file must be the folder's own.
    const int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) return;
    m_handle = fd;
    int rc;
    if (wait == kWait && !g_bounded) {
        do rc = flock(fd, LOCK_EX);
        while (rc != 0 && errno == EINTR);
    } else {
        rc = TryLock(fd);
        for (int i = 1; wait == kWait && rc != 0 && errno == EWOULDBLOCK && i < kBoundedTries; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kTryPauseMs));
            rc = TryLock(fd);
        }
    }
    m_held = rc == 0;
    m_busy = rc != 0 && errno == EWOULDBLOCK;
}

CatalogLock::~CatalogLock() {
    if (m_handle >= 0) close(static_cast<int>(m_handle));
}

}  // namespace platform
