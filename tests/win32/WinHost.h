// What a Windows host has: the DLL loaded with LoadLibraryA and its exports taken by
// ordinal, a real window that receives the completion, a message loop, and the message
// boxes the library shows, captured by a CBT hook on every thread of the process and
// closed at once.
#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "flyerbank.h"

struct Library {
    HMODULE module = nullptr;
#define FLB_EXPORT(name, ordinal) decltype(&::name) name = nullptr;
#include "flyerbank_exports.inc"

    // Flyerbank.dll beside the test program, loaded once; its state lives on between tests.
    static Library& Get();
};

struct ShownBox {
    std::string text;  // as the box shows it, code page 932
    bool stopIcon;     // MB_ICONHAND; a box without an icon is MB_OK
};

// Records the message boxes of every thread of the process while it lives.
class BoxRecorder {
public:
    BoxRecorder();
    ~BoxRecorder();
    // Hooks the threads started since (the update worker): call after FLBUpdate.
    void HookNewThreads();
    std::vector<ShownBox> Shown() const;
    void Clear();
    // Runs on the box's thread as each box opens, before it is answered.
    void OnOpen(std::function<void(HWND box)> look);

private:
    static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam);
    static constexpr int kMaxThreads = 64;
    DWORD m_threads[kMaxThreads];
    HHOOK m_hooks[kMaxThreads];
    int m_count = 0;
};

// A top-level window of the test's thread; completions land in Completions().
class HostWindow {
public:
    HostWindow();
    ~HostWindow();
    HWND Handle() const { return m_window; }
    struct Completion {
        WPARAM outcome;
        LPARAM result;
    };
    const std::vector<Completion>& Completions() const { return m_completions; }
    // Runs on the window's thread when a completion arrives, inside its dispatch.
    void OnCompletion(std::function<void(const Completion&)> handler) { m_handler = std::move(handler); }
    // Dispatches messages until `count` completions have arrived or `ms` have passed.
    bool WaitForCompletions(size_t count, DWORD ms);

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    HWND m_window = nullptr;
    std::vector<Completion> m_completions;
    std::function<void(const Completion&)> m_handler;
};

// Dispatches the thread's messages for `ms`, as a host's loop would.
void PumpMessages(DWORD ms);

// A folder of its own under the system's temporary folder, gone with the object.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    std::string Folder() const { return m_path + "\\"; }
    std::string Path(const std::string& name) const { return m_path + "\\" + name; }

private:
    std::string m_path;
};

void WriteBytes(const std::string& path, const std::string& bytes);
std::string ReadBytes(const std::string& path);
bool FileExists(const std::string& path);

// The registry values the library reads its server URLs from.
void SetServerUrls(const std::string& list, const std::string& list2, const std::string& data,
                   const std::string& notify);
void ClearServerUrls();

// From the test script: where the reference servers listen ("" when not running).
std::string EnvOr(const char* name, const char* fallback = "");

// The string table's text of an id, as the library shows it (code page 932).
std::string StringOf(unsigned id);
