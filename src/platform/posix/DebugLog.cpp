#include "platform/DebugLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

namespace platform {

// Opened per line and written with one append, so lines of two threads (or of two
// processes sharing the file) never interleave.
void DebugLog(const std::string& line) {
    const char* file = std::getenv("FLB_DEBUG_LOG");
    if (!file || !*file) return;
    const int fd = open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return;
    std::string whole;
    whole.reserve(line.size() + 1);
    for (char c : line) whole += (c == '\n' || c == '\r') ? ' ' : c;
    whole += '\n';
    (void)!write(fd, whole.data(), whole.size());
    close(fd);
}

}  // namespace platform
