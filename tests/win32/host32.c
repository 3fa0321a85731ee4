/* A Windows host in plain C for the shipped 32-bit Flyerbank.dll. It runs every scenario
 * in one process, since under emulation each process start costs about a minute:
 *   host32.exe ADS_URL SLOW_ADS_URL AVLS_URL   (the slow server sends 1 KiB a second)
 * It must be started from the root of a drive holding Flyerbank.dll, a Flyerbank.dat
 * naming 0000007.jpg and that picture: the library's default folder is then the root.
 * Prints one line per check and exits 0 only when all passed. */
#include <windows.h>
#include <tlhelp32.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "flyerbank.h"

typedef int32_t(__cdecl* UpdateFn)(const char*, HWND, int32_t, const char*);
typedef int32_t(__cdecl* VoidFn)(void);
typedef int32_t(__cdecl* NotifyFn)(uint32_t, int32_t, const char*);
typedef int32_t(__cdecl* FolderFn)(const char*);
typedef int32_t(__cdecl* ListFn)(uint32_t**, int32_t*);
typedef const char*(__cdecl* TextFn)(uint32_t);
typedef int32_t(__cdecl* FlagFn)(uint32_t);
typedef int32_t(__cdecl* SetNameFn)(uint32_t, const char*);
typedef int32_t(__cdecl* SetFlagFn)(uint32_t, int32_t);

static struct {
    HMODULE module;
    UpdateFn update;
    VoidFn cancel;
    NotifyFn notify;
    FolderFn setFolder;
    ListFn order, pictures, movies;
    TextFn name, fileName, thumbnail, url;
    FlagFn favorite, removeAd;
    SetNameFn setName;
    SetFlagFn setFavorite;
} lib;

/* Through a data pointer: the exports' types are ours to know, not FARPROC's. */
static void* Export(int ordinal) { return (void*)GetProcAddress(lib.module, MAKEINTRESOURCEA(ordinal)); }

static int failures = 0;
#define CHECK(cond, what)                                                     \
    do {                                                                      \
        int ok_ = (cond) ? 1 : 0;                                             \
        printf("%s %s\n", ok_ ? "ok  " : "FAIL", what);                       \
        fflush(stdout);                                                       \
        if (!ok_) ++failures;                                                 \
    } while (0)

/* Message boxes, captured on this thread as they open and answered at once. */
static char boxText[8][512];
static int boxIcon[8];
static volatile LONG boxCount = 0;

static BOOL CALLBACK FindIcon(HWND child, LPARAM found) {
    char cls[16] = "";
    GetClassNameA(child, cls, sizeof cls);
    if (lstrcmpiA(cls, "Static") == 0 && (GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
        SendMessageA(child, STM_GETICON, 0, 0) != 0)
        *(int*)found = 1;
    return TRUE;
}

static LRESULT CALLBACK CbtHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE) {
        HWND box = (HWND)wParam;
        if (GetDlgItem(box, 0xFFFF)) {
            LONG n = InterlockedIncrement(&boxCount) - 1;
            if (n < 8) {
                GetDlgItemTextA(box, 0xFFFF, boxText[n], sizeof boxText[0]);
                boxIcon[n] = 0;
                EnumChildWindows(box, FindIcon, (LPARAM)&boxIcon[n]);
                printf("     box: %s icon\n", boxIcon[n] ? "stop" : "no");
            }
            PostMessageA(box, WM_COMMAND, IDOK, 0);
        }
    }
    return CallNextHookEx(NULL, code, wParam, lParam);
}

/* Every thread of the process, the update's worker included, answers its boxes here. */
static DWORD hooked[64];
static int hookedCount = 0;
static void HookAllThreads(void) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry;
    BOOL more;
    int i, known;
    if (snapshot == INVALID_HANDLE_VALUE) return;
    entry.dwSize = sizeof entry;
    for (more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != GetCurrentProcessId() || hookedCount == 64) continue;
        for (known = 0, i = 0; i < hookedCount; ++i) known |= hooked[i] == entry.th32ThreadID;
        if (!known && SetWindowsHookExA(WH_CBT, CbtHook, NULL, entry.th32ThreadID)) hooked[hookedCount++] = entry.th32ThreadID;
    }
    CloseHandle(snapshot);
}

/* The host window and its completions. */
static HWND host;
static int completions = 0;
static WPARAM lastOutcome;
static LPARAM lastResult;
static int unloadOnCompletion = 0;

