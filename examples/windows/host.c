/* A minimal Windows host of Flyerbank.dll: loads it, updates the ads at a real window
 * with its message loop, lists the display order with each ad's name and files, reports
 * the first ad as shown and lets the library go.
 *
 *   host.exe AD_FOLDER [ADS_BASE_URL AVLS_URL]
 *
 * The server URLs are read by the library from the registry, where a product's installer
 * puts them; given here, they are written first, for trying the example on its own.
 * Build: x86_64-w64-mingw32-gcc host.c -I include -o host.exe (or i686- for the 32-bit
 * DLL), with Flyerbank.dll beside host.exe. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "flyerbank.h"

typedef int32_t(FLBAPI* SetFolderFn)(const char*);
typedef int32_t(FLBAPI* UpdateFn)(const char*, HWND, int32_t, const char*);
typedef int32_t(FLBAPI* ListFn)(uint32_t**, int32_t*);
typedef const char*(FLBAPI* TextFn)(uint32_t);
typedef int32_t(FLBAPI* NotifyFn)(uint32_t, int32_t, const char*);

static WPARAM g_outcome = FLB_UPDATE_FAILED;
static LPARAM g_result;

static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == FLB_WM_UPDATE_DONE) {
        /* The update is over for the library: anything may be called from here. */
        g_outcome = wParam;
        g_result = lParam;
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

static void WriteServerUrls(const char* base, const char* notify) {
    static const char* const values[4][2] = {{"ADS Get list", "/getlist.php3"}, {"ADS Get list 2", "/getlist2.php3"},
                                             {"ADS Get data", "/getdata.php3"}, {"AVLS Notify", ""}};
    char url[512];
    HKEY key;
    int i;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\QUILLMARK\\Tidewell Client", 0, NULL, 0, KEY_SET_VALUE, NULL,
                        &key, NULL) != ERROR_SUCCESS)
        return;
    for (i = 0; i < 4; ++i) {
        snprintf(url, sizeof url, "%s%s", i < 3 ? base : notify, values[i][1]);
        RegSetValueExA(key, values[i][0], 0, REG_SZ, (const BYTE*)url, (DWORD)strlen(url) + 1);
    }
    RegCloseKey(key);
}

int main(int argc, char** argv) {
    HMODULE lib;
    SetFolderFn setFolder;
    UpdateFn update;
    ListFn getOrder;
    TextFn getName, getFileName, getThumbnail, getUrl;
    NotifyFn notify;
    WNDCLASSA wc;
    HWND window;
    MSG msg;
    uint32_t* codes = NULL;
    int32_t count = 0, i, reported = 0;

    if (argc != 2 && argc != 4) {
        fprintf(stderr, "usage: host.exe AD_FOLDER [ADS_BASE_URL AVLS_URL]\n");
        return 2;
    }
    if (argc == 4) WriteServerUrls(argv[2], argv[3]);

    lib = LoadLibraryA("Flyerbank.dll");
    if (!lib) {
        fprintf(stderr, "host: cannot load Flyerbank.dll (error %lu)\n", GetLastError());
        return 1;
    }
    setFolder = (SetFolderFn)(void*)GetProcAddress(lib, "FLBSetFolder");
    update = (UpdateFn)(void*)GetProcAddress(lib, "FLBUpdate");
    getOrder = (ListFn)(void*)GetProcAddress(lib, "FLBGetOrder");
    getName = (TextFn)(void*)GetProcAddress(lib, "FLBGetName");
    getFileName = (TextFn)(void*)GetProcAddress(lib, "FLBGetFileName");
    getThumbnail = (TextFn)(void*)GetProcAddress(lib, "FLBGetThumbnail");
    getUrl = (TextFn)(void*)GetProcAddress(lib, "FLBGetURL");
    notify = (NotifyFn)(void*)GetProcAddress(lib, "FLBNotifyAVLS");

    /* The library shows its own failures in message boxes; the results only say 0. */
    if (!setFolder(argv[1])) return 1;

    memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.lpszClassName = "FlyerbankExampleHost";
    RegisterClassA(&wc);
    window = CreateWindowExA(0, wc.lpszClassName, "Flyerbank example", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                             CW_USEDEFAULT, 400, 200, NULL, NULL, wc.hInstance, NULL);
    if (!update("example-user", window, 0, "1.0")) return 1;

    /* Every message of the thread, so the progress window shows and Esc cancels in it. */
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        HWND active = GetActiveWindow();
        if (active && IsDialogMessageA(active, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    printf("host: update %s (%d,%d)\n",
           g_outcome == FLB_UPDATE_DONE ? "done" : g_outcome == FLB_UPDATE_CANCELLED ? "cancelled" : "failed",
           (int)g_outcome, (int)g_result);

    /* The order to show the announced ads in; texts are valid until the next call. */
    if (g_outcome == FLB_UPDATE_DONE && getOrder(&codes, &count)) {
        for (i = 0; i < count; ++i) {
            printf("host: %07u name %s\n", codes[i], getName(codes[i]));
            printf("host: %07u file %s\n", codes[i], getFileName(codes[i]));
            printf("host: %07u thumbnail %s\n", codes[i], getThumbnail(codes[i]));
            printf("host: %07u link %s\n", codes[i], getUrl(codes[i]));
        }
        /* Shown to the user: the log server confirms the report. */
        if (count > 0) reported = notify(codes[0], 1, "shown by the example host");
        printf("host: view of %07u reported: %s\n", count > 0 ? codes[0] : 0, reported ? "yes" : "no");
        free(codes); /* msvcrt's free, as this host is built against msvcrt.dll */
    }
    DestroyWindow(window);
    FreeLibrary(lib);
    return g_outcome == FLB_UPDATE_DONE && reported ? 0 : 1;
}
