#include "frame/App.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>

#include "platform/Files.h"
#include "res/StringTable.h"
#include "res/resource.h"
#include "update/UpdateJob.h"
#include "update/UpdateThread.h"

// Constructed right after the platform layer's own statics, which must outlive it, and
// before everything else of ours, as the load hook relies on it.
CFlyerbankApp theApp __attribute__((init_priority(102)));

CString CFlyerbankApp::GetModuleFolder() {
    CString path = platform::ModuleFileName();
    size_t sep = FindLastSingleByte(path, platform::kPathSeparator);
    return sep == CString::npos ? CString() : path.substr(0, sep + 1);
}

size_t CFlyerbankApp::MaxFolderLength() {
    constexpr size_t kPathLimit = 260;
    return kPathLimit - 1 - std::max(CAdCatalog::LongestNameInFolder(), CUpdateJob::LongestNameInFolder());
}

BOOL CFlyerbankApp::InitInstance() {
    m_strFolder = GetModuleFolder();
    // The same absolute form FLBSetFolder gives, whatever way the system named the module.
    if (!m_strFolder.empty()) {
        m_strFolder = platform::FullPathOf(m_strFolder);
        if (!EndsWithSingleByte(m_strFolder, platform::kPathSeparator)) m_strFolder += platform::kPathSeparator;
    }
    // A folder too long for the paths built from it would be no folder at all.
    if (m_strFolder.size() > MaxFolderLength()) m_strFolder.clear();
    m_catalogue.Load(m_strFolder.c_str());
    m_pUpdateThread = nullptr;
    std::fill(std::begin(m_szUserId), std::end(m_szUserId), '\0');
    m_hNotifyWnd = nullptr;
    m_announcedAds.clear();
    m_announcedAds.shrink_to_fit();
    m_bSendHeldCodes = 0;
    m_strClientVersion.clear();
    m_strRegistryKey = LoadResString(IDS_REGISTRY_KEY);
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    return TRUE;
}

CFlyerbankApp::~CFlyerbankApp() { ExitInstance(); }

int CFlyerbankApp::ExitInstance() {
    WaitForUpdateWorkers();
    return 0;
}
