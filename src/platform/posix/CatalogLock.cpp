#include "platform/CatalogLock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace platform {

CatalogLock::CatalogLock(const std::string& lockPath, Wait wait) {
    // Not following a link: the lock file must be the folder's own.
    const int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) return;
    m_handle = fd;
    int rc;
    do rc = flock(fd, LOCK_EX | (wait == kTry ? LOCK_NB : 0));
    while (rc != 0 && errno == EINTR);
    m_held = rc == 0;
    m_busy = rc != 0 && errno == EWOULDBLOCK;
}

CatalogLock::~CatalogLock() {
    if (m_handle >= 0) close(static_cast<int>(m_handle));
}

}  // namespace platform