static LRESULT CALLBACK HostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == FLB_WM_UPDATE_DONE) {
        ++completions;
        lastOutcome = wParam;
        lastResult = lParam;
        printf("     completion %d: (%d,%d)\n", completions, (int)wParam, (int)lParam);
        fflush(stdout);
        /* The update is over for the library before the message comes: it may go now. */
        if (unloadOnCompletion) FreeLibrary(lib.module);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

static void Pump(DWORD ms) {
    DWORD start = GetTickCount();
    MSG msg;
    while (GetTickCount() - start < ms) {
        MsgWaitForMultipleObjects(0, NULL, FALSE, 20, QS_ALLINPUT);
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
}

static int WaitCompletion(int count, DWORD ms) {
    DWORD start = GetTickCount();
    while (completions < count && GetTickCount() - start < ms) Pump(20);
    return completions >= count;
}

static void SetUrls(const char* base, const char* notify) {
    HKEY key;
    char url[512];
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\QUILLMARK\\Tidewell Client", 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                        &key, NULL) != 0)
        return;
    snprintf(url, sizeof url, "%s/getlist.php3", base);
    RegSetValueExA(key, "ADS Get list", 0, REG_SZ, (const BYTE*)url, (DWORD)strlen(url) + 1);
    snprintf(url, sizeof url, "%s/getlist2.php3", base);
    RegSetValueExA(key, "ADS Get list 2", 0, REG_SZ, (const BYTE*)url, (DWORD)strlen(url) + 1);
    snprintf(url, sizeof url, "%s/getdata.php3", base);
    RegSetValueExA(key, "ADS Get data", 0, REG_SZ, (const BYTE*)url, (DWORD)strlen(url) + 1);
    RegSetValueExA(key, "AVLS Notify", 0, REG_SZ, (const BYTE*)notify, (DWORD)strlen(notify) + 1);
    RegCloseKey(key);
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
    WNDCLASSA wc;
    char path[MAX_PATH];
    /* cp932: 春のセール and ソファ (its first trail byte is 0x5C) */
    const char* spring = "\x8F\x74\x82\xCC\x83\x5A\x81\x5B\x83\x8B";
    const char* sofa = "\x83\x5C\x83\x74\x83\x40";
    /* The texts of 20009 and 20007 as the string table holds them. */
    const char* folderCreate =
        "\x83t\x83H\x83\x8B\x83_\x82\xF0\x8D\xEC\x90\xAC\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1\x81"
        "B\n\x8A\xC2\x8B\xAB\x90\xDD\x92\xE8\x82\xCC\x8DL\x8D\x90\x83t\x83@\x83"
        "C\x83\x8B\x95\xDB\x91\xB6\x83t\x83H\x83\x8B\x83_\x82\xF0\x8Am\x94"
        "F\x82\xB5\x82\xC4\x82\xAD\x82\xBE\x82\xB3\x82\xA2\x81"
        "B";
    const char* invalidArgument = "\x88\xF8\x90\x94\x82\xAA\x96\xB3\x8C\xF8\x82\xC5\x82\xB7\x81"
                                  "B";

    if (argc < 4) {
        fprintf(stderr, "usage: host32 ADS_URL SLOW_ADS_URL AVLS_URL\n");
        return 2;
    }
    printf("host32: %u-bit host, ANSI code page %u\n", (unsigned)(sizeof(void*) * 8), GetACP());

    lib.module = LoadLibraryA("Flyerbank.dll");
    CHECK(lib.module != NULL, "LoadLibraryA(\"Flyerbank.dll\")");
    if (!lib.module) return 1;
    lib.update = (UpdateFn)Export(10);
    lib.cancel = (VoidFn)Export(11);
    lib.notify = (NotifyFn)Export(12);
    lib.setFolder = (FolderFn)Export(13);
    lib.order = (ListFn)Export(14);
    lib.pictures = (ListFn)Export(15);
    lib.name = (TextFn)Export(16);
    lib.favorite = (FlagFn)Export(17);
    lib.fileName = (TextFn)Export(18);
    lib.url = (TextFn)Export(19);
    lib.setName = (SetNameFn)Export(20);
    lib.setFavorite = (SetFlagFn)Export(21);
    lib.removeAd = (FlagFn)Export(22);
    lib.movies = (ListFn)Export(23);
    lib.thumbnail = (TextFn)Export(24);
    {
        static const char* names[15] = {"FLBUpdate", "FLBUpdateCancel", "FLBNotifyAVLS", "FLBSetFolder",
                                        "FLBGetOrder", "FLBGetPictureList", "FLBGetName", "FLBGetFavoriteFlag",
                                        "FLBGetFileName", "FLBGetURL", "FLBSetName", "FLBSetFavoriteFlag",
                                        "FLBRemove", "FLBGetMovieList", "FLBGetThumbnail"};
        int i, same = 1;
        for (i = 0; i < 15; ++i) {
            FARPROC byName = GetProcAddress(lib.module, names[i]);
            same &= byName != NULL && (void*)byName == Export(10 + i);
        }
        CHECK(same, "the fifteen exports by name are the ordinals 10-24");
    }

    memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = HostProc;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.lpszClassName = "Host32";
    RegisterClassA(&wc);
    host = CreateWindowExA(0, "Host32", "host32", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, NULL, NULL, wc.hInstance, NULL);
    HookAllThreads();

    /* Catalogue: the default folder is the drive root the host runs from. */
    GetModuleFileNameA(NULL, path, sizeof path);
    path[3] = '\0';
    {
        char expected[MAX_PATH];
        const char* file = lib.fileName(7);
        snprintf(expected, sizeof expected, "%s0000007.jpg", path);
        CHECK(Contains(lib.pictures, 7), "the catalogue beside a host at a drive root loads at start");
        CHECK(file && strcmp(file, expected) == 0, "its file is named from the root with one backslash");
        CHECK(lib.thumbnail(7) && strcmp(lib.thumbnail(7), expected) == 0, "a picture is its own thumbnail");
    }
    CHECK(lib.setName(7, sofa) == 1 && lib.name(7) && strcmp(lib.name(7), sofa) == 0, "a cp932 name is stored");
    CHECK(lib.setFavorite(7, 3) == 1 && lib.favorite(7) == 3, "the favourite flag is stored as given");
    CHECK(lib.setFolder(path) == 1 && lib.name(7) && strcmp(lib.name(7), sofa) == 0,
          "name and flag read back from the file");

    /* Messages: texts and icons from the string table. */
    boxCount = 0;
    {
        uint32_t* codes = NULL;
        CHECK(lib.setFolder("") == 0 && lib.pictures(&codes, NULL) == 0, "bad arguments give 0");
    }
    CHECK(boxCount == 2 && strcmp(boxText[0], folderCreate) == 0 && boxIcon[0], "20009 shown with the stop icon");
    CHECK(boxCount == 2 && strcmp(boxText[1], invalidArgument) == 0 && boxIcon[1], "20007 shown with the stop icon");

    /* An update with pictures and cabinet movies, completing at the window. */
    snprintf(path + 3, sizeof path - 3, "ads");
    CHECK(lib.setFolder(path) == 1, "a new ad folder at the root is made");
    SetUrls(argv[1], argv[3]);
    boxCount = 0;
    CHECK(lib.update("host32", host, 0, "1.0") == 1, "FLBUpdate starts");
    HookAllThreads();
    CHECK(WaitCompletion(1, 120000) && lastOutcome == 0 && lastResult == 0, "the update completes with (0,0)");
    CHECK(boxCount == 0, "no message during the update");
    CHECK(Contains(lib.pictures, 1001) && Contains(lib.movies, 2001) && Contains(lib.movies, 2002),
          "pictures and movies are held");
    CHECK(lib.name(1001) && strcmp(lib.name(1001), spring) == 0, "the server's cp932 name is stored");
    CHECK(lib.fileName(2001) && Exists(lib.fileName(2001)) && lib.thumbnail(2001) && Exists(lib.thumbnail(2001)),
          "a cabinet became a movie and its thumbnail");
    {
        uint32_t* codes = NULL;
        int32_t count = 0;
        CHECK(lib.order(&codes, &count) == 1 && count == 5 && (codes[0] == 2001 || codes[0] == 2002),
              "the order puts the movies first");
        free(codes);
    }

    /* A notice stored by the log server. */
    CHECK(lib.notify(1001, 5, "shown by host32") == 1 && boxCount == 0, "the log server accepts the notice");

    /* A cancel during a slow payload. */
    SetUrls(argv[2], argv[3]);  /* the slow server */
    /* Three pictures to fetch again at 1 KiB a second, some twenty seconds: the cancel
     * lands well inside, however slow the machine runs us. */
    CHECK(lib.removeAd(1001) == 1 && !Contains(lib.pictures, 1001), "an ad is removed with its file");
    CHECK(lib.removeAd(1002) == 1 && lib.removeAd(1003) == 1, "two more are removed");
    CHECK(lib.update("host32", host, 0, "1.0") == 1, "a second update starts");
    HookAllThreads();
    Pump(3000);
    CHECK(lib.cancel() == 1, "FLBUpdateCancel posts the request");
    CHECK(WaitCompletion(2, 60000) && lastOutcome == 2, "the update ends as cancelled");
    CHECK(boxCount == 0, "no message for a cancel");

    /* The host lets the library go on the completion of an update with nothing to fetch. */
    SetUrls(argv[1], argv[3]);
    {
        char dll[MAX_PATH];
        GetModuleFileNameA(lib.module, dll, sizeof dll);
        unloadOnCompletion = 1;
        CHECK(lib.update("host32", host, 1, "1.0") == 1, "a last update starts");
    HookAllThreads();
        CHECK(WaitCompletion(3, 120000) && lastOutcome == 0, "it completes");
        /* The library goes with its last thread: the worker, or the exchange the cancel
         * left to finish with the slow server on its own (at most the idle time-out). */
        {
            DWORD start = GetTickCount();
            while (GetModuleHandleA(dll) != NULL && GetTickCount() - start < 45000) Pump(100);
        }
        CHECK(GetModuleHandleA(dll) == NULL, "the library unloaded once its last thread ended");
    }
    printf("host32: %s (%d failed)\n", failures ? "FAILED" : "passed", failures);
    return failures ? 1 : 0;
}
