/* A host that lets Flyerbank.dll go as integrators do, run by scripts/test-windows with
 * Wine's exception channel on (which it then reads for faults):
 *   unload_host.exe ADS_URL ROUNDS
 * FreeLibrary during an update on a silent server, LoadLibrary at once and a whole update
 * on the reloaded library, then ROUNDS of load, update and FreeLibrary in the completion
 * handler. Prints one line per check and exits 0 only when all passed. */
#include <winsock2.h>

#include <stdlib.h>

#include "HostC.h"

static struct HostLibrary lib;
static char dllPath[MAX_PATH], base[MAX_PATH], folder[MAX_PATH];

static void Unload(void) {
    if (lib.module) FreeLibrary(lib.module);
    lib.module = NULL;
}

static int Load(void) { return HostLoadLibrary(&lib, dllPath) && lib.FLBSetFolder(folder) == 1; }

/* A folder of its own for each round, so that it downloads everything and shows the
 * progress window. */
static void NewFolder(int round) {
    snprintf(folder, sizeof folder, "%s-%d", base, round);
    CreateDirectoryA(folder, NULL);
}

int main(int argc, char** argv) {
    char silentBase[64], text[128];
    int rounds, i, ok, before;
    DWORD start;
    HWND host;
    if (argc < 3) {
        fprintf(stderr, "usage: unload_host.exe ADS_URL ROUNDS\n");
        return 2;
    }
    rounds = atoi(argv[2]);
    GetModuleFileNameA(NULL, dllPath, sizeof dllPath);
    strcpy(strrchr(dllPath, '\\') + 1, "Flyerbank.dll");
    GetTempPathA(sizeof base, base);
    snprintf(base + strlen(base), sizeof base - strlen(base), "flb-unload-%lu", GetCurrentProcessId());
    host = HostCreateWindow();

    /* The handler lets the library go, round after round, and the next round loads it
     * again at once. */
    HostUseServer(argv[1], "");
    hostC.onCompletion = Unload;
    for (i = 0, ok = 1; i < rounds && ok; ++i) {
        const int before = hostC.completions;
        NewFolder(i);
        ok = Load() && lib.FLBUpdate("unload", host, i & 1, "1.0") == 1 && HostWaitCompletions(before + 1, 60000) &&
             hostC.outcome == 0;
        HostPump(100);
        ok = ok && GetModuleHandleA(dllPath) == NULL && hostC.completions == before + 1;
        if (!ok) printf("     round %d failed: outcome %d\n", i + 1, (int)hostC.outcome);
    }
    snprintf(text, sizeof text, "%d rounds of load, update and FreeLibrary in the completion handler", rounds);
    CHECK(ok, text);

    /* FreeLibrary while an exchange waits on a server that never answers; it listens until
     * the process ends. */
    before = hostC.completions;
    hostC.onCompletion = NULL;
    HostSilentServer(silentBase, sizeof silentBase);
    HostUseServer(silentBase, "");
    NewFolder(rounds);
    CHECK(Load(), "the library loads");
    CHECK(lib.FLBUpdate("unload", host, 0, "1.0") == 1, "an update starts on a silent server");
    HostPump(500);
    start = GetTickCount();
    Unload();
    printf("     [ measured ] FreeLibrary during the update returned after %lu ms\n", GetTickCount() - start);
    HostPump(1500);
    CHECK(hostC.completions == before, "no completion arrives after FreeLibrary");
    /* The blocked exchange holds the image until its idle time-out; the process may end. */

    printf("unload_host: %s (%d failed)\n", hostC.failures ? "FAILED" : "passed", hostC.failures);
    fflush(stdout);
    return hostC.failures ? 1 : 0;
}
