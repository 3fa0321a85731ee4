/* A host built against the UCRT, as any current compiler builds one, that frees the
 * library's arrays the way flyerbank.h tells it: with msvcrt.dll's free.
 *   ucrt_host.exe [--own-free]   (--own-free: its own free instead, which frees nothing)
 * Lists the pictures 100000 times and fails when the process's memory grew by 1 MiB. */
#include <stdlib.h>

#include "HostC.h"

typedef void(__cdecl* FreeFn)(void*);

/* Committed private memory, summed over the address space: under Wine the process
 * counters leave out what the heaps grow by. */
static SIZE_T Committed(void) {
    MEMORY_BASIC_INFORMATION info;
    const char* at = NULL;
    SIZE_T total = 0;
    while (VirtualQuery(at, &info, sizeof info) == sizeof info) {
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) total += info.RegionSize;
        at = (const char*)info.BaseAddress + info.RegionSize;
        if (at < (const char*)info.BaseAddress) break;
    }
    return total;
}

static void Write(const char* path, const char* text) {
    FILE* f = fopen(path, "wb");
    if (f) fputs(text, f), fclose(f);
}

int main(int argc, char** argv) {
    char dll[MAX_PATH], folder[MAX_PATH], path[MAX_PATH], catalogue[1024];
    const int ownFree = argc > 1 && strcmp(argv[1], "--own-free") == 0;
    struct HostLibrary lib;
    FreeFn msvcrtFree;
    SIZE_T before = 0;
    long grown;
    int i, listed = 0;

    GetModuleFileNameA(NULL, dll, sizeof dll);
    strcpy(strrchr(dll, '\\') + 1, "Flyerbank.dll");
    GetTempPathA(sizeof folder, folder);
    snprintf(folder + strlen(folder), sizeof folder - strlen(folder), "flb-ucrt-%lu", GetCurrentProcessId());
    CreateDirectoryA(folder, NULL);
    snprintf(path, sizeof path, "%s\\0000007.jpg", folder);
    Write(path, "picture");
    snprintf(catalogue, sizeof catalogue,
             "[Flyerbank]\r\nVersion=1.0\r\nCount=1\r\n[AD0000]\r\nName=n\r\nFile=%s\r\nID=7\r\nType=0\r\n", path);
    snprintf(path, sizeof path, "%s\\Flyerbank.dat", folder);
    Write(path, catalogue);

    if (!HostLoadLibrary(&lib, dll) || lib.FLBSetFolder(folder) != 1) {
        printf("ucrt_host: FAILED (cannot load %s)\n", dll);
        return 1;
    }
    /* The three lines flyerbank.h gives. */
    msvcrtFree = (FreeFn)(void*)GetProcAddress(LoadLibraryA("msvcrt.dll"), "free");
    if (!msvcrtFree) return 1;

    for (i = 0; i < 101000; ++i) {
        uint32_t* codes = NULL;
        int32_t count = 0;
        if (i == 1000) before = Committed();  /* after the heaps have settled */
        if (lib.FLBGetPictureList(&codes, &count) == 1 && count == 1 && codes[0] == 7) ++listed;
        if (ownFree) free(codes);
        else msvcrtFree(codes);
    }
    grown = (long)(Committed() - before);
    printf("     [ measured ] 100000 arrays freed with %s: private memory grew by %ld KiB\n",
           ownFree ? "the host's own free" : "msvcrt.dll's free", grown / 1024);
    FreeLibrary(lib.module);
    if (listed != 101000 || grown > 1024 * 1024) {
        printf("ucrt_host: FAILED (%d lists)\n", listed);
        return 1;
    }
    printf("ucrt_host: passed\n");
    return 0;
}
