// The list of the library's threads, and the library's end while the process goes on:
// DLL_PROCESS_DETACH, under the loader lock, where no thread may be joined (its exit needs
// that lock), none may be terminated (the loader would keep it listed) and no wait may be
// unbounded. A worker cannot unwind there either: Wine's x64 unwinder takes the loader
// lock too. So a thread that meets the cancel once the library is ending parks itself
// (ParkForLibraryEnd), holding no lock but its stack, and lets its catalogue locks go. The
// end waits a bounded time for that, then gives each thread still listed a reference of
// its own on the DLL, which it drops with FreeLibraryAndExitThread: a parked thread at
// once, without touching anything the end destroyed; an exchange blocked on a silent
// server, which Wine's internet layer cannot interrupt, when its call returns. Until then
// the image stays mapped; the library itself has ended when FreeLibrary returns.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "platform/CatalogLock.h"
#include "platform/ThreadQueue.h"
#include "platform/win32/Module.h"

namespace platform {
namespace {

constexpr DWORD kEndBoundMs = 500;

struct Listed {
    DWORD id = 0;
    HANDLE parked = nullptr;   // set by the thread when it parks or ends
    HANDLE release = nullptr;  // set by the library's end, once `given` is there
    HMODULE given = nullptr;
};
// Never destroyed: the runtime's destructors run at the library's end, and a listed
// thread may go on after it.
struct Threads {
    std::mutex lock;
    std::vector<Listed*> listed;
};
Threads& List() {
    static Threads* threads = new Threads;
    return *threads;
}
std::atomic<bool> g_ending{false};

struct Start {
    LPTHREAD_START_ROUTINE body;
    void* param;
    Listed* entry;
};

HMODULE HoldSelf() {
    HMODULE held = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&ThisModule), &held);
    return held;
}

// Unlists the entry and returns the reference the library's end gave it, if any.
HMODULE Unlist(Listed* entry) {
    std::lock_guard<std::mutex> hold(List().lock);
    auto& listed = List().listed;
    listed.erase(std::remove(listed.begin(), listed.end(), entry), listed.end());
    return entry->given;
}

DWORD WINAPI Run(void* param) {
    Start start = *static_cast<Start*>(param);
    delete static_cast<Start*>(param);
    const DWORD code = start.body(start.param);
    // The way out is FreeLibraryAndExitThread, which never returns into the DLL: with a
    // reference of our own, or with the one the library's end gave while we waited here.
    SetEvent(start.entry->parked);
    HMODULE own = HoldSelf();
    HMODULE given = Unlist(start.entry);
    CloseHandle(start.entry->parked);
    CloseHandle(start.entry->release);
    delete start.entry;
    if (given) {
        if (own) FreeLibrary(own);
        FreeLibraryAndExitThread(given, code);
    }
    if (own) FreeLibraryAndExitThread(own, code);
    return code;
}

// A box the thread shows is answered, as its user would: the thread can then finish.
BOOL CALLBACK AnswerBox(HWND window, LPARAM) {
    char cls[16] = {};
    GetClassNameA(window, cls, sizeof cls);
    if (lstrcmpA(cls, "#32770") == 0 && GetDlgItem(window, 0xFFFF)) PostMessageA(window, WM_COMMAND, IDOK, 0);
    return TRUE;
}

}  // namespace

HANDLE StartLibraryThread(LPTHREAD_START_ROUTINE body, void* param) {
    HMODULE self = ThisModule();
    // A program that links the code itself unloads nothing under its threads.
    if (!self || self == GetModuleHandleA(nullptr)) return CreateThread(nullptr, 0, body, param, 0, nullptr);
    auto* entry = new Listed;
    entry->parked = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    entry->release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    auto* start = new Start{body, param, entry};
    HANDLE handle = entry->parked && entry->release
                        ? CreateThread(nullptr, 0, Run, start, CREATE_SUSPENDED, &entry->id)
                        : nullptr;
    if (!handle) {
        for (HANDLE h : {entry->parked, entry->release})
            if (h) CloseHandle(h);
        delete entry;
        delete start;
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> hold(List().lock);
        List().listed.push_back(entry);
    }
    ResumeThread(handle);
    return handle;
}

bool LibraryEnding() { return g_ending; }


void ParkForLibraryEnd() {
    Listed* entry = nullptr;
    {
        std::lock_guard<std::mutex> hold(List().lock);
        for (Listed* t : List().listed)
            if (t->id == GetCurrentThreadId()) entry = t;
    }
    if (!entry) return;  // not one of ours: a host thread unwinds as it can
    CatalogLock::ReleaseHeldByThisThread();
    SetEvent(entry->parked);
    WaitForSingleObject(entry->release, INFINITE);
    // What the stack holds stays: the library it belonged to is gone.
    FreeLibraryAndExitThread(Unlist(entry), 0);
}

void EndLibraryThreads() {
    g_ending = true;
    std::vector<Listed*> listed;
    {
        // Those an earlier call has seen to are left alone.
        std::lock_guard<std::mutex> hold(List().lock);
        for (Listed* t : List().listed)
            if (!t->given) listed.push_back(t);
    }
    for (const Listed* t : listed) EnumThreadWindows(t->id, AnswerBox, 0);
    const DWORD start = GetTickCount();
    for (const Listed* t : listed) {
        const DWORD spent = GetTickCount() - start;
        WaitForSingleObject(t->parked, spent < kEndBoundMs ? kEndBoundMs - spent : 0);
    }
    std::lock_guard<std::mutex> hold(List().lock);
    for (Listed* t : List().listed) {
        if (!t->given) t->given = HoldSelf();
        SetEvent(t->release);
    }
}

}  // namespace platform
