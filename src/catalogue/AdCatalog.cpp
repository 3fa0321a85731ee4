#include "catalogue/AdCatalog.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "frame/App.h"
#include "frame/Messages.h"
#include "platform/CatalogLock.h"
#include "platform/Files.h"


CAdCatalog::CAdCatalog() : m_strVersion("1.1") { std::memset(m_szScratch, 0, sizeof m_szScratch); }

bool CAdCatalog::HostGuard() const {
    if (!theApp.IsUpdateRunning()) return true;
    ShowMessage(IDP_UPDATE_RUNNING);
    return false;
}

const char* CAdCatalog::ToScratch(const CString& text) {
    // Never hand out half of a double-byte character.
    size_t n = CutToCharBoundary(text, kScratchSize - 1);
    std::memcpy(m_szScratch, text.data(), n);
    m_szScratch[n] = '\0';
    return m_szScratch;
}

CString CAdCatalog::Folder() const {
    size_t sep = FindLastSingleByte(m_strPath, platform::kPathSeparator);
    return sep == CString::npos ? CString() : m_strPath.substr(0, sep + 1);
}

bool CAdCatalog::InFolder(const CString& path) const {
    const CString folder = Folder();
    return !path.empty() && platform::IsDirectlyInside(path, folder.empty() ? CString(".") : folder);
}

void CAdCatalog::DeleteAdFile(const CString& path) const {
    if (!InFolder(path)) return;
    platform::MakeReadWrite(path);
    platform::RemoveFile(path);
}

const char* CAdCatalog::GetName(DWORD code) {
    if (!HostGuard()) return nullptr;
    CAdRecord r;
    if (!Lookup(code, r)) return nullptr;
    return ToScratch(r.Name);
}

const char* CAdCatalog::GetFileName(DWORD code, BOOL thumbnail) {
    if (!HostGuard()) return nullptr;
    CAdRecord r;
    if (!Lookup(code, r)) return nullptr;
    ToScratch(r.File);
    // A picture is its own thumbnail whatever its extension; only a movie's lies beside it.
    if (thumbnail && r.Type == AD_TYPE_PICTURE) {
        if (!platform::Exists(m_szScratch)) m_szScratch[0] = '\0';
    } else if (thumbnail) {
        ThumbnailPathOf(m_szScratch);
    }
    return m_szScratch[0] ? m_szScratch : nullptr;
}

const char* CAdCatalog::GetURL(DWORD code) {
    if (!HostGuard()) return nullptr;
    CAdRecord r;
    if (!Lookup(code, r)) return nullptr;
    return ToScratch(r.URL);
}

int32_t CAdCatalog::GetFavorite(DWORD code) {
    if (!HostGuard()) return 0;
    CAdRecord r;
    return Lookup(code, r) ? r.Favorite : 0;
}

uint32_t CAdCatalog::GetCreationTime(DWORD code) {
    if (!HostGuard()) return 0;
    CAdRecord r;
    return Lookup(code, r) ? r.CreationTime : 0;
}

template <class Apply>
BOOL CAdCatalog::Modify(Apply apply) {
    platform::CatalogLock lock(LockPath(), platform::CatalogLock::kWait);
    if (!lock.Held()) {
        ShowMessage(IDP_CATALOG_ACCESS);
        return FALSE;
    }
    RefreshLocked();
    if (!apply()) return FALSE;
    return SaveLocked();
}

template <class Change>
BOOL CAdCatalog::ChangeRecord(DWORD code, Change change) {
    if (!HostGuard()) return FALSE;
    return Modify([&] {
        CAdRecord r;
        if (!Lookup(code, r)) return false;
        change(r);
        m_records.SetAt(code, r);
        return true;
    });
}

BOOL CAdCatalog::SetName(DWORD code, const char* name) {
    return ChangeRecord(code, [&](CAdRecord& r) { r.Name = name ? name : ""; });
}

BOOL CAdCatalog::SetFavorite(DWORD code, int32_t flag) {
    return ChangeRecord(code, [&](CAdRecord& r) { r.Favorite = flag; });
}

BOOL CAdCatalog::SetTime(DWORD code, uint32_t time) {
    return ChangeRecord(code, [&](CAdRecord& r) { r.Time = time; });
}

BOOL CAdCatalog::Remove(DWORD code) {
    if (!HostGuard()) return FALSE;
    return Modify([&] {
        CAdRecord r;
        if (!Lookup(code, r)) return false;
        DeleteAdFile(r.File);
        if (r.Type == AD_TYPE_MOVIE) {
            ToScratch(r.File);
            ThumbnailPathOf(m_szScratch);
            DeleteAdFile(m_szScratch);
        }
        return m_records.RemoveKey(code);
    });
}

BOOL CAdCatalog::Put(const CAdRecord& record) {
    return Modify([&] {
        CAdRecord stored;
        CAdRecord put = record;
        // The flag and the view time are the hosts' own: one in another process may have
        // set them while the update fetched the ad from its older copy.
        if (Lookup(record.ID, stored)) {
            put.Favorite = stored.Favorite;
            put.Time = stored.Time;
        }
        m_records.SetAt(record.ID, put);
        return true;
    });
}

std::vector<DWORD> CAdCatalog::CodesNewestFirst(int32_t type) const {
    struct Entry { DWORD code; uint32_t created; };
    std::vector<Entry> entries;
    ForEach([&](DWORD code, const CAdRecord& r) {
        if (r.Type == type) entries.push_back({code, r.CreationTime});
    });
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return a.created != b.created ? a.created > b.created : a.code > b.code;
    });
    std::vector<DWORD> codes;
    codes.reserve(entries.size());
    for (const Entry& e : entries) codes.push_back(e.code);
    return codes;
}

BOOL CAdCatalog::ListCodes(int32_t type, DWORD** codes, int* count) {
    if (!HostGuard()) return FALSE;
    Load();  // the host may have deleted files since; the load drops their records
    std::vector<DWORD> list = CodesNewestFirst(type);
    if (list.empty()) return TRUE;
    DWORD* array = static_cast<DWORD*>(std::calloc(list.size(), sizeof(DWORD)));
    if (!array) return FALSE;
    std::copy(list.begin(), list.end(), array);
    *codes = array;
    *count = static_cast<int>(list.size());
    return TRUE;
}

