// The library object: all state that outlives one call into the library.
#pragma once
#include <atomic>

#include "catalogue/AdCatalog.h"
#include "frame/Afx.h"
#include "platform/ThreadQueue.h"

// The worker of a running update; only its id is ever used across threads.
struct CWinThread {
    platform::ThreadId m_nThreadID = 0;
};

using HWND = void*;

class CFlyerbankApp {
public:
    CFlyerbankApp() = default;
    CFlyerbankApp(const CFlyerbankApp&) = delete;
    CFlyerbankApp& operator=(const CFlyerbankApp&) = delete;

    BOOL InitInstance();
    int ExitInstance();
    static CString GetModuleFolder();

    bool IsUpdateRunning() const { return m_pUpdateThread.load() != nullptr; }

    // Longest ad folder (with its separator) whose derived paths still fit in 260 bytes:
    // "%07u" of any code (up to 10 digits), a dot and a three-letter extension.
    static constexpr size_t kMaxFolderLength = 259 - 14;

    CString m_strFolder;
    CAdCatalog m_catalogue;
    std::atomic<CWinThread*> m_pUpdateThread{nullptr};
    char m_szUserId[41] = {};
    HWND m_hNotifyWnd = nullptr;
    std::vector<CAdRecord> m_announcedAds;
    int32_t m_bSendHeldCodes = 0;
    CString m_strClientVersion;
    CString m_strRegistryKey;
};

extern CFlyerbankApp theApp;
