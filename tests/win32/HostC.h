/* What every Windows host of the tests does, in C for the C hosts and WinHost.cpp alike:
 * the DLL's exports taken by ordinal, message boxes captured by a CBT hook on each thread
 * and answered at once, a message pump, and the registry values the library reads its
 * server URLs from. */
#ifndef FLB_TESTS_HOST_C_H
#define FLB_TESTS_HOST_C_H
#include <windows.h>
#include <tlhelp32.h>

#include <stdio.h>
#include <string.h>

#include "flyerbank.h"

struct HostLibrary {
    HMODULE module;
#define FLB_EXPORT(name, ordinal) __typeof__(&name) name;
#include "flyerbank_exports.inc"
};

/* By ordinal, as the definition file numbers them: a host may link either way. 1 when the
 * library loaded and each of its exports is the one of that name. */
static inline int HostLoadLibrary(struct HostLibrary* lib, const char* path) {
    int same = 1;
    lib->module = LoadLibraryA(path);
    if (!lib->module) return 0;
#define FLB_EXPORT(name, ordinal)                                                           \
    lib->name = (__typeof__(lib->name))(void*)GetProcAddress(lib->module, MAKEINTRESOURCEA(ordinal)); \
    same &= lib->name != NULL && (void*)GetProcAddress(lib->module, #name) == (void*)lib->name;
#include "flyerbank_exports.inc"
    return same;
}


/* A message box is a dialog with the text control 0xFFFF; the progress dialog has none. */
static inline int HostIsMessageBox(HWND window) {
    char cls[16] = "";
    GetClassNameA(window, cls, sizeof cls);
    return strcmp(cls, "#32770") == 0 && GetDlgItem(window, 0xFFFF) != NULL;
}

/* The icon sits in a static control of the icon kind, whatever its id on this system. */
static inline BOOL CALLBACK HostFindIcon(HWND child, LPARAM found) {
    char cls[16] = "";
    GetClassNameA(child, cls, sizeof cls);
    if (lstrcmpiA(cls, "Static") == 0 && (GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
        SendMessageA(child, STM_GETICON, 0, 0) != 0)
        *(int*)found = 1;
    return TRUE;
}

/* The message boxes shown since the last HostBoxesReset, with their text and icon. Each is
 * answered at once, as a user would; its own loop ends it. */
#define HOST_MAX_BOXES 16
static struct {
    char text[HOST_MAX_BOXES][1024];
    wchar_t wide[HOST_MAX_BOXES][512]; /* the same text as the wide functions read it */
    int stopIcon[HOST_MAX_BOXES];
    volatile LONG count;
    void (*onOpen)(HWND box); /* on the box's thread, before it is answered */
    DWORD threads[64];
    HHOOK hooks[64];
    int hooked;
} hostBoxes __attribute__((unused));

static inline LRESULT CALLBACK HostBoxHook(int code, WPARAM wParam, LPARAM lParam) {
    HWND box = (HWND)wParam;
    if (code == HCBT_ACTIVATE && HostIsMessageBox(box)) {
        char text[1024] = "";
        wchar_t wide[512] = L"";
        int icon = 0;
        LONG n;
        if (hostBoxes.onOpen) hostBoxes.onOpen(box);
        GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
        GetDlgItemTextW(box, 0xFFFF, wide, sizeof wide / sizeof *wide);
        EnumChildWindows(box, HostFindIcon, (LPARAM)&icon);
        n = InterlockedIncrement(&hostBoxes.count) - 1;
        if (n < HOST_MAX_BOXES) {
            memcpy(hostBoxes.text[n], text, sizeof text);
            memcpy(hostBoxes.wide[n], wide, sizeof wide);
            hostBoxes.stopIcon[n] = icon;
        }
        PostMessageA(box, WM_COMMAND, IDOK, 0);
    }
    return CallNextHookEx(NULL, code, wParam, lParam);
}

/* Hooks every thread of the process not hooked yet, the update's worker included: call it
 * after FLBUpdate. */
static inline void HostHookNewThreads(void) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry;
    BOOL more;
    int i, known;
    if (snapshot == INVALID_HANDLE_VALUE) return;
    entry.dwSize = sizeof entry;
    for (more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != GetCurrentProcessId() || hostBoxes.hooked == 64) continue;
        for (known = 0, i = 0; i < hostBoxes.hooked; ++i) known |= hostBoxes.threads[i] == entry.th32ThreadID;
        if (known) continue;
        hostBoxes.hooks[hostBoxes.hooked] = SetWindowsHookExA(WH_CBT, HostBoxHook, NULL, entry.th32ThreadID);
        if (hostBoxes.hooks[hostBoxes.hooked]) hostBoxes.threads[hostBoxes.hooked++] = entry.th32ThreadID;
    }
    CloseHandle(snapshot);
}

