/* A host in plain C: loads the library with dlopen and drives it only through the
 * exported functions, as a real host does. Messages are read back through
 * FLB_MESSAGE_LOG, which the library's default presenter appends "id type" lines to. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "flyerbank.h"

static int failures;
#define CHECK(cond)                                                         \
    do {                                                                    \
        if (!(cond)) {                                                      \
            fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                     \
        }                                                                   \
    } while (0)

static struct {
#define FLB_EXPORT(name, ordinal) __typeof__(&name) name;
#include "flyerbank_exports.inc"
} flb;

static char messageLog[512];

/* The ids shown since the last call, as "id id ...", and clears the log. */
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

static void WriteFile(const char* path, const char* text) {
    FILE* f = fopen(path, "wb");
    if (!f) { perror(path); exit(2); }
    fputs(text, f);
    fclose(f);
}

static char* ReadFile(const char* path) {
    FILE* f = fopen(path, "rb");
    if (!f) return NULL;
    fseek(f, 0, SEEK_END);
    long n = ftell(f);
    fseek(f, 0, SEEK_SET);
    char* text = calloc((size_t)n + 1, 1);
    if (fread(text, 1, (size_t)n, f) != (size_t)n) n = 0;
    fclose(f);
    return text;
}

static int Exists(const char* path) { return access(path, F_OK) == 0; }

static void PathIn(char* out, size_t size, const char* folder, const char* name) {
    snprintf(out, size, "%s/%s", folder, name);
}

/* Appends one catalogue entry to text. */
static void Entry(char* text, size_t size, int index, const char* name, const char* file, unsigned id,
                  int type, const char* url, unsigned favorite, unsigned priority) {
    size_t len = strlen(text);
    snprintf(text + len, size - len,
             "[AD%04d]\r\nName=%s\r\nFile=%s\r\nID=%u\r\nType=%d\r\nURL=%s\r\nTime=0\r\nFavorite=%u\r\n"
             "Priority=%u\r\n",
             index, name, file, id, type, url, favorite, priority);
}

static void Load(void* lib, void** slot, const char* name) {
    *slot = dlsym(lib, name);
    if (!*slot) { fprintf(stderr, "missing export %s\n", name); exit(2); }
}

