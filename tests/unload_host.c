/* A host that unloads the library as soon as the update's completion arrives, the way a
 * host that is shutting down would. It must end normally: the library may not leave
 * code of its own running after it is gone. Usage: unload_host LIBRARY FOLDER */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <unistd.h>

#include "completion_pipe.h"
#include "flyerbank.h"

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!lib) return 3;
    __typeof__(&FLBSetFolder) setFolder = (__typeof__(&FLBSetFolder))dlsym(lib, "FLBSetFolder");
    __typeof__(&FLBUpdate) update = (__typeof__(&FLBUpdate))dlsym(lib, "FLBUpdate");
    int fds[2];
    if (!setFolder || !update || pipe(fds) != 0) return 4;
    if (setFolder(argv[2]) != 1) return 5;
    if (update("unload", (FLB_HWND)(intptr_t)fds[1], 0, "1.0") != 1) return 6;
    unsigned char record[12];
    const int failed = ReadCompletion(fds[0], record, 30000);
    if (failed) return failed;
    dlclose(lib);
    usleep(300 * 1000); /* time for anything left running to fault */
    return record[0] == 0x01 && record[1] == 0x80 && record[4] == 0 ? 0 : 9;
}