/* Forgets the boxes shown and unhooks every thread (their ids may come back on new ones). */
static inline void HostBoxesReset(void) {
    int i;
    for (i = 0; i < hostBoxes.hooked; ++i) UnhookWindowsHookEx(hostBoxes.hooks[i]);
    hostBoxes.hooked = 0;
    hostBoxes.count = 0;
}

/* Dispatches the thread's messages for ms, as a host's loop would. */
static inline void HostPump(DWORD ms) {
    DWORD start = GetTickCount();
    MSG msg;
    do {
        MsgWaitForMultipleObjects(0, NULL, FALSE, ms < 10 ? ms : 10, QS_ALLINPUT);
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    } while (GetTickCount() - start < ms);
}

#define HOST_REGISTRY_KEY "Software\\QUILLMARK\\Tidewell Client"

/* The ads server's three URLs under one base, and the log server's (removed when empty). */
static inline void HostUseServer(const char* base, const char* notify) {
    static const char* const names[4][2] = {{"ADS Get list", "/getlist.php3"}, {"ADS Get list 2", "/getlist2.php3"},
                                            {"ADS Get data", "/getdata.php3"}, {"AVLS Notify", ""}};
    char value[512];
    HKEY key;
    int i;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, HOST_REGISTRY_KEY, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL) != 0) return;
    for (i = 0; i < 4; ++i) {
        snprintf(value, sizeof value, "%s%s", i < 3 ? base : notify, names[i][1]);
        if (!value[0]) RegDeleteValueA(key, names[i][0]);
        else RegSetValueExA(key, names[i][0], 0, REG_SZ, (const BYTE*)value, (DWORD)strlen(value) + 1);
    }
    RegCloseKey(key);
}

#ifdef _WINSOCK2API_
/* A server that takes connections into its backlog and never answers, until the socket is
 * closed; its base URL goes to base. */
static inline SOCKET HostSilentServer(char* base, size_t size) {
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
#endif

#ifndef __cplusplus
/* The C hosts' checks, one line each, and the completions their window received. */
static struct {
    int failures, completions;
    WPARAM outcome;
    LPARAM result;
    void (*onCompletion)(void); /* runs inside the dispatch, as a host's handler */
} hostC __attribute__((unused));

#define CHECK(cond, what)                                                     \
    do {                                                                      \
        int ok_ = (cond) ? 1 : 0;                                             \
        printf("%s %s\n", ok_ ? "ok  " : "FAIL", what);                       \
        fflush(stdout);                                                       \
        if (!ok_) ++hostC.failures;                                           \
    } while (0)

static inline LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != FLB_WM_UPDATE_DONE) return DefWindowProcA(window, message, wParam, lParam);
    ++hostC.completions;
    hostC.outcome = wParam;
    hostC.result = lParam;
    printf("     completion %d: (%d,%d)\n", hostC.completions, (int)wParam, (int)lParam);
    fflush(stdout);
    if (hostC.onCompletion) hostC.onCompletion();
    return 0;
}

static inline HWND HostCreateWindow(void) {
    WNDCLASSA wc;
    memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = HostWindowProc;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.lpszClassName = "FlbCHost";
    RegisterClassA(&wc);
    return CreateWindowExA(0, "FlbCHost", "host", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, NULL, NULL, wc.hInstance, NULL);
}

/* Pumps until `count` completions in all have arrived, or for at most ms. */
static inline int HostWaitCompletions(int count, DWORD ms) {
    DWORD start = GetTickCount();
    while (hostC.completions < count && GetTickCount() - start < ms) HostPump(20);
    return hostC.completions >= count;
}
#endif

#endif
