// What a Windows host has: the DLL loaded with LoadLibraryA and its exports taken by
// ordinal, a real window that receives the completion, a message loop, and the message
// boxes the library shows, captured by a CBT hook on every thread of the process and
// closed at once.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "HostC.h"

struct Library : HostLibrary {
    // Flyerbank.dll beside the test program, loaded once; its state lives on between tests.
    static Library& Get();
};

struct ShownBox {
    std::string text;   // as the box shows it, code page 932
    bool stopIcon;      // MB_ICONHAND; a box without an icon is MB_OK
    std::wstring wide;  // as the wide functions read it, whatever the code page
};

// Records the message boxes of every thread of the process while it lives (one at a time).
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
void ClearServerUrls();
inline void UseServer(const std::string& base, const std::string& notify = "") {
    HostUseServer(base.c_str(), notify.c_str());
}

// A code list from the library, sorted, its array freed with the msvcrt.dll the library's
// calloc came from.
std::vector<uint32_t> Codes(int32_t (*list)(uint32_t**, int32_t*));

// From the test script: where the reference servers listen ("" when not running).
std::string EnvOr(const char* name, const char* fallback = "");

// The string table's text of an id, as the library shows it (code page 932).
std::string StringOf(unsigned id);

// The library, an ad folder, a window for the completions and the boxes shown.
class HostTest : public ::testing::Test {
protected:
    void TearDown() override { ClearServerUrls(); }
    // Starts an update at the window and hooks its worker.
    bool Start(int32_t list2 = 0) {
        const bool started = lib.FLBUpdate("user1", host.Handle(), list2, "1.0") == 1;
        boxes.HookNewThreads();
        return started;
    }
    // One update from the server at base to its completion ({9, 9} when none came).
    HostWindow::Completion Run(const std::string& base) {
        UseServer(base);
        boxes.Clear();
        const size_t before = host.Completions().size();
        EXPECT_TRUE(Start());
        EXPECT_TRUE(host.WaitForCompletions(before + 1, 60000));
        return host.Completions().size() > before ? host.Completions()[before] : HostWindow::Completion{9, 9};
    }

    Library& lib = Library::Get();
    TempFolder ads;
    HostWindow host;
    BoxRecorder boxes;
};