static void TestQueriesAndChanges(const char* root) {
    char folder[300], path[400], thumb[400], movie[400], text[8192] = "";
    PathIn(folder, sizeof folder, root, "ads");
    mkdir(folder, 0755);
    /* Picture 2 first, a second before picture 1, so newest-first is not code order. */
    PathIn(path, sizeof path, folder, "0000002.png");
    WriteFile(path, "png");
    sleep(1);
    PathIn(path, sizeof path, folder, "0000001.jpg");
    WriteFile(path, "jpg");
    PathIn(movie, sizeof movie, folder, "0000003.wmv");
    WriteFile(movie, "wmv");
    PathIn(thumb, sizeof thumb, folder, "0000003.jpg");
    WriteFile(thumb, "thumb");
    PathIn(path, sizeof path, folder, "0000004.asf");
    WriteFile(path, "asf");

    strcat(text, "[Flyerbank]\r\nVersion=1.1\r\nCount=6\r\n");
    char file[400];
    PathIn(file, sizeof file, folder, "0000001.jpg");
    Entry(text, sizeof text, 0, "\x8dL\x8d\x90 one", file, 1, 0, "http://example.com/1", 0, 3);
    PathIn(file, sizeof file, folder, "0000002.png");
    Entry(text, sizeof text, 1, "", file, 2, 0, "", 0, 1);
    Entry(text, sizeof text, 2, "movie", movie, 3, 1, "http://example.com/3", 1, 9);
    PathIn(file, sizeof file, folder, "0000004.asf");
    Entry(text, sizeof text, 3, "bare movie", file, 4, 1, "u4", 0, 0);
    PathIn(file, sizeof file, folder, "0000009.jpg"); /* no such file: dropped */
    Entry(text, sizeof text, 4, "gone", file, 9, 0, "u9", 0, 0);
    /* AD0005 is missing although Count says 6: dropped too. */
    PathIn(path, sizeof path, folder, "Flyerbank.dat");
    WriteFile(path, text);

    CHECK(flb.FLBSetFolder(folder) == 1);
    CHECK(strcmp(TakeMessages(), "") == 0);

    CHECK(flb.FLBGetName(1) && strcmp(flb.FLBGetName(1), "\x8dL\x8d\x90 one") == 0);
    CHECK(flb.FLBGetName(2) && strcmp(flb.FLBGetName(2), "") == 0);
    CHECK(flb.FLBGetName(9) == NULL);
    CHECK(flb.FLBGetFileName(3) && strcmp(flb.FLBGetFileName(3), movie) == 0);
    CHECK(flb.FLBGetThumbnail(3) && strcmp(flb.FLBGetThumbnail(3), thumb) == 0);
    CHECK(flb.FLBGetThumbnail(4) == NULL);
    PathIn(path, sizeof path, folder, "0000001.jpg");
    CHECK(flb.FLBGetThumbnail(1) && strcmp(flb.FLBGetThumbnail(1), path) == 0);
    CHECK(flb.FLBGetURL(2) && strcmp(flb.FLBGetURL(2), "") == 0);
    CHECK(flb.FLBGetURL(3) && strcmp(flb.FLBGetURL(3), "http://example.com/3") == 0);
    CHECK(flb.FLBGetFavoriteFlag(3) == 1 && flb.FLBGetFavoriteFlag(1) == 0);

    /* A text returned by one export is the next one's scratch: the library must copy it. */
    const char* before = flb.FLBGetName(1);
    flb.FLBGetURL(3);
    CHECK(strcmp(before, "http://example.com/3") == 0);

    uint32_t* codes = (uint32_t*)1;
    int32_t count = -1;
    CHECK(flb.FLBGetPictureList(&codes, &count) == 1);
    CHECK(count == 2 && codes && codes[0] == 1 && codes[1] == 2);
    free(codes);
    CHECK(flb.FLBGetMovieList(&codes, &count) == 1);
    CHECK(count == 2 && codes && codes[0] == 4 && codes[1] == 3);
    free(codes);

    /* The order of an update that has not happened: nothing announced. */
    codes = (uint32_t*)1;
    CHECK(flb.FLBGetOrder(&codes, &count) == 1 && codes == NULL && count == 0);

    CHECK(flb.FLBSetName(2, flb.FLBGetURL(1)) == 1);
    CHECK(strcmp(flb.FLBGetName(2), "http://example.com/1") == 0);
    CHECK(flb.FLBSetName(2, "line\r\n[Flyerbank]\r\nVersion=9") == 1);
    CHECK(flb.FLBSetFavoriteFlag(1, 5) == 1);
    CHECK(flb.FLBSetFavoriteFlag(42, 1) == 0);
    CHECK(strcmp(TakeMessages(), "") == 0);

    /* Everything survives a reload from the file. */
    CHECK(flb.FLBSetFolder(folder) == 1);
    CHECK(flb.FLBGetFavoriteFlag(1) == 5);
    CHECK(strcmp(flb.FLBGetName(2), "line  [Flyerbank]  Version=9") == 0);
    PathIn(path, sizeof path, folder, "Flyerbank.dat");
    char* saved = ReadFile(path);
    CHECK(saved && strstr(saved, "[Flyerbank]\r\nVersion=1.1\r\nCount=4\r\n[AD0000]\r\nName=") == saved);
    CHECK(saved && strstr(saved, "0000009") == NULL);
    free(saved);

    /* Removing a movie takes its thumbnail with it. */
    CHECK(flb.FLBRemove(3) == 1);
    CHECK(!Exists(movie) && !Exists(thumb));
    CHECK(flb.FLBGetName(3) == NULL);
    CHECK(flb.FLBRemove(3) == 0);
    CHECK(strcmp(TakeMessages(), "") == 0);
    CHECK(flb.FLBSetFolder(folder) == 1);
    CHECK(flb.FLBGetName(3) == NULL && flb.FLBGetName(4) != NULL);

    /* Deleting a file by hand drops it from the next list. */
    PathIn(path, sizeof path, folder, "0000002.png");
    unlink(path);
    CHECK(flb.FLBGetPictureList(&codes, &count) == 1 && count == 1 && codes[0] == 1);
    free(codes);
}

