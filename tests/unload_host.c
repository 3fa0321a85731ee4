/* A host that unloads the library as soon as the update's completion arrives, the way a
 * host that is shutting down would. It must end normally: the library may not leave
 * code of its own running after it is gone. With "full", the host's pipe is full and
 * never read: it waits for the debug log (FLB_DEBUG_LOG) to say the completion was lost,
 * then unloads. Usage: unload_host LIBRARY FOLDER [full] */
#include <dlfcn.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "completion_pipe.h"
#include "flyerbank.h"

/* Fills the pipe; its write end then blocks again, as the host had it. */
static void Fill(int fd) {
    fcntl(fd, F_SETFL, O_NONBLOCK);
    while (write(fd, "", 1) == 1) {
    }
    fcntl(fd, F_SETFL, 0);
}

static int LogSaysLost(const char* path) {
    static char text[65536];
    FILE* f = path ? fopen(path, "r") : NULL;
    text[f ? fread(text, 1, sizeof text - 1, f) : 0] = '\0';
    if (f) fclose(f);
    return strstr(text, "\tlost") != NULL;
}

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const int full = argc > 3 && strcmp(argv[3], "full") == 0;
    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!lib) return 3;
    __typeof__(&FLBSetFolder) setFolder = (__typeof__(&FLBSetFolder))dlsym(lib, "FLBSetFolder");
    __typeof__(&FLBUpdate) update = (__typeof__(&FLBUpdate))dlsym(lib, "FLBUpdate");
    int fds[2];
    if (!setFolder || !update || pipe(fds) != 0) return 4;
    if (setFolder(argv[2]) != 1) return 5;
    if (full) Fill(fds[1]);
    if (update("unload", (FLB_HWND)(intptr_t)fds[1], 0, "1.0") != 1) return 6;
    unsigned char record[12] = {0x01, 0x80};
    if (full) {
        for (int i = 0; i < 600 && !LogSaysLost(getenv("FLB_DEBUG_LOG")); ++i) usleep(100 * 1000);
    } else {
        const int failed = ReadCompletion(fds[0], record, 30000);
        if (failed) return failed;
    }
    dlclose(lib);
    usleep(300 * 1000); /* time for anything left running to fault */
    return record[0] == 0x01 && record[1] == 0x80 && record[4] == 0 ? 0 : 9;
}
