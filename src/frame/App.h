// The library object: all state that outlives one call into the library.
#pragma once
#include <atomic>
#include <memory>
#include <vector>

#include "catalogue/AdCatalog.h"
#include "frame/Afx.h"
#include "platform/ThreadQueue.h"

class CProgressDlg;

// The worker of one update, with the progress window that belongs to it. theApp keeps it
// until the thread has ended, so nothing the host can reach ever points at a dead one.
struct CWinThread {
    CWinThread();
    ~CWinThread();
    platform::ThreadId m_nThreadID = 0;
    std::unique_ptr<platform::Thread> m_pThread;
    std::unique_ptr<CProgressDlg> m_pDialog;
};

using HWND = void*;

class CFlyerbankApp {
public:
    CFlyerbankApp() = default;
    // Runs ExitInstance: the library's last moment, at unloading or at exit.
    ~CFlyerbankApp();
    CFlyerbankApp(const CFlyerbankApp&) = delete;
    CFlyerbankApp& operator=(const CFlyerbankApp&) = delete;

    BOOL InitInstance();
    int ExitInstance();
    static CString GetModuleFolder();

    bool IsUpdateRunning() const { return m_pUpdateThread.load() != nullptr; }

    // Longest ad folder (with its separator) in which every path the library makes still
    // fits the system's path limit of 260 bytes with the terminator.
    static size_t MaxFolderLength();

    CString m_strFolder;
    CAdCatalog m_catalogue;
    std::atomic<CWinThread*> m_pUpdateThread{nullptr};
    // Set before the flag, so a cancel request always knows where to go.
    std::atomic<platform::ThreadId> m_nUpdateThreadId{0};
    // Workers started and not yet joined; the host's thread alone changes the list.
    std::vector<std::unique_ptr<CWinThread>> m_workers;
    char m_szUserId[41] = {};
    HWND m_hNotifyWnd = nullptr;
    std::vector<CAdRecord> m_announcedAds;
    int32_t m_bSendHeldCodes = 0;
    CString m_strClientVersion;
    CString m_strRegistryKey;
};

extern CFlyerbankApp theApp;
