/* A host in plain C: loads the library with dlopen and drives every export through the
 * types of flyerbank.h alone, as a real host does. What the exports do in depth is the
 * C++ suites' business; here the header, the calls and the ownership rules a C caller
 * relies on. Messages are read back through FLB_MESSAGE_LOG, which the library's default
 * presenter appends "id type" lines to. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "flyerbank.h"

static int failures;
#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                              \
        }                                                                            \
    } while (0)

static struct {
#define FLB_EXPORT(name, ordinal) __typeof__(&name) name;
#include "flyerbank_exports.inc"
} flb;

static char messageLog[512];

/* The messages shown since the last call, as "id/type id/type ...", and clears the log. */
static const char* TakeMessages(void) {
    static char ids[1024];
    ids[0] = '\0';
    FILE* f = fopen(messageLog, "r");
    if (f) {
        unsigned id, type;
        while (fscanf(f, "%u %u", &id, &type) == 2) {
            char one[32];
            snprintf(one, sizeof one, "%s%u/%u", ids[0] ? " " : "", id, type);
            strncat(ids, one, sizeof ids - strlen(ids) - 1);
        }
        fclose(f);
    }
    unlink(messageLog);
    return ids;
}

static int Exists(const char* path) { return access(path, F_OK) == 0; }

/* Writes folder/name (its full path left in path) holding text. */
static void WriteIn(char* path, size_t size, const char* folder, const char* name, const char* text) {
    snprintf(path, size, "%s/%s", folder, name);
    FILE* f = fopen(path, "wb");
    if (!f) { perror(path); exit(2); }
    fputs(text, f);
    fclose(f);
}

/* Appends one catalogue entry to text. */
static void Entry(char* text, size_t size, int index, const char* name, const char* file, unsigned id, int type,
                  const char* url, unsigned favorite) {
    size_t len = strlen(text);
    snprintf(text + len, size - len,
             "[AD%04d]\r\nName=%s\r\nFile=%s\r\nID=%u\r\nType=%d\r\nURL=%s\r\nTime=0\r\nFavorite=%u\r\nPriority=0\r\n",
             index, name, file, id, type, url, favorite);
}

static void Load(void* lib, void** slot, const char* name) {
    *slot = dlsym(lib, name);
    if (!*slot) { fprintf(stderr, "missing export %s\n", name); exit(2); }
}

static void TestQueriesAndChanges(const char* root) {
    char folder[300], picture1[400], picture2[400], movie[400], thumb[400], dat[400];
    char text[4096] = "[Flyerbank]\r\nVersion=1.1\r\nCount=3\r\n";
    uint32_t* codes = (uint32_t*)1;
    int32_t count = -1;
    snprintf(folder, sizeof folder, "%s/ads", root);
    mkdir(folder, 0755);
    /* Picture 2 a second before picture 1, so newest-first is not code order. */
    WriteIn(picture2, sizeof picture2, folder, "0000002.png", "png");
    sleep(1);
    WriteIn(picture1, sizeof picture1, folder, "0000001.jpg", "jpg");
    WriteIn(movie, sizeof movie, folder, "0000003.wmv", "wmv");
    WriteIn(thumb, sizeof thumb, folder, "0000003.jpg", "thumb");
    Entry(text, sizeof text, 0, "\x8dL\x8d\x90 one", picture1, 1, 0, "http://example.com/1", 0);
    Entry(text, sizeof text, 1, "", picture2, 2, 0, "", 0);
    Entry(text, sizeof text, 2, "movie", movie, 3, 1, "http://example.com/3", 1);
    WriteIn(dat, sizeof dat, folder, "Flyerbank.dat", text);

    CHECK(flb.FLBSetFolder(folder) == 1);
    CHECK(flb.FLBGetName(1) && strcmp(flb.FLBGetName(1), "\x8dL\x8d\x90 one") == 0);
    CHECK(flb.FLBGetName(9) == NULL);
    CHECK(flb.FLBGetFileName(3) && strcmp(flb.FLBGetFileName(3), movie) == 0);
    CHECK(flb.FLBGetThumbnail(3) && strcmp(flb.FLBGetThumbnail(3), thumb) == 0);
    CHECK(flb.FLBGetURL(2) && strcmp(flb.FLBGetURL(2), "") == 0);
    CHECK(flb.FLBGetFavoriteFlag(3) == 1 && flb.FLBGetFavoriteFlag(1) == 0);
    /* Every text comes in one buffer of the library's, which the next call reuses. */
    const char* before = flb.FLBGetName(1);
    flb.FLBGetURL(3);
    CHECK(strcmp(before, "http://example.com/3") == 0);

    /* Arrays are the caller's, allocated with calloc: C's free releases them. */
    CHECK(flb.FLBGetPictureList(&codes, &count) == 1);
    CHECK(count == 2 && codes && codes[0] == 1 && codes[1] == 2);
    free(codes);
    CHECK(flb.FLBGetMovieList(&codes, &count) == 1 && count == 1 && codes && codes[0] == 3);
    free(codes);
    codes = (uint32_t*)1;
    CHECK(flb.FLBGetOrder(&codes, &count) == 1 && codes == NULL && count == 0);

    /* An argument may be the library's own buffer; a line break cannot start a key. */
    CHECK(flb.FLBSetName(2, flb.FLBGetURL(1)) == 1);
    CHECK(strcmp(flb.FLBGetName(2), "http://example.com/1") == 0);
    CHECK(flb.FLBSetName(1, "line\r\n[Flyerbank]\r\nVersion=9") == 1);
    CHECK(flb.FLBSetFavoriteFlag(1, 5) == 1);
    CHECK(flb.FLBSetFavoriteFlag(42, 1) == 0);
    CHECK(flb.FLBRemove(3) == 1 && !Exists(movie));
    CHECK(flb.FLBRemove(3) == 0);
    CHECK(strcmp(TakeMessages(), "") == 0);
    CHECK(flb.FLBSetFolder(folder) == 1);
    CHECK(flb.FLBGetFavoriteFlag(1) == 5 && flb.FLBGetName(3) == NULL);
    CHECK(strcmp(flb.FLBGetName(1), "line  [Flyerbank]  Version=9") == 0);

    /* A file deleted by hand drops out of the next list. */
    unlink(picture2);
    CHECK(flb.FLBGetPictureList(&codes, &count) == 1 && count == 1 && codes[0] == 1);
    free(codes);
}

