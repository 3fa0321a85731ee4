#include "WinHost.h"

#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "res/StringTable.h"

Library& Library::Get() {
    static Library library = [] {
        Library l;
        char exe[MAX_PATH];
        GetModuleFileNameA(nullptr, exe, sizeof exe);
        std::string path = exe;
        path = path.substr(0, path.find_last_of('\\') + 1) + "Flyerbank.dll";
        l.module = LoadLibraryA(path.c_str());
        if (!l.module) {
            std::fprintf(stderr, "cannot load %s: error %lu\n", path.c_str(), GetLastError());
            std::abort();
        }
        // By ordinal, as the definition file numbers them: a host may link either way.
        auto at = [&](int ordinal) { return reinterpret_cast<void*>(GetProcAddress(l.module, MAKEINTRESOURCEA(ordinal))); };
#define FLB_BY_ORDINAL(name, ordinal) l.name = reinterpret_cast<decltype(l.name)>(at(ordinal));
        FLB_BY_ORDINAL(FLBUpdate, 10)
        FLB_BY_ORDINAL(FLBUpdateCancel, 11)
        FLB_BY_ORDINAL(FLBNotifyAVLS, 12)
        FLB_BY_ORDINAL(FLBSetFolder, 13)
        FLB_BY_ORDINAL(FLBGetOrder, 14)
        FLB_BY_ORDINAL(FLBGetPictureList, 15)
        FLB_BY_ORDINAL(FLBGetName, 16)
        FLB_BY_ORDINAL(FLBGetFavoriteFlag, 17)
        FLB_BY_ORDINAL(FLBGetFileName, 18)
        FLB_BY_ORDINAL(FLBGetURL, 19)
        FLB_BY_ORDINAL(FLBSetName, 20)
        FLB_BY_ORDINAL(FLBSetFavoriteFlag, 21)
        FLB_BY_ORDINAL(FLBRemove, 22)
        FLB_BY_ORDINAL(FLBGetMovieList, 23)
        FLB_BY_ORDINAL(FLBGetThumbnail, 24)
#undef FLB_BY_ORDINAL
        return l;
    }();
    return library;
}

namespace {
std::mutex g_boxLock;
std::vector<ShownBox> g_boxes;
std::function<void(HWND)> g_onOpen;
BoxRecorder* g_recorder = nullptr;

// A message box is a dialog with the text control 0xFFFF; the progress dialog has none.
bool IsMessageBox(HWND window) {
    char cls[16] = {};
    GetClassNameA(window, cls, sizeof cls);
    return std::string(cls) == "#32770" && GetDlgItem(window, 0xFFFF) != nullptr;
}
// The icon sits in a static control of the icon kind, whatever its id on this system.
bool HasIcon(HWND box) {
    bool icon = false;
    EnumChildWindows(
        box,
        [](HWND child, LPARAM found) -> BOOL {
            char cls[16] = {};
            GetClassNameA(child, cls, sizeof cls);
            if (lstrcmpiA(cls, "Static") == 0 && (GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
                SendMessageA(child, STM_GETICON, 0, 0) != 0)
                *reinterpret_cast<bool*>(found) = true;
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&icon));
    return icon;
}

}  // namespace

BoxRecorder::BoxRecorder() {
    g_recorder = this;
    Clear();
    HookNewThreads();
}

BoxRecorder::~BoxRecorder() {
    for (auto& h : m_hooks) UnhookWindowsHookEx(h.second);
    OnOpen(nullptr);
    g_recorder = nullptr;
}

void BoxRecorder::OnOpen(std::function<void(HWND)> look) {
    std::lock_guard<std::mutex> hold(g_boxLock);
    g_onOpen = std::move(look);
}

void BoxRecorder::HookNewThreads() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != GetCurrentProcessId()) continue;
        bool known = false;
        for (auto& h : m_hooks) known = known || h.first == entry.th32ThreadID;
        if (known) continue;
        if (HHOOK hook = SetWindowsHookExA(WH_CBT, Hook, nullptr, entry.th32ThreadID))
            m_hooks.emplace_back(entry.th32ThreadID, hook);
    }
    CloseHandle(snapshot);
}

