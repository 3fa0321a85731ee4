/* A Windows host in plain C for the shipped 32-bit Flyerbank.dll. It runs every scenario
 * in one process, since under emulation each process start costs about a minute:
 *   host32.exe ADS_URL SLOW_ADS_URL AVLS_URL   (the slow server sends 1 KiB a second)
 * It must be started from the root of a drive holding Flyerbank.dll, a Flyerbank.dat
 * naming 0000007.jpg and that picture: the library's default folder is then the root.
 * It ends by letting the library go in the completion handler.
 * Prints one line per check and exits 0 only when all passed.
 *   host32.exe --big ADS_URL MOVIE_BYTES
 * makes one update of a single large cabinet ad into the drive's folder "big" instead, as
 * a 32-bit host with its 2 GB of address space sees it; exits 0 only when it completed
 * with (0,0) and the movie has MOVIE_BYTES bytes. */
#include <stdint.h>
#include <stdlib.h>

#include "HostC.h"

typedef int32_t(__cdecl* ListFn)(uint32_t**, int32_t*);

static struct HostLibrary lib;

/* The update is over for the library before the message comes: it may go now. */
static void Unload(void) { FreeLibrary(lib.module); }

static int Big(const char* base, const char* bytes) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    unsigned long long size = 0;
    DWORD start;
    HWND host = HostCreateWindow();
    HostUseServer(base, "");
    if (!HostLoadLibrary(&lib, "Flyerbank.dll") || lib.FLBSetFolder("\\big") != 1) {
        printf("bighost: cannot load Flyerbank.dll or make its ad folder\n");
        return 1;
    }
    start = GetTickCount();
    if (lib.FLBUpdate("big", host, 0, "1.0") == 1) HostWaitCompletions(1, INFINITE);
    if (hostC.completions && hostC.outcome == 0 && lib.FLBGetFileName(3001) &&
        GetFileAttributesExA(lib.FLBGetFileName(3001), GetFileExInfoStandard, &data))
        size = (unsigned long long)data.nFileSizeHigh << 32 | data.nFileSizeLow;
    printf("bighost: completion (%d,%d), movie of %llu bytes, %.1f s\n", (int)hostC.outcome, (int)hostC.result, size,
           (GetTickCount() - start) / 1000.0);
    fflush(stdout);
    return hostC.completions && hostC.outcome == 0 && hostC.result == 0 && size == strtoull(bytes, NULL, 10) ? 0 : 1;
}

static int Shown(int n, unsigned id) {
    char text[1024];
    return hostBoxes.count > n && LoadStringA(lib.module, id, text, sizeof text) > 0 &&
           strcmp(hostBoxes.text[n], text) == 0 && hostBoxes.stopIcon[n];
}

static int Exists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

static int Contains(ListFn list, uint32_t code) {
    uint32_t* codes = NULL;
    int32_t count = 0, i, found = 0;
    if (!list(&codes, &count)) return 0;
    for (i = 0; i < count; ++i) found |= codes[i] == code;
    free(codes); /* msvcrt's free for msvcrt's calloc */
    return found;
}

