/* One update of a single large cabinet ad through the shipped DLL, to its completion, as
 * a 32-bit host with its 2 GB of address space sees it:
 *   bighost32.exe ADS_URL MOVIE_BYTES
 * Started from the root of a drive holding Flyerbank.dll; the ads go to its folder "big".
 * Prints the completion, the movie's size and the seconds taken; exits 0 only when the
 * update completed with (0,0) and the movie has MOVIE_BYTES bytes. */
#include <stdint.h>
#include <stdlib.h>

#include "HostC.h"

int main(int argc, char** argv) {
    struct HostLibrary lib;
    WIN32_FILE_ATTRIBUTE_DATA data;
    unsigned long long size = 0;
    DWORD start;
    HWND host;

    if (argc < 3) {
        fprintf(stderr, "usage: bighost32 ADS_URL MOVIE_BYTES\n");
        return 2;
    }
    HostUseServer(argv[1], "");
    host = HostCreateWindow();
    if (!HostLoadLibrary(&lib, "Flyerbank.dll") || lib.FLBSetFolder("\\big") != 1) {
        printf("bighost: cannot load Flyerbank.dll or make its ad folder\n");
        return 1;
    }
    start = GetTickCount();
    if (lib.FLBUpdate("big", host, 0, "1.0") != 1) {
        printf("bighost: FLBUpdate did not start\n");
        return 1;
    }
    HostWaitCompletions(1, INFINITE);
    if (hostC.outcome == 0 && lib.FLBGetFileName(3001) &&
        GetFileAttributesExA(lib.FLBGetFileName(3001), GetFileExInfoStandard, &data))
        size = (unsigned long long)data.nFileSizeHigh << 32 | data.nFileSizeLow;
    printf("bighost: completion (%d,%d), movie of %llu bytes, %.1f s\n", (int)hostC.outcome, (int)hostC.result, size,
           (GetTickCount() - start) / 1000.0);
    fflush(stdout);
    return hostC.outcome == 0 && hostC.result == 0 && size == strtoull(argv[2], NULL, 10) ? 0 : 1;
}