LRESULT CALLBACK BoxRecorder::Hook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE) {
        HWND window = reinterpret_cast<HWND>(wParam);
        if (IsMessageBox(window)) {
            char text[4096] = {};
            GetDlgItemTextA(window, 0xFFFF, text, sizeof text);
            std::function<void(HWND)> look;
            {
                std::lock_guard<std::mutex> hold(g_boxLock);
                g_boxes.push_back({text, HasIcon(window)});
                look = g_onOpen;
            }
            if (look) look(window);
            // Answered as a user would; the box's own loop ends it.
            PostMessageA(window, WM_COMMAND, IDOK, 0);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

std::vector<ShownBox> BoxRecorder::Shown() const {
    std::lock_guard<std::mutex> hold(g_boxLock);
    return g_boxes;
}

void BoxRecorder::Clear() {
    std::lock_guard<std::mutex> hold(g_boxLock);
    g_boxes.clear();
}

HostWindow::HostWindow() {
    static const char* kClass = [] {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = WindowProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "FlbTestHost";
        RegisterClassA(&wc);
        return "FlbTestHost";
    }();
    m_window = CreateWindowExA(0, kClass, "host", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                               GetModuleHandleA(nullptr), this);
}

HostWindow::~HostWindow() {
    if (m_window) DestroyWindow(m_window);
}

LRESULT CALLBACK HostWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<HostWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (self && message == FLB_WM_UPDATE_DONE) {
        Completion c{wParam, lParam};
        self->m_completions.push_back(c);
        if (self->m_handler) self->m_handler(c);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

bool HostWindow::WaitForCompletions(size_t count, DWORD ms) {
    const DWORD start = GetTickCount();
    while (m_completions.size() < count) {
        const DWORD spent = GetTickCount() - start;
        if (spent >= ms) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - spent < 50 ? ms - spent : 50, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    return true;
}

void PumpMessages(DWORD ms) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < ms) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
}

TempFolder::TempFolder() {
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    static unsigned serial = 0;
    for (;;) {
        char name[MAX_PATH];
        std::snprintf(name, sizeof name, "%sflb-test-%lu-%u", base, GetCurrentProcessId(), serial++);
        if (CreateDirectoryA(name, nullptr)) {
            m_path = name;
            return;
        }
    }
}

TempFolder::~TempFolder() {
    // Two levels are all a test makes: the ad folder and the library's scratch folders.
    std::function<void(const std::string&)> remove = [&](const std::string& folder) {
        WIN32_FIND_DATAA found;
        HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &found);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const std::string name = found.cFileName;
                if (name == "." || name == "..") continue;
                const std::string path = folder + "\\" + name;
                SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) remove(path);
                else DeleteFileA(path.c_str());
            } while (FindNextFileA(find, &found));
            FindClose(find);
        }
        RemoveDirectoryA(folder.c_str());
    };
    remove(m_path);
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool FileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

namespace {
const char kKey[] = "Software\\QUILLMARK\\Tidewell Client";

void SetValue(HKEY key, const char* name, const std::string& value) {
    if (value.empty()) RegDeleteValueA(key, name);
    else RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>(value.size() + 1));
}
}  // namespace

void SetServerUrls(const std::string& list, const std::string& list2, const std::string& data,
                   const std::string& notify) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != 0) return;
    SetValue(key, "ADS Get list", list);
    SetValue(key, "ADS Get list 2", list2);
    SetValue(key, "ADS Get data", data);
    SetValue(key, "AVLS Notify", notify);
    RegCloseKey(key);
}

void ClearServerUrls() { RegDeleteKeyA(HKEY_CURRENT_USER, kKey); }

std::string EnvOr(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return v && *v ? v : fallback;
}

std::string StringOf(unsigned id) { return LoadResString(id); }