int main(int argc, char** argv) {
    HWND host;
    char path[MAX_PATH], dll[MAX_PATH];
    DWORD start;
    /* cp932: 春のセール and ソファ (its first trail byte is 0x5C) */
    const char* spring = "\x8F\x74\x82\xCC\x83\x5A\x81\x5B\x83\x8B";
    const char* sofa = "\x83\x5C\x83\x74\x83\x40";

    if (argc == 4 && strcmp(argv[1], "--big") == 0) return Big(argv[2], argv[3]);
    if (argc < 4) {
        fprintf(stderr, "usage: host32 ADS_URL SLOW_ADS_URL AVLS_URL\n");
        return 2;
    }
    printf("host32: %u-bit host, ANSI code page %u\n", (unsigned)(sizeof(void*) * 8), GetACP());
    CHECK(HostLoadLibrary(&lib, "Flyerbank.dll"), "Flyerbank.dll loads; its fifteen exports by name are the ordinals 10-24");
    if (!lib.module) return 1;
    host = HostCreateWindow();
    HostHookNewThreads();

    /* Catalogue: the default folder is the drive root the host runs from. */
    GetModuleFileNameA(NULL, path, sizeof path);
    path[3] = '\0';
    {
        char expected[MAX_PATH];
        const char* file = lib.FLBGetFileName(7);
        snprintf(expected, sizeof expected, "%s0000007.jpg", path);
        CHECK(Contains(lib.FLBGetPictureList, 7), "the catalogue beside a host at a drive root loads at start");
        CHECK(file && strcmp(file, expected) == 0, "its file is named from the root with one backslash");
        CHECK(lib.FLBGetThumbnail(7) && strcmp(lib.FLBGetThumbnail(7), expected) == 0, "a picture is its own thumbnail");
    }
    CHECK(lib.FLBSetName(7, sofa) == 1 && lib.FLBGetName(7) && strcmp(lib.FLBGetName(7), sofa) == 0, "a cp932 name is stored");
    CHECK(lib.FLBSetFavoriteFlag(7, 3) == 1 && lib.FLBGetFavoriteFlag(7) == 3, "the favourite flag is stored as given");
    CHECK(lib.FLBSetFolder(path) == 1 && lib.FLBGetName(7) && strcmp(lib.FLBGetName(7), sofa) == 0,
          "name and flag read back from the file");

    /* Messages: texts and icons from the string table. */
    hostBoxes.count = 0;
    {
        uint32_t* codes = NULL;
        CHECK(lib.FLBSetFolder("") == 0 && lib.FLBGetPictureList(&codes, NULL) == 0, "bad arguments give 0");
    }
    CHECK(hostBoxes.count == 2 && Shown(0, 20009), "20009 shown with the stop icon");
    CHECK(hostBoxes.count == 2 && Shown(1, 20007), "20007 shown with the stop icon");

    /* An update with pictures and cabinet movies, completing at the window. */
    snprintf(path + 3, sizeof path - 3, "ads");
    CHECK(lib.FLBSetFolder(path) == 1, "a new ad folder at the root is made");
    HostUseServer(argv[1], argv[3]);
    hostBoxes.count = 0;
    CHECK(lib.FLBUpdate("host32", host, 0, "1.0") == 1, "FLBUpdate starts");
    HostHookNewThreads();
    CHECK(HostWaitCompletions(1, 120000) && hostC.outcome == 0 && hostC.result == 0, "the update completes with (0,0)");
    CHECK(hostBoxes.count == 0, "no message during the update");
    CHECK(Contains(lib.FLBGetPictureList, 1001) && Contains(lib.FLBGetMovieList, 2001) && Contains(lib.FLBGetMovieList, 2002),
          "pictures and movies are held");
    CHECK(lib.FLBGetName(1001) && strcmp(lib.FLBGetName(1001), spring) == 0, "the server's cp932 name is stored");
    CHECK(lib.FLBGetFileName(2001) && Exists(lib.FLBGetFileName(2001)) && lib.FLBGetThumbnail(2001) && Exists(lib.FLBGetThumbnail(2001)),
          "a cabinet became a movie and its thumbnail");
    {
        uint32_t* codes = NULL;
        int32_t count = 0;
        CHECK(lib.FLBGetOrder(&codes, &count) == 1 && count == 5 && (codes[0] == 2001 || codes[0] == 2002),
              "the order puts the movies first");
        free(codes);
    }

    /* A notice stored by the log server. */
    CHECK(lib.FLBNotifyAVLS(1001, 5, "shown by host32") == 1 && hostBoxes.count == 0, "the log server accepts the notice");

    /* A cancel during a slow payload. */
    HostUseServer(argv[2], argv[3]);  /* the slow server */
    /* Three pictures to fetch again at 1 KiB a second, some twenty seconds: the cancel
     * lands well inside, however slow the machine runs us. */
    CHECK(lib.FLBRemove(1001) == 1 && !Contains(lib.FLBGetPictureList, 1001), "an ad is removed with its file");
    CHECK(lib.FLBRemove(1002) == 1 && lib.FLBRemove(1003) == 1, "two more are removed");
    CHECK(lib.FLBUpdate("host32", host, 0, "1.0") == 1, "a second update starts");
    HostHookNewThreads();
    HostPump(3000);
    CHECK(lib.FLBUpdateCancel() == 1, "FLBUpdateCancel posts the request");
    CHECK(HostWaitCompletions(2, 60000) && hostC.outcome == 2, "the update ends as cancelled");
    CHECK(hostBoxes.count == 0, "no message for a cancel");

    /* The host lets the library go on the completion of an update with nothing to fetch. */
    HostUseServer(argv[1], argv[3]);
    GetModuleFileNameA(lib.module, dll, sizeof dll);
    hostC.onCompletion = Unload;
    CHECK(lib.FLBUpdate("host32", host, 1, "1.0") == 1, "a last update starts");
    HostHookNewThreads();
    CHECK(HostWaitCompletions(3, 120000) && hostC.outcome == 0, "it completes");
    /* The library goes with its last thread: the worker, or the exchange the cancel left to
     * finish with the slow server on its own (at most the idle time-out). */
    for (start = GetTickCount(); GetModuleHandleA(dll) != NULL && GetTickCount() - start < 45000;) HostPump(100);
    CHECK(GetModuleHandleA(dll) == NULL, "the library unloaded once its last thread ended");

    printf("host32: %s (%d failed)\n", hostC.failures ? "FAILED" : "passed", hostC.failures);
    return hostC.failures ? 1 : 0;
}
