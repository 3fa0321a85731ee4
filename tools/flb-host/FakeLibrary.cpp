// A stand-in library for testing flb-host's side of an update: it posts the completion
// that FLB_FAKE_OUTCOME asks for ("WPARAM LPARAM", or "wait" to post a cancellation
// once FLBUpdateCancel is called), split across writes as a busy pipe may deliver it.
#include <stdint.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "flyerbank.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::atomic<bool> g_cancelled{false};

void Post(int fd, uint32_t message, uint32_t wParam, uint32_t lParam) {
    unsigned char record[12];
    const uint32_t words[3] = {message, wParam, lParam};
    for (int w = 0; w < 3; ++w)
        for (int b = 0; b < 4; ++b) record[w * 4 + b] = static_cast<unsigned char>(words[w] >> (8 * b));
    (void)!write(fd, record, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    (void)!write(fd, record + 5, 7);
}

}  // namespace

FAKE_EXPORT int32_t FLBUpdate(const char* userId, FLB_HWND window, int32_t sendHeldCodes,
                              const char* clientVersion) {
    const char* outcome = std::getenv("FLB_FAKE_OUTCOME");
    if (!outcome || !userId || !*userId || !clientVersion || !*clientVersion) return 0;
    std::fprintf(stderr, "fake update: user=%s version=%s list2=%d\n", userId, clientVersion, sendHeldCodes);
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(window));
    const bool wait = std::strcmp(outcome, "wait") == 0;
    unsigned wParam = 0, lParam = 0;
    if (!wait && std::sscanf(outcome, "%u %u", &wParam, &lParam) != 2) return 0;
    std::thread([=] {
        Post(fd, 0x8002, 7, 7);  // some other message first: the host must skip it
        if (wait) {
            std::fprintf(stderr, "fake update: waiting\n");
            while (!g_cancelled) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            Post(fd, FLB_WM_UPDATE_DONE, FLB_UPDATE_CANCELLED, 0);
        } else {
            Post(fd, FLB_WM_UPDATE_DONE, wParam, lParam);
        }
    }).detach();
    return 1;
}

FAKE_EXPORT int32_t FLBUpdateCancel(void) {
    g_cancelled = true;
    return 1;
}

FAKE_EXPORT int32_t FLBNotifyAVLS(uint32_t, int32_t, const char*) { return 0; }
FAKE_EXPORT int32_t FLBSetFolder(const char*) { return 1; }
FAKE_EXPORT int32_t FLBGetOrder(uint32_t**, int32_t*) { return 0; }
FAKE_EXPORT int32_t FLBGetPictureList(uint32_t**, int32_t*) { return 0; }
FAKE_EXPORT int32_t FLBGetMovieList(uint32_t**, int32_t*) { return 0; }
FAKE_EXPORT const char* FLBGetName(uint32_t) { return nullptr; }
FAKE_EXPORT int32_t FLBGetFavoriteFlag(uint32_t) { return 0; }
FAKE_EXPORT const char* FLBGetFileName(uint32_t) { return nullptr; }
FAKE_EXPORT const char* FLBGetThumbnail(uint32_t) { return nullptr; }
FAKE_EXPORT const char* FLBGetURL(uint32_t) { return nullptr; }
FAKE_EXPORT int32_t FLBSetName(uint32_t, const char*) { return 0; }
FAKE_EXPORT int32_t FLBSetFavoriteFlag(uint32_t, int32_t) { return 0; }
FAKE_EXPORT int32_t FLBRemove(uint32_t) { return 0; }
