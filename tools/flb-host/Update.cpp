// Waiting for an update: the library reports its end as a 12-byte record on the pipe we
// hand it as the window; Ctrl-C reaches the wait through a self-pipe, since the only safe
// thing a signal handler can do is write a byte.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "Commands.h"

namespace host {
namespace {

int g_interruptPipe[2] = {-1, -1};

void OnInterrupt(int) {
    const int saved = errno;
    const char byte = 1;
    (void)!write(g_interruptPipe[1], &byte, 1);
    errno = saved;
}

uint32_t LittleEndian(const unsigned char* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// Restores SIGINT and closes the pipes however the wait ends. The completion pipe stays
// open once the library has it: a late write of its worker must not land in a file
// that reuses the descriptor, nor raise SIGPIPE.
struct WaitState {
    int completion[2] = {-1, -1};
    bool libraryHasPipe = false;
    struct sigaction oldInterrupt {};
    bool handlerInstalled = false;

    void RestoreInterrupt() {
        if (handlerInstalled) sigaction(SIGINT, &oldInterrupt, nullptr);
        handlerInstalled = false;
    }
    ~WaitState() {
        RestoreInterrupt();
        for (int* fds : {completion, g_interruptPipe}) {
            if (fds == completion && libraryHasPipe) continue;
            for (int i = 0; i < 2; ++i)
                if (fds[i] >= 0) {
                    close(fds[i]);
                    fds[i] = -1;
                }
        }
    }
};

}  // namespace

int RunUpdate(Library& lib, const std::string& user, const std::string& version, bool list2, uint32_t& serverResult) {
    serverResult = 0;
    WaitState state;
    if (pipe2(state.completion, O_CLOEXEC) != 0 || pipe2(g_interruptPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("flb-host: pipe");
        return kExitRefused;
    }
    // Installed before the start so no Ctrl-C falls between the two.
    struct sigaction onInterrupt {};
    onInterrupt.sa_handler = OnInterrupt;
    sigemptyset(&onInterrupt.sa_mask);
    state.handlerInstalled = sigaction(SIGINT, &onInterrupt, &state.oldInterrupt) == 0;

    FLB_HWND window = reinterpret_cast<FLB_HWND>(static_cast<intptr_t>(state.completion[1]));
    if (!lib.Update(user.c_str(), window, list2 ? 1 : 0, version.c_str())) {
        std::fprintf(stderr, "flb-host: the library did not start the update\n");
        return kExitRefused;
    }
    state.libraryHasPipe = true;

    unsigned char record[12];
    size_t filled = 0;
    bool cancelRequested = false;
    while (true) {
        struct pollfd fds[2] = {{state.completion[0], POLLIN, 0}, {g_interruptPipe[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            std::perror("flb-host: poll");
            return kExitUpdateFailed;
        }
        if (fds[1].revents & POLLIN) {
            char drain[16];
            while (read(g_interruptPipe[0], drain, sizeof drain) > 0) {
            }
            if (!cancelRequested) {
                cancelRequested = true;
                // The library's progress bar may own the current terminal line.
                std::fprintf(stderr, "%sflb-host: cancelling the update\n", isatty(2) ? "\n" : "");
                lib.UpdateCancel();
                state.RestoreInterrupt();
            }
        }
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        ssize_t n = read(state.completion[0], record + filled, sizeof record - filled);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            std::fprintf(stderr, "flb-host: the update ended without reporting\n");
            return kExitUpdateFailed;
        }
        filled += static_cast<size_t>(n);
        if (filled < sizeof record) continue;
        filled = 0;
        if (LittleEndian(record) != FLB_WM_UPDATE_DONE) continue;  // not the completion

        const uint32_t outcome = LittleEndian(record + 4);
        serverResult = LittleEndian(record + 8);
        switch (outcome) {
        case FLB_UPDATE_DONE:
            std::printf("update done\n");
            return kExitOk;
        case FLB_UPDATE_CANCELLED:
            std::printf("update cancelled\n");
            return kExitUpdateCancelled;
        case FLB_UPDATE_FAILED:
            if (serverResult) std::printf("update failed (server result %u)\n", serverResult);
            else std::printf("update failed\n");
            return kExitUpdateFailed;
        default:
            std::printf("update failed (unknown outcome %u)\n", outcome);
            return kExitUpdateFailed;
        }
    }
}

}  // namespace host
