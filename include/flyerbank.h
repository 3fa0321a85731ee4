/*
 * Flyerbank: the ad library's interface for host applications.
 *
 * Every function runs on the calling thread and shows its own failures to the user
 * (a modal message box on Windows; on other systems the text on standard error).
 * While an update runs, every function but FLBUpdateCancel refuses (message, result 0).
 *
 * Ownership:
 *  - Returned texts (const char*) point into one library buffer of 260 bytes and stay
 *    valid only until the next call into the library. Copy what you keep.
 *  - Returned code arrays are allocated with calloc and belong to the caller, who
 *    releases them with free. No array is allocated when there is nothing to list:
 *    the array is NULL and the count 0.
 *    On Windows that calloc is msvcrt.dll's. A host built against msvcrt.dll (mingw-w64's
 *    default) calls free; a host built against another C runtime (the UCRT of any current
 *    compiler, or a debug runtime) must release them with msvcrt.dll's free, since its
 *    own free does not know them:
 *        typedef void (__cdecl *FreeFn)(void*);
 *        FreeFn msvcrtFree = (FreeFn)GetProcAddress(LoadLibraryA("msvcrt.dll"), "free");
 *        msvcrtFree(codes);
 *    (The library has msvcrt.dll loaded, so LoadLibraryA finds it at once; keep msvcrtFree
 *    for every later array.)
 *  - Text arguments are copied on entry; the library keeps no pointer to them.
 *
 * Texts are bytes in the system's ANSI code page (Japanese: code page 932).
 */
#ifndef FLYERBANK_H
#define FLYERBANK_H

#include <stdint.h>

/* The version of this header and of the library built with it (libflyerbank.so.1.0.0). */
#define FLB_VERSION_MAJOR 1
#define FLB_VERSION_MINOR 0
#define FLB_VERSION_PATCH 0

#ifdef _WIN32
#include <windows.h>
#define FLBAPI __cdecl
typedef HWND FLB_HWND;
#else
#define FLBAPI
/* A pointer-sized handle whose value is a file descriptor; the library writes the
 * completion as a 12-byte record (message, wParam, lParam: little-endian uint32). */
typedef void* FLB_HWND;
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Message posted to the host window when an update ends, and the cancel request. */
#define FLB_WM_UPDATE_DONE 0x8001
#define FLB_UPDATE_DONE 0      /* lParam 0 */
#define FLB_UPDATE_FAILED 1    /* lParam: the ad server's RESULT number, or 0 */
#define FLB_UPDATE_CANCELLED 2 /* lParam 0 */
/* A failed update's lParam is the number the ad server put after "RESULT:" when it
 * refused the list or an ad (the reference ad server sends 3 for a code it does not know);
 * 0 when the failure was the library's or the network's, already shown to the user.
 * Posting never waits: a message the window cannot take at once (a full pipe on POSIX)
 * is lost, as a full Windows queue refuses it. */

/* Starts an update in a worker thread; 1 when it has started. userId and clientVersion
 * must be non-empty, window non-zero. The completion is posted to window.
 * sendHeldCodes 0 asks the "ADS Get list" URL with the form
 * "CLNT_VER=<clientVersion>&USER_ID=<userId>"; non-zero (list-2 mode) asks the
 * "ADS Get list 2" URL with "USER_ID=<userId>&CONTS_CODE_LIST=<codes>", the code of every
 * ad held (seven digits each, comma-separated, nothing after "=" when none is held), so
 * the server may list according to what the client has; the client version is not sent.
 * Everything else, the answer and the data requests included, is the same in both modes.
 * userId (at most 40 bytes are kept) is also the one FLBNotifyAVLS sends afterwards. */
int32_t FLBAPI FLBUpdate(const char* userId, FLB_HWND window, int32_t sendHeldCodes,
                         const char* clientVersion);
/* Asks the running update to stop; 1 when a request was posted, 0 when none runs. */
int32_t FLBAPI FLBUpdateCancel(void);
/* Records that the ad was shown now and reports it to the log server; 1 when the log
 * server accepted it. text must be non-empty. The log server receives the line
 * "<userId>,<code as seven digits>,<number>,<text>" (sealed): number and text are the
 * host's to choose and mean what the host and its log server agree on (where the ad was
 * shown, say); the library passes them through. userId is that of the last FLBUpdate
 * this process made with valid arguments, empty before the first. */
int32_t FLBAPI FLBNotifyAVLS(uint32_t code, int32_t number, const char* text);
/* Makes path the ad folder (created when missing, its parent must exist) and loads its
 * catalogue; 1 on success. */
int32_t FLBAPI FLBSetFolder(const char* path);
/* Display order of the ads announced by the last update: *codes (calloc'd, caller frees)
 * and *count. */
int32_t FLBAPI FLBGetOrder(uint32_t** codes, int32_t* count);
/* Pictures held, newest file first: *codes (calloc'd, caller frees) and *count. */
int32_t FLBAPI FLBGetPictureList(uint32_t** codes, int32_t* count);
/* Movies held, newest file first: *codes (calloc'd, caller frees) and *count. */
int32_t FLBAPI FLBGetMovieList(uint32_t** codes, int32_t* count);
/* Name of the ad (possibly empty), or NULL when the code is not held. Library buffer. */
const char* FLBAPI FLBGetName(uint32_t code);
/* Favourite flag as stored, or 0. */
int32_t FLBAPI FLBGetFavoriteFlag(uint32_t code);
/* Full path of the ad's file, or NULL. Library buffer. */
const char* FLBAPI FLBGetFileName(uint32_t code);
/* Full path of the ad's thumbnail picture (a picture's own file), or NULL. Library buffer. */
const char* FLBAPI FLBGetThumbnail(uint32_t code);
/* Link URL of the ad, or NULL when the code is not held. Library buffer. Only a link
 * that begins with "http://" or "https://" (either case, nothing before it) is kept, so
 * opening it with the shell shows a web page and never starts a program; any other link
 * (file:, a share, a drive path, javascript:, ...) gives the empty text, as no link does. */
const char* FLBAPI FLBGetURL(uint32_t code);
/* Renames the ad (NULL: empty name) and saves the catalogue; 1 on success. */
int32_t FLBAPI FLBSetName(uint32_t code, const char* name);
/* Stores the favourite flag unchanged and saves; 1 on success. */
int32_t FLBAPI FLBSetFavoriteFlag(uint32_t code, int32_t flag);
/* Deletes the ad's file (and a movie's thumbnail) and its record, then saves. */
int32_t FLBAPI FLBRemove(uint32_t code);

#ifdef __cplusplus
}
#endif

#endif /* FLYERBANK_H */
