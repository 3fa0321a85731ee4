/* One update of a single large cabinet ad through the shipped DLL, to its completion, as
 * a 32-bit host with its 2 GB of address space sees it:
 *   bighost32.exe ADS_URL MOVIE_BYTES
 * Started from the root of a drive holding Flyerbank.dll; the ads go to its folder "big".
 * Prints the completion, the movie's size and the seconds taken; exits 0 only when the
 * update completed with (0,0) and the movie has MOVIE_BYTES bytes. */
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "flyerbank.h"

typedef int32_t(__cdecl* UpdateFn)(const char*, HWND, int32_t, const char*);
typedef int32_t(__cdecl* FolderFn)(const char*);
typedef const char*(__cdecl* TextFn)(uint32_t);

static int done = 0;
static WPARAM outcome;
static LPARAM result;

static LRESULT CALLBACK HostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != FLB_WM_UPDATE_DONE) return DefWindowProcA(window, message, wParam, lParam);
    done = 1;
    outcome = wParam;
    result = lParam;
    return 0;
}

int main(int argc, char** argv) {
    static const char* values[3][2] = {
        {"ADS Get list", "getlist.php3"}, {"ADS Get list 2", "getlist2.php3"}, {"ADS Get data", "getdata.php3"}};
    WNDCLASSA wc;
    HWND host;
    HKEY key;
    HMODULE module;
    UpdateFn update;
    FolderFn setFolder;
    TextFn fileName;
    WIN32_FILE_ATTRIBUTE_DATA data;
    unsigned long long size = 0;
    DWORD start;
    MSG msg;
    int i;

    if (argc < 3) {
        fprintf(stderr, "usage: bighost32 ADS_URL MOVIE_BYTES\n");
        return 2;
    }
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\QUILLMARK\\Tidewell Client", 0, NULL, 0, KEY_ALL_ACCESS,
                        NULL, &key, NULL) != 0)
        return 1;
    for (i = 0; i < 3; ++i) {
        char url[512];
        snprintf(url, sizeof url, "%s/%s", argv[1], values[i][1]);
        RegSetValueExA(key, values[i][0], 0, REG_SZ, (const BYTE*)url, (DWORD)strlen(url) + 1);
    }
    RegCloseKey(key);

    memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = HostProc;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.lpszClassName = "BigHost";
    RegisterClassA(&wc);
    host = CreateWindowA("BigHost", "big host", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, NULL, NULL, wc.hInstance, NULL);

    module = LoadLibraryA("Flyerbank.dll");
    if (!module) {
        printf("bighost: cannot load Flyerbank.dll\n");
        return 1;
    }
    update = (UpdateFn)(void*)GetProcAddress(module, "FLBUpdate");
    setFolder = (FolderFn)(void*)GetProcAddress(module, "FLBSetFolder");
    fileName = (TextFn)(void*)GetProcAddress(module, "FLBGetFileName");
    if (!update || !setFolder || !fileName || setFolder("\\big") != 1) {
        printf("bighost: no ad folder\n");
        return 1;
    }
    start = GetTickCount();
    if (update("big", host, 0, "1.0") != 1) {
        printf("bighost: FLBUpdate did not start\n");
        return 1;
    }
    while (!done && GetMessageA(&msg, NULL, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    if (outcome == 0 && fileName(3001) && GetFileAttributesExA(fileName(3001), GetFileExInfoStandard, &data))
        size = (unsigned long long)data.nFileSizeHigh << 32 | data.nFileSizeLow;
    printf("bighost: completion (%d,%d), movie of %llu bytes, %.1f s\n", (int)outcome, (int)result, size,
           (GetTickCount() - start) / 1000.0);
    fflush(stdout);
    return outcome == 0 && result == 0 && size == strtoull(argv[2], NULL, 10) ? 0 : 1;
}
