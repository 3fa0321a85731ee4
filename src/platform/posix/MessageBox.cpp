// Without a message box, the text goes to standard error and the operation goes on.
// Standard input is the host's: only FLB_MESSAGE_WAIT=1 makes a message wait there for
// Enter, as a box would, reading no more than that one line. FLB_MESSAGE_LOG=file also
// records "id type".
#include "platform/MessageBox.h"
#include "platform/posix/MessageWait.h"
#include "platform/posix/Text.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform {
namespace {

std::atomic<bool> ended{false};
constexpr int kWaitSliceMs = 100;

// Byte by byte, so the host's next line stays where it is.
void WaitForEnter() {
    std::fputs("[Enter] ", stderr);
    std::fflush(stderr);
    while (!ended.load()) {
        pollfd p{STDIN_FILENO, POLLIN, 0};
        const int ready = poll(&p, 1, kWaitSliceMs);
        if (ready < 0 && errno != EINTR) return;
        if (ready <= 0) continue;
        char c;
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0 || c == '\n') return;
    }
}

}  // namespace

void AnswerOpenMessages() { ended = true; }

void PresentWithSystem(unsigned id, unsigned type, const std::string& text) {
    if (const char* log = std::getenv("FLB_MESSAGE_LOG"); log && *log) {
        if (FILE* f = std::fopen(log, "a")) {
            std::fprintf(f, "%u %u\n", id, type);
            std::fclose(f);
        }
    }
    std::string shown = Cp932ToUtf8(text);
    std::fprintf(stderr, "Flyerbank: %s\n", shown.c_str());
    if (const char* wait = std::getenv("FLB_MESSAGE_WAIT"); wait && std::strcmp(wait, "1") == 0) WaitForEnter();
}

}  // namespace platform
