/* A host that links the installed library at build time, as an integrator's would:
 * one catalogue call, the name of ad 7 in the folder given. */
#include <flyerbank.h>
#include <stdio.h>

int main(int argc, char** argv) {
    if (argc != 2 || !FLBSetFolder(argv[1])) return 1;
    const char* name = FLBGetName(7);
    if (!name) return 1;
    printf("%s\n", name);
    return 0;
}