static void TestNothingOutsideTheFolder(const char* root) {
    char folder[300], outside[300], path[400], victim[400], text[4096] = "";
    char viaDots[700], viaLink[700], link[400];
    PathIn(folder, sizeof folder, root, "safe");
    PathIn(outside, sizeof outside, root, "elsewhere");
    mkdir(folder, 0755);
    mkdir(outside, 0755);
    PathIn(victim, sizeof victim, outside, "0000001.jpg");
    WriteFile(victim, "keep me");
    chmod(victim, 0444);
    snprintf(viaDots, sizeof viaDots, "%s/../elsewhere/0000001.jpg", folder);
    PathIn(link, sizeof link, folder, "link");
    symlink(outside, link);
    snprintf(viaLink, sizeof viaLink, "%s/0000001.jpg", link);
    PathIn(path, sizeof path, outside, "0000002.asf");
    WriteFile(path, "movie elsewhere");
    char thumbOutside[400];
    PathIn(thumbOutside, sizeof thumbOutside, outside, "0000002.jpg");
    WriteFile(thumbOutside, "thumb elsewhere");

    strcat(text, "[Flyerbank]\r\nVersion=1.1\r\nCount=3\r\n");
    Entry(text, sizeof text, 0, "dots", viaDots, 1, 0, "", 0, 0);
    Entry(text, sizeof text, 1, "absolute", path, 2, 1, "", 0, 0);
    Entry(text, sizeof text, 2, "link", viaLink, 3, 0, "", 0, 0);
    char dat[400];
    PathIn(dat, sizeof dat, folder, "Flyerbank.dat");
    WriteFile(dat, text);

    CHECK(flb.FLBSetFolder(folder) == 1);
    CHECK(flb.FLBGetName(1) && flb.FLBGetName(2) && flb.FLBGetName(3));
    CHECK(flb.FLBRemove(1) == 1 && flb.FLBRemove(2) == 1 && flb.FLBRemove(3) == 1);
    CHECK(flb.FLBGetName(1) == NULL && flb.FLBGetName(2) == NULL);
    struct stat st;
    CHECK(stat(victim, &st) == 0 && (st.st_mode & 0777) == 0444);
    CHECK(Exists(path) && Exists(thumbOutside));
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
    CHECK(strcmp(TakeMessages(), "20009/16") == 0);
    PathIn(path, sizeof path, root, "no/such/parent");
    CHECK(flb.FLBSetFolder(path) == 0);
    CHECK(strcmp(TakeMessages(), "20009/16") == 0);
    PathIn(path, sizeof path, root, "plain-file");
    WriteFile(path, "x");
    CHECK(flb.FLBSetFolder(path) == 0);
    CHECK(strcmp(TakeMessages(), "20010/16") == 0);
    if (geteuid() != 0) { /* root may write anywhere */
        PathIn(path, sizeof path, root, "locked");
        mkdir(path, 0500);
        CHECK(flb.FLBSetFolder(path) == 0);
        CHECK(strcmp(TakeMessages(), "20010/16") == 0);
    }
    char longPath[400];
    memset(longPath, 'a', 300);
    longPath[0] = '/';
    longPath[300] = '\0';
    CHECK(flb.FLBSetFolder(longPath) == 0);
    CHECK(strcmp(TakeMessages(), "20007/16") == 0);
    /* A missing folder whose parent exists is created, with or without its separator. */
    PathIn(path, sizeof path, root, "fresh/");
    CHECK(flb.FLBSetFolder(path) == 1 && Exists(path));
    CHECK(flb.FLBUpdateCancel() == 0);
    CHECK(strcmp(TakeMessages(), "") == 0);
}

int main(int argc, char** argv) {
    if (argc < 2) { fprintf(stderr, "usage: c_host_test LIBRARY\n"); return 2; }
    char root[] = "/tmp/flb-host-test-XXXXXX";
    if (!mkdtemp(root)) { perror("mkdtemp"); return 2; }
    PathIn(messageLog, sizeof messageLog, root, "messages.log");
    setenv("FLB_MESSAGE_LOG", messageLog, 1);

    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!lib) { fprintf(stderr, "%s\n", dlerror()); return 2; }
#define FLB_EXPORT(name, ordinal) Load(lib, (void**)&flb.name, #name);
#include "flyerbank_exports.inc"

    TestMessages(root);
    TestQueriesAndChanges(root);
    TestNothingOutsideTheFolder(root);

    dlclose(lib);
    char cleanup[400];
    snprintf(cleanup, sizeof cleanup, "rm -rf '%s'", root);
    if (failures == 0 && system(cleanup) != 0) fprintf(stderr, "could not remove %s\n", root);
    if (failures) fprintf(stderr, "%d checks failed; files left in %s\n", failures, root);
    else printf("c_host_test: all checks passed\n");
    return failures ? 1 : 0;
}
