/* A host that lets Flyerbank.dll go as integrators do, run by scripts/test-windows with
 * Wine's exception channel on (which it then reads for faults):
 *   unload_host.exe ADS_URL ROUNDS
 * FreeLibrary during an update on a silent server, LoadLibrary at once and a whole update
 * on the reloaded library, then ROUNDS of load, update and FreeLibrary in the completion
 * handler. Prints one line per check and exits 0 only when all passed. */
#include <winsock2.h>
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "flyerbank.h"
#include "HostC.h"

typedef int32_t(__cdecl* UpdateFn)(const char*, HWND, int32_t, const char*);
typedef int32_t(__cdecl* FolderFn)(const char*);

static HMODULE module;
static UpdateFn update;
static FolderFn setFolder;
static char dllPath[MAX_PATH], folder[MAX_PATH];

static HWND host;
static int completions = 0, unloadOnCompletion = 0;
static WPARAM lastOutcome;
static LPARAM lastResult;

static LRESULT CALLBACK HostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == FLB_WM_UPDATE_DONE) {
        ++completions;
        lastOutcome = wParam;
        lastResult = lParam;
        if (unloadOnCompletion && module) {
            FreeLibrary(module);
            module = NULL;
        }
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

static int WaitCompletion(int count, DWORD ms) {
    DWORD start = GetTickCount();
    while (completions < count && GetTickCount() - start < ms) HostPump(20);
    return completions >= count;
}

static void SetUrls(const char* base) {
    static const char* const names[][2] = {
        {"ADS Get list", "getlist.php3"}, {"ADS Get list 2", "getlist2.php3"}, {"ADS Get data", "getdata.php3"}};
    HKEY key;
    char url[512];
    int i;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\QUILLMARK\\Tidewell Client", 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                        &key, NULL) != 0)
        return;
    for (i = 0; i < 3; ++i) {
        snprintf(url, sizeof url, "%s/%s", base, names[i][1]);
        RegSetValueExA(key, names[i][0], 0, REG_SZ, (const BYTE*)url, (DWORD)strlen(url) + 1);
    }
    RegCloseKey(key);
}

static int Load(void) {
    module = LoadLibraryA(dllPath);
    if (!module) return 0;
    update = (UpdateFn)(void*)GetProcAddress(module, "FLBUpdate");
    setFolder = (FolderFn)(void*)GetProcAddress(module, "FLBSetFolder");
    return update && setFolder && setFolder(folder) == 1;
}

/* Each round downloads everything again, so that it shows the progress window. */
static void Empty(void) {
    char pattern[MAX_PATH], path[MAX_PATH];
    WIN32_FIND_DATAA found;
    HANDLE find;
    snprintf(pattern, sizeof pattern, "%s\\*", folder);
    find = FindFirstFileA(pattern, &found);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        snprintf(path, sizeof path, "%s\\%s", folder, found.cFileName);
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(path);
        }
    } while (FindNextFileA(find, &found));
    FindClose(find);
}

/* A server that takes connections into its backlog and never answers. */
static SOCKET Silent(char* base, size_t size) {
    WSADATA wsa;
    struct sockaddr_in addr;
    int len = sizeof addr;
    SOCKET s;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, (struct sockaddr*)&addr, sizeof addr);
    listen(s, 8);
    getsockname(s, (struct sockaddr*)&addr, &len);
    snprintf(base, size, "http://127.0.0.1:%u", ntohs(addr.sin_port));
    return s;
}

int main(int argc, char** argv) {
    WNDCLASSA wc;
    char silentBase[64], text[128];
    int rounds, i, ok, before;
    DWORD start, spent;
    SOCKET silent; /* listening until the process ends */
    if (argc < 3) {
        fprintf(stderr, "usage: unload_host.exe ADS_URL ROUNDS\n");
        return 2;
    }
    rounds = atoi(argv[2]);
    GetModuleFileNameA(NULL, dllPath, sizeof dllPath);
    strcpy(strrchr(dllPath, '\\') + 1, "Flyerbank.dll");
    GetTempPathA(sizeof folder, folder);
    snprintf(folder + strlen(folder), sizeof folder - strlen(folder), "flb-unload-%lu", GetCurrentProcessId());
    CreateDirectoryA(folder, NULL);

    memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = HostProc;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.lpszClassName = "UnloadHost";
    RegisterClassA(&wc);
    host = CreateWindowExA(0, "UnloadHost", "unload host", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, NULL, NULL,
                           wc.hInstance, NULL);

    /* The handler lets the library go, round after round, and the next round loads it
     * again at once. */
    SetUrls(argv[1]);
    unloadOnCompletion = 1;
    for (i = 0, ok = 1; i < rounds && ok; ++i) {
        const int before = completions;
        Empty();
        ok = Load() && update("unload", host, i & 1, "1.0") == 1 && WaitCompletion(before + 1, 60000) &&
             lastOutcome == 0;
        HostPump(100);
        ok = ok && GetModuleHandleA(dllPath) == NULL && completions == before + 1;
        if (!ok) printf("     round %d failed: outcome %d\n", i + 1, (int)lastOutcome);
    }
    snprintf(text, sizeof text, "%d rounds of load, update and FreeLibrary in the completion handler", rounds);
    CHECK(ok, text);

    /* FreeLibrary while an exchange waits on a server that never answers. */
    before = completions;
    unloadOnCompletion = 0;
    silent = Silent(silentBase, sizeof silentBase);
    (void)silent;
    SetUrls(silentBase);
    CHECK(Load(), "the library loads");
    CHECK(update("unload", host, 0, "1.0") == 1, "an update starts on a silent server");
    HostPump(500);
    start = GetTickCount();
    FreeLibrary(module);
    module = NULL;
    spent = GetTickCount() - start;
    printf("     [ measured ] FreeLibrary during the update returned after %lu ms\n", spent);
    HostPump(1500);
    CHECK(completions == before, "no completion arrives after FreeLibrary");
    /* The blocked exchange holds the image until its idle time-out; the process may end. */

    printf("unload_host: %s (%d failed)\n", failures ? "FAILED" : "passed", failures);
    fflush(stdout);
    return failures ? 1 : 0;
}
