/* A host that a test kills at a random moment, to show that nothing it was changing is
 * ever left cut. It says on standard output what it is about to do and when each call
 * has returned, so the test knows which two states the folder may be in.
 *   crash_host LIBRARY FOLDER change CODE...   renames, marks and removes those ads, endlessly
 *   crash_host LIBRARY FOLDER update           runs one update and waits for its end
 * "R" follows FLBSetFolder; then "N code value" (name), "F code value" (favourite flag) or
 * "X code" (remove) before a call and "= result" after it; "D outcome result" after an update. */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "completion_pipe.h"
#include "flyerbank.h"

static void* Need(void* lib, const char* name) {
    void* f = dlsym(lib, name);
    if (!f) exit(4);
    return f;
}
/* The export `name` of lib, with its type from the public header. */
#define NEED(lib, name) ((__typeof__(&name))Need(lib, #name))

static int Update(void* lib) {
    int fds[2];
    if (pipe(fds) != 0 || NEED(lib, FLBUpdate)("crash", (FLB_HWND)(intptr_t)fds[1], 0, "1.0") != 1) return 6;
    unsigned char record[12];
    const int failed = ReadCompletion(fds[0], record, 60000);
    if (failed) return failed;
    dprintf(1, "D %u %u\n", record[4], record[8]);
    return 0;
}

/* Our own generator: the library reseeds rand() from the clock on every save. */
static uint32_t g_state;
static int Random(int below) {
    g_state ^= g_state << 13;
    g_state ^= g_state >> 17;
    g_state ^= g_state << 5;
    return (int)(g_state % (uint32_t)below);
}

static void Change(void* lib, int count, char** codes) {
    __typeof__(&FLBSetName) setName = NEED(lib, FLBSetName);
    __typeof__(&FLBSetFavoriteFlag) setFavorite = NEED(lib, FLBSetFavoriteFlag);
    __typeof__(&FLBRemove) removeAd = NEED(lib, FLBRemove);
    g_state = (uint32_t)getpid() * 2654435761u | 1u;
    for (;;) {
        const uint32_t code = (uint32_t)strtoul(codes[Random(count)], NULL, 10);
        const int what = Random(16);
        const int value = Random(100000);
        int32_t result;
        if (what == 0) {
            dprintf(1, "X %u\n", code);
            result = removeAd(code);
        } else if (what < 8) {
            char name[32];
            snprintf(name, sizeof name, "n%d", value);
            dprintf(1, "N %u %s\n", code, name);
            result = setName(code, name);
        } else {
            dprintf(1, "F %u %d\n", code, value);
            result = setFavorite(code, value);
        }
        dprintf(1, "= %d\n", (int)result);
    }
}

int main(int argc, char** argv) {
    if (argc < 4) return 2;
    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!lib) return 3;
    if (NEED(lib, FLBSetFolder)(argv[2]) != 1) return 5;
    dprintf(1, "R\n");
    if (strcmp(argv[3], "update") == 0) return Update(lib);
    if (strcmp(argv[3], "change") == 0 && argc > 4) Change(lib, argc - 4, argv + 4);
    return 2;
}
