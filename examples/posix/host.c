/* A minimal POSIX host: picks an ad folder, runs an update and waits for its completion
 * on a pipe, shows the ads in display order and reports one view.
 *
 * Build against an installed library (cmake --install build --prefix /opt/flyerbank):
 *   export PKG_CONFIG_PATH=/opt/flyerbank/lib/pkgconfig
 *   cc host.c $(pkg-config --cflags --libs flyerbank) \
 *      -Wl,-rpath,$(pkg-config --variable=libdir flyerbank) -o host
 * The server URLs come from the settings (flb-host settings --server-base URL --notify URL).
 * Names are printed as the library keeps them, in code page 932.
 * Usage: host FOLDER USER */
#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <flyerbank.h>

static uint32_t Field(const unsigned char* record, int index) {
    const unsigned char* p = record + 4 * index;
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static void Print(const char* text) { printf("\t%s", text ? text : ""); }

/* The host's event loop, cut down to the completion pipe: a real one polls its own
 * descriptors in the same call. 0 when a whole record arrived. */
static int WaitForCompletion(int fd, unsigned char record[12]) {
    size_t got = 0;
    while (got < 12) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 1000) < 0 && errno != EINTR) return -1;
        if (!(p.revents & (POLLIN | POLLHUP))) continue; /* the host's other work goes here */
        ssize_t n = read(fd, record + got, 12 - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        got += (size_t)n;
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s FOLDER USER\n", argv[0]);
        return 2;
    }
    /* Failures were already shown to the user by the library; the result only says so. */
    if (!FLBSetFolder(argv[1])) return 1;

    /* The window is the write end of a pipe; the library writes one 12-byte record. */
    int fds[2];
    if (pipe(fds) != 0) return 1;
    if (!FLBUpdate(argv[2], (FLB_HWND)(intptr_t)fds[1], 0, "1.0")) return 1;
    unsigned char record[12];
    if (WaitForCompletion(fds[0], record) != 0 || Field(record, 0) != FLB_WM_UPDATE_DONE) return 1;
    switch (Field(record, 1)) {
    case FLB_UPDATE_DONE:
        printf("update done\n");
        break;
    case FLB_UPDATE_FAILED:
        /* Earlier ads stay held and may still be shown. */
        printf("update failed, server result %u\n", (unsigned)Field(record, 2));
        break;
    default:
        printf("update cancelled\n");
    }

    uint32_t* codes = NULL;
    int32_t count = 0;
    if (!FLBGetOrder(&codes, &count)) return 1;
    for (int32_t i = 0; i < count; ++i) {
        /* Each text lives only until the next call into the library: print or copy it first. */
        printf("%07u", (unsigned)codes[i]);
        Print(FLBGetName(codes[i]));
        Print(FLBGetFileName(codes[i]));
        Print(FLBGetThumbnail(codes[i]));
        Print(FLBGetURL(codes[i]));
        printf("\n");
    }

    /* Number and text are ours, for the log server; the user id is the update's. */
    if (count > 0) printf(FLBNotifyAVLS(codes[0], 1, "front page") ? "view reported\n" : "view not reported\n");
    free(codes);
    close(fds[0]);
    close(fds[1]);
    return 0;
}
