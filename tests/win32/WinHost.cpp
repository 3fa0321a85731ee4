#include "WinHost.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <shellapi.h>

#include "res/StringTable.h"

Library& Library::Get() {
    static Library library = [] {
        Library l;
        char exe[MAX_PATH];
        GetModuleFileNameA(nullptr, exe, sizeof exe);
        std::string path = exe;
        path = path.substr(0, path.find_last_of('\\') + 1) + "Flyerbank.dll";
        if (!HostLoadLibrary(&l, path.c_str())) {
            std::fprintf(stderr, "cannot load %s or its exports: error %lu\n", path.c_str(), GetLastError());
            std::abort();
        }
        return l;
    }();
    return library;
}

std::vector<uint32_t> Codes(int32_t (*list)(uint32_t**, int32_t*)) {
    uint32_t* codes = nullptr;
    int32_t count = 0;
    EXPECT_EQ(1, list(&codes, &count));
    std::vector<uint32_t> out(codes, codes + count);
    std::free(codes);
    std::sort(out.begin(), out.end());
    return out;
}

// The C hosts' recorder; its state is this file's own.
namespace {
std::function<void(HWND)> g_onOpen;
void OnOpenBox(HWND box) { g_onOpen(box); }
}  // namespace

BoxRecorder::BoxRecorder() {
    HostBoxesReset();
    HookNewThreads();
}

BoxRecorder::~BoxRecorder() {
    HostBoxesReset();
    OnOpen(nullptr);
}

void BoxRecorder::OnOpen(std::function<void(HWND)> look) {
    hostBoxes.onOpen = nullptr;
    g_onOpen = std::move(look);
    if (g_onOpen) hostBoxes.onOpen = OnOpenBox;
}

void BoxRecorder::HookNewThreads() { HostHookNewThreads(); }

std::vector<ShownBox> BoxRecorder::Shown() const {
    std::vector<ShownBox> shown;
    for (LONG i = 0; i < hostBoxes.count && i < HOST_MAX_BOXES; ++i)
        shown.push_back({hostBoxes.text[i], hostBoxes.stopIcon[i] != 0, hostBoxes.wide[i]});
    return shown;
}

void BoxRecorder::Clear() { hostBoxes.count = 0; }

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
    while (m_completions.size() < count)
        if (GetTickCount() - start >= ms) return false;
        else HostPump(20);
    return true;
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
    // The shell's delete takes the read-only files a cabinet may leave too.
    const std::string from = m_path + '\0';  // a list of names, ended by an empty one
    SHFILEOPSTRUCTA op = {};
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = FOF_NO_UI;
    SHFileOperationA(&op);
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

void ClearServerUrls() { RegDeleteKeyA(HKEY_CURRENT_USER, HOST_REGISTRY_KEY); }

std::string EnvOr(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return v && *v ? v : fallback;
}

std::string StringOf(unsigned id) { return LoadResString(id); }
