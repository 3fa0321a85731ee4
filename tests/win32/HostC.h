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

/* Reads the box's text and icon and answers it as a user would; its own loop ends it. */
static inline void HostAnswerBox(HWND box, char* text, int size, int* stopIcon) {
    GetDlgItemTextA(box, 0xFFFF, text, size);
    *stopIcon = 0;
    EnumChildWindows(box, HostFindIcon, (LPARAM)stopIcon);
    PostMessageA(box, WM_COMMAND, IDOK, 0);
}

/* Hooks every thread of the process not yet in threads[0..*count), the update's worker
 * included. */
static inline void HostHookThreads(HOOKPROC hook, DWORD* threads, HHOOK* hooks, int* count, int max) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry;
    BOOL more;
    int i, known;
    if (snapshot == INVALID_HANDLE_VALUE) return;
    entry.dwSize = sizeof entry;
    for (more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != GetCurrentProcessId() || *count == max) continue;
        for (known = 0, i = 0; i < *count; ++i) known |= threads[i] == entry.th32ThreadID;
        if (known) continue;
        hooks[*count] = SetWindowsHookExA(WH_CBT, hook, NULL, entry.th32ThreadID);
        if (hooks[*count]) threads[(*count)++] = entry.th32ThreadID;
    }
    CloseHandle(snapshot);
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

/* An empty value is removed. */
static inline void HostSetServerUrls(const char* list, const char* list2, const char* data, const char* notify) {
    const char* names[4] = {"ADS Get list", "ADS Get list 2", "ADS Get data", "AVLS Notify"};
    const char* values[4];
    HKEY key;
    int i;
    values[0] = list, values[1] = list2, values[2] = data, values[3] = notify;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, HOST_REGISTRY_KEY, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL) != 0) return;
    for (i = 0; i < 4; ++i) {
        if (!values[i][0]) RegDeleteValueA(key, names[i]);
        else RegSetValueExA(key, names[i], 0, REG_SZ, (const BYTE*)values[i], (DWORD)strlen(values[i]) + 1);
    }
    RegCloseKey(key);
}

/* The three ads-server URLs under one base. */
static inline void HostUseServer(const char* base, const char* notify) {
    char list[512], list2[512], data[512];
    snprintf(list, sizeof list, "%s/getlist.php3", base);
    snprintf(list2, sizeof list2, "%s/getlist2.php3", base);
    snprintf(data, sizeof data, "%s/getdata.php3", base);
    HostSetServerUrls(list, list2, data, notify);
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