static void RefusesLockedFolder(const char* path) {
    CHECK(flb.FLBSetFolder(path) == 0);
    CHECK(strcmp(TakeMessages(), "20010/16") == 0);
}

/* Runs check(path) as a user who cannot write everywhere: as root (which CI runs as), in a
 * child that has become nobody. */
static void AsUser(void (*check)(const char*), const char* path) {
    if (geteuid() == 0) fclose(fopen(messageLog, "a")), chmod(messageLog, 0666);
    pid_t child = geteuid() == 0 ? fork() : -1;
    if (child > 0) {
        int status = -1;
        waitpid(child, &status, 0);
        CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        TakeMessages();
        return;
    }
    if (child == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(100);
    check(path);
    if (child == 0) _exit(failures);
}

static void TestMessages(const char* root) {
    char path[400];
    uint32_t* codes;
    int32_t count;
    CHECK(flb.FLBSetFolder(NULL) == 0);
    CHECK(strcmp(TakeMessages(), "20007/16") == 0);
    CHECK(flb.FLBGetPictureList(NULL, &count) == 0 && flb.FLBGetMovieList(&codes, NULL) == 0 &&
          flb.FLBGetOrder(NULL, NULL) == 0);
    CHECK(strcmp(TakeMessages(), "20007/16 20007/16 20007/16") == 0);
    CHECK(flb.FLBUpdate(NULL, (FLB_HWND)1, 0, "1.0") == 0 && flb.FLBUpdate("u", NULL, 0, "1.0") == 0 &&
          flb.FLBUpdate("u", (FLB_HWND)1, 0, "") == 0 && flb.FLBNotifyAVLS(1, 0, "") == 0);
    CHECK(strcmp(TakeMessages(), "20007/16 20007/16 20007/16 20007/16") == 0);
    CHECK(flb.FLBSetFolder("") == 0);
    snprintf(path, sizeof path, "%s/no/such/parent", root);
    CHECK(flb.FLBSetFolder(path) == 0);
    WriteIn(path, sizeof path, root, "plain-file", "x");
    CHECK(flb.FLBSetFolder(path) == 0);
    CHECK(strcmp(TakeMessages(), "20009/16 20009/16 20010/16") == 0);
    snprintf(path, sizeof path, "%s/locked", root);
    mkdir(path, 0555);
    AsUser(RefusesLockedFolder, path);
    /* A missing folder whose parent exists is created, with or without its separator. */
    snprintf(path, sizeof path, "%s/fresh/", root);
    CHECK(flb.FLBSetFolder(path) == 1 && Exists(path));
    CHECK(flb.FLBUpdateCancel() == 0);
    CHECK(strcmp(TakeMessages(), "") == 0);
}

int main(int argc, char** argv) {
    if (argc < 2) { fprintf(stderr, "usage: c_host_test LIBRARY\n"); return 2; }
    char root[] = "/tmp/flb-host-test-XXXXXX";
    if (!mkdtemp(root)) { perror("mkdtemp"); return 2; }
    chmod(root, 0711); /* for the checks run as nobody */
    snprintf(messageLog, sizeof messageLog, "%s/messages.log", root);
    setenv("FLB_MESSAGE_LOG", messageLog, 1);

    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!lib) { fprintf(stderr, "%s\n", dlerror()); return 2; }
#define FLB_EXPORT(name, ordinal) Load(lib, (void**)&flb.name, #name);
#include "flyerbank_exports.inc"

    TestMessages(root);
    TestQueriesAndChanges(root);

    dlclose(lib);
    char cleanup[400];
    snprintf(cleanup, sizeof cleanup, "rm -rf '%s'", root);
    if (failures == 0 && system(cleanup) != 0) fprintf(stderr, "could not remove %s\n", root);
    if (failures) fprintf(stderr, "%d checks failed; files left in %s\n", failures, root);
    else printf("c_host_test: all checks passed\n");
    return failures ? 1 : 0;
}
