/* A host that lets Flyerbank.dll go as integrators do, run by scripts/test-windows with
 * Wine's exception channel on (which it then reads for faults):
 *   unload_host.exe ADS_URL ROUNDS SILENT_URL TRICKLE_URL
 * ROUNDS of load, update and FreeLibrary in the completion handler, with the private
 * memory they keep against a bare DLL's cycles; then FreeLibrary during an update whose
 * exchange is blocked on a server that never answers (SILENT_URL), and on one that sends
 * a byte now and then (TRICKLE_URL), each followed at once by LoadLibrary and a whole
 * update. Prints one line per check and exits 0 only when all passed. */
#include <winsock2.h>
#include <psapi.h>

#include <stdlib.h>

#include "HostC.h"

static struct HostLibrary lib;
static char dllPath[MAX_PATH], base[MAX_PATH], folder[MAX_PATH];

static void Unload(void) {
    if (lib.module) FreeLibrary(lib.module);
    lib.module = NULL;
}

static int Load(void) { return HostLoadLibrary(&lib, dllPath) && lib.FLBSetFolder(folder) == 1; }

/* A folder of its own per round that should download everything and show the
 * progress window. */
static void NewFolder(int round) {
    snprintf(folder, sizeof folder, "%s-%d", base, round);
    CreateDirectoryA(folder, NULL);
}

static long long PrivateBytes(void) {
    PROCESS_MEMORY_COUNTERS_EX counters;
    memset(&counters, 0, sizeof counters);
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), (PROCESS_MEMORY_COUNTERS*)&counters, sizeof counters);
    /* Wine fills only the first part; its page-file count is the same private commit. */
    return (long long)(counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage);
}

/* What a DLL with nothing in it but the same static runtime keeps per load and unload. */
static long long BareBytesPerCycle(int cycles) {
    char path[MAX_PATH];
    long long before;
    int i;
    strcpy(path, dllPath);
    strcpy(strrchr(path, '\\') + 1, "bare.dll");
    FreeLibrary(LoadLibraryA(path));
    before = PrivateBytes();
    for (i = 0; i < cycles; ++i) FreeLibrary(LoadLibraryA(path));
    return (PrivateBytes() - before) / cycles;
}

/* Loads the library again right after a FreeLibrary that left an exchange blocked, and
 * updates from the good server: how long until that works, -1 when it did not within
 * waitMs, -2 when a completion arrived after FreeLibrary. */
static long ReloadAfterBlockedUnload(const char* blockingUrl, const char* goodUrl, HWND host, DWORD waitMs) {
    const int before = hostC.completions;
    DWORD start;
    HostUseServer(blockingUrl, "");
    NewFolder(1000 + before);
    if (!Load() || lib.FLBUpdate("unload", host, 0, "1.0") != 1) return -1;
    HostPump(1500);
    start = GetTickCount();
    Unload();
    printf("     [ measured ] FreeLibrary during the update returned after %lu ms\n", GetTickCount() - start);
    HostPump(300);
    if (hostC.completions != before) return -2;
    start = GetTickCount();
    while (!HostLoadLibrary(&lib, dllPath)) {
        Unload();
        if (GetTickCount() - start >= waitMs) return -1;
        Sleep(100);
    }
    HostUseServer(goodUrl, "");
    if (lib.FLBSetFolder(folder) != 1 || lib.FLBUpdate("unload", host, 0, "1.0") != 1 ||
        !HostWaitCompletions(before + 1, 20000) || hostC.outcome != 0)
        return -1;
    Unload();
    return (long)(GetTickCount() - start);
}


int main(int argc, char** argv) {
    char text[160];
    int rounds, i, ok;
    long long bare, kept, warm = 0;
    long took;
    HWND host;
    if (argc < 5) {
        fprintf(stderr, "usage: unload_host.exe ADS_URL ROUNDS SILENT_URL TRICKLE_URL\n");
        return 2;
    }
    rounds = atoi(argv[2]);
    GetModuleFileNameA(NULL, dllPath, sizeof dllPath);
    strcpy(strrchr(dllPath, '\\') + 1, "Flyerbank.dll");
    GetTempPathA(sizeof base, base);
    snprintf(base + strlen(base), sizeof base - strlen(base), "flb-unload-%lu", GetCurrentProcessId());
    host = HostCreateWindow();

    /* The handler lets the library go, round after round, and the next round loads it
     * again at once. The first rounds download everything into folders of their own; the
     * rest, in the last of them, only ask for the list. */
    HostUseServer(argv[1], "");
    hostC.onCompletion = Unload;
    for (i = 0, ok = 1; i < rounds && ok; ++i) {
        const int before = hostC.completions;
        if (i == 5) warm = PrivateBytes();
        if (i < 5) NewFolder(i);
        ok = Load() && lib.FLBUpdate("unload", host, i & 1, "1.0") == 1 && HostWaitCompletions(before + 1, 60000) &&
             hostC.outcome == 0;
        HostPump(100);
        ok = ok && GetModuleHandleA(dllPath) == NULL && hostC.completions == before + 1;
        if (!ok) printf("     round %d failed: outcome %d\n", i + 1, (int)hostC.outcome);
    }
    snprintf(text, sizeof text, "%d rounds of load, update and FreeLibrary in the completion handler", rounds);
    CHECK(ok, text);
    kept = rounds > 5 ? (PrivateBytes() - warm) / (rounds - 5) : 0;
    bare = BareBytesPerCycle(rounds);
    printf("     [ measured ] private bytes kept per cycle over %d cycles: %lld, a bare DLL's %lld\n", rounds - 5,
           kept, bare);
    CHECK(kept <= bare + 1024, "a cycle whose update ended keeps no more than a bare DLL's");
    hostC.onCompletion = NULL;

    /* The exchange's handles are closed at FreeLibrary; a system whose blocked call then
     * returns lets the library load again at once. Wine's stays until its server lets it go:
     * the idle time for a silent server, the whole trickle for the other (the image is
     * mapped meanwhile, and LoadLibrary refused). */
    took = ReloadAfterBlockedUnload(argv[3], argv[1], host, 40000);
    printf("     [ measured ] LoadLibrary and an update after FreeLibrary during a silent exchange: %ld ms\n", took);
    if (took > 1000) printf("     (the blocked call outlived its closed handles: kept until the idle time-out)\n");
    CHECK(took >= 0, "after FreeLibrary during a silent exchange no completion comes, the library loads and updates");
    took = ReloadAfterBlockedUnload(argv[4], argv[1], host, 2000);
    if (took >= 0)
        printf("     [ measured ] LoadLibrary and an update after FreeLibrary during a trickling exchange: %ld ms\n", took);
    if (took == -1)
        printf("     [ measured ] LoadLibrary after FreeLibrary during a trickling exchange: still refused after 2000 ms\n"
               "     (the blocked call outlived its closed handles: kept until the server ends its trickle)\n");
    CHECK(took != -2, "after FreeLibrary during a trickling exchange no completion comes");

    printf("unload_host: %s (%d failed)\n", hostC.failures ? "FAILED" : "passed", hostC.failures);
    fflush(stdout);
    return hostC.failures ? 1 : 0;
}
