// Load and save of "Flyerbank.dat", with the pruning that keeps the ad folder bounded.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>

#include "catalogue/AdCatalog.h"
#include "catalogue/SizeCodec.h"
#include "frame/Exceptions.h"
#include "frame/Messages.h"
#include "platform/CatalogLock.h"
#include "platform/DebugLog.h"
#include "platform/Files.h"
#include "platform/Profile.h"

namespace {
constexpr char kCatalogFileName[] = "Flyerbank.dat";
constexpr char kLockFileName[] = "Flyerbank.lock";
constexpr char kUpdateLockFileName[] = "Flyerbank.update.lock";
constexpr char kHeader[] = "Flyerbank";

// One past the highest "AD%04d" index among the sections present, so a huge "Count"
// cannot keep a load busy with sections that are not there.
uint32_t EntryIndexBound(const platform::ProfileReader& file) {
    uint32_t bound = 0;
    for (const std::string& name : file.SectionNames()) {
        if (name.size() < 6 || name.size() > 12 || (name[0] | 0x20) != 'a' || (name[1] | 0x20) != 'd') continue;
        if (!std::all_of(name.begin() + 2, name.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
        unsigned long long index = std::strtoull(name.c_str() + 2, nullptr, 10);
        if (index > 0x7FFFFFFF) continue;
        char canonical[16];
        std::snprintf(canonical, sizeof canonical, "%04d", static_cast<int>(index));
        if (name.compare(2, std::string::npos, canonical) != 0) continue;
        bound = std::max(bound, static_cast<uint32_t>(index) + 1);
    }
    return bound;
}
}  // namespace

void CAdCatalog::SetSection(uint32_t index) {
    char name[32];
    std::snprintf(name, sizeof name, "AD%04d", static_cast<int>(index));
    m_strSection = name;
}

CString CAdCatalog::ReadString(const platform::ProfileReader& file, const char* key) {
    // Read whole: cutting here would cut the stored text for good at the next save.
    CString value;
    file.GetFullString(m_strSection.c_str(), key, value);
    return value;
}

uint32_t CAdCatalog::ReadInt(const platform::ProfileReader& file, const char* key) {
    return file.GetInt(m_strSection.c_str(), key, 0);
}

BOOL CAdCatalog::WriteString(platform::ProfileWriter& file, const char* key, const CString& value) {
    // A line break in a text would start a key or section of its own.
    CString line = value;
    std::replace(line.begin(), line.end(), '\r', ' ');
    std::replace(line.begin(), line.end(), '\n', ' ');
    // A reader trims the value's outer blanks and strips one pair of quotes around it, so
    // a text that has either is quoted to read back as it was (a server's name " abc").
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    if (!line.empty() && (blank(line.front()) || blank(line.back()) ||
                          (line.size() >= 2 && (line[0] == '"' || line[0] == '\'') && line.back() == line[0])))
        line = '"' + line + '"';
    return file.Write(m_strSection.c_str(), key, line.c_str()) ? TRUE : FALSE;
}

BOOL CAdCatalog::WriteInt(platform::ProfileWriter& file, const char* key, uint32_t value) {
    std::snprintf(m_szScratch, sizeof m_szScratch, "%u", value);
    return file.Write(m_strSection.c_str(), key, m_szScratch) ? TRUE : FALSE;
}

BOOL CAdCatalog::ReadEntry10(const platform::ProfileReader& file, CAdRecord& r, uint32_t index) {
    SetSection(index);
    r.Name = ReadString(file, "Name");
    r.File = ReadString(file, "File");
    r.ID = ReadInt(file, "ID");
    r.Type = static_cast<int32_t>(ReadInt(file, "Type"));
    r.URL = LinkToKeep(ReadString(file, "URL"));  // an older build kept any link
    r.Time = ReadInt(file, "Time");
    r.Favorite = static_cast<int32_t>(ReadInt(file, "Favorite"));
    r.Priority = static_cast<int32_t>(ReadInt(file, "Priority"));
    r.Size = 0;
    return TRUE;
}

BOOL CAdCatalog::ReadEntry11(const platform::ProfileReader& file, CAdRecord& r, uint32_t index) {
    ReadEntry10(file, r, index);
    r.Size = std::atoi(CSizeCodec().Decode(ReadString(file, "Size")).c_str());
    return TRUE;
}

BOOL CAdCatalog::WriteEntry(platform::ProfileWriter& file, const CAdRecord& r, uint32_t index) {
    SetSection(index);
    char size[16];
    std::snprintf(size, sizeof size, "%d", r.Size);
    return WriteString(file, "Name", r.Name) && WriteString(file, "File", r.File) &&
           WriteInt(file, "ID", r.ID) && WriteInt(file, "Type", static_cast<uint32_t>(r.Type)) &&
           WriteString(file, "URL", r.URL) && WriteInt(file, "Time", r.Time) &&
           WriteInt(file, "Favorite", static_cast<uint32_t>(r.Favorite)) &&
           WriteInt(file, "Priority", static_cast<uint32_t>(r.Priority)) &&
           WriteString(file, "Size", CSizeCodec().Encode(size));
}

// A folder that was moved, renamed or copied leaves every stored path behind; the ad's own
// file name, found directly in the ad folder, is where its file is. Nothing else is looked at.
void CAdCatalog::RepointToFolder(CAdRecord& r) const {
    // Either system may have written the path (a folder shared with or copied from the other).
    const CString name = FileNameOf(r.File);
    char own[16];
    std::snprintf(own, sizeof own, "%07u.", static_cast<unsigned>(r.ID));
    if (name.compare(0, std::strlen(own), own) != 0 || !IsAdFileName(name)) return;
    const CString folder = Folder();
    const CString moved = folder + name;
    if (!platform::IsDirectlyInside(moved, folder) || !platform::Exists(moved)) return;
    r.File = moved;
}

// A file of the wrong type under the ad's own name was put there by a server through an
// older build (a program as a cabinet's movie): it goes with its record, so that nobody
// starts it from the folder later. Any other name may be another ad's, and stays; so does
// a picture or movie file, which a record of the other kind may still need.
void CAdCatalog::DropMisfitFile(const CAdRecord& r) const {
    if (FileFitsType(r.File, AD_TYPE_MOVIE) || FileFitsType(r.File, AD_TYPE_PICTURE)) return;
    char own[16];
    std::snprintf(own, sizeof own, "%07u.", static_cast<unsigned>(r.ID));
    const CString folder = Folder();
    if (r.File.size() > folder.size() + std::strlen(own) && r.File.compare(0, folder.size(), folder) == 0 &&
        r.File.compare(folder.size(), std::strlen(own), own) == 0)
        DeleteAdFile(r.File);
}

size_t CAdCatalog::LongestNameInFolder() {
    return std::max({std::strlen(kCatalogFileName) + platform::kLongestReplacementSuffix, std::strlen(kLockFileName),
                     std::strlen(kUpdateLockFileName)});
}

CString CAdCatalog::LockPath() const { return Folder() + kLockFileName; }

CString CAdCatalog::UpdateLockPath() const { return Folder() + kUpdateLockFileName; }

BOOL CAdCatalog::Load(const char* folder) {
    if (folder) m_strPath = CString(folder) + kCatalogFileName;
    m_records.RemoveAll();
    m_bFileKnown = false;
    m_strFileText.clear();
    m_bVersionKnown = true;
    if (!platform::Exists(m_strPath)) return TRUE;
    // A load may prune, delete the file or upgrade it: all of that under the lock. Where
    // no lock can be had nothing could be saved either, and reading is still of use.
    platform::CatalogLock lock(LockPath(), platform::CatalogLock::kWait);
    if (lock.Held()) platform::RemoveStaleReplacements(m_strPath);
    platform::MakeReadWrite(m_strPath);
    std::string text;
    const platform::FileRead read = platform::ReadWholeFile(m_strPath, text);
    return LoadText(read == platform::FileRead::Ok, text);
}

void CAdCatalog::Refresh() {
    platform::CatalogLock lock(LockPath(), platform::CatalogLock::kWait);
    if (lock.Held()) RefreshLocked();
}

bool CAdCatalog::RefreshLocked() {
    std::string text;
    const platform::FileRead read = platform::ReadWholeFile(m_strPath, text);
    // What cannot be read now is no news; the save that follows will say so if it fails.
    if (read == platform::FileRead::Failed) return false;
    const bool exists = read == platform::FileRead::Ok;
    if (exists == m_bFileKnown && text == m_strFileText) return m_bVersionKnown;
    m_records.RemoveAll();
    platform::MakeReadWrite(m_strPath);
    LoadText(exists, text);
    return m_bVersionKnown;
}

void CAdCatalog::RemoveOrphans() {
    platform::CatalogLock lock(LockPath(), platform::CatalogLock::kWait);
    // Only the records of the file as it is now say whose a file is: while the file cannot
    // be read, or is of a version we do not know, every file stays.
    if (!lock.Held() || !RefreshLocked()) return;
    // Compared without regard to case, as the names of a Windows folder are.
    auto lower = [](CString name) {
        for (char& c : name)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        return name;
    };
    std::set<CString> named;
    ForEach([&](DWORD, const CAdRecord& r) {
        const CString name = lower(FileNameOf(r.File));
        named.insert(name);
        const size_t dot = FindLastSingleByte(name, '.');
        if (r.Type == AD_TYPE_MOVIE && dot != CString::npos) named.insert(name.substr(0, dot) + ".jpg");
    });
    const CString folder = Folder();
    std::vector<std::string> names = platform::FolderNames(folder);
    std::sort(names.begin(), names.end());  // the debug log the same on every system
    for (const std::string& name : names) {
        if (!IsAdFileName(name) || named.count(lower(name)) || platform::IsDirectory(folder + name)) continue;
        platform::DebugLog("file\tstep=remove orphan\tpath=" + folder + name);
        DeleteAdFile(folder + name);
    }
}

BOOL CAdCatalog::LoadText(bool exists, const std::string& text) {
    m_bFileKnown = exists;
    m_strFileText = text;
    m_bVersionKnown = true;
    if (!exists) return TRUE;
    platform::ProfileReader file(text, platform::ProfileReader::FromText{});
    m_strSection = kHeader;
    m_strVersion = ReadString(file, "Version");
    const bool v10 = m_strVersion == "1.0";
    m_bVersionKnown = v10 || m_strVersion == "1.1";
    if (!m_bVersionKnown) return FALSE;

    const uint32_t count = std::min(ReadInt(file, "Count"), EntryIndexBound(file));
    for (uint32_t i = 0; i < count; ++i) {
        CAdRecord r(0);
        if (v10) ReadEntry10(file, r, i);
        else ReadEntry11(file, r, i);
        // The ad folder is the only home of its ads: a record naming a file elsewhere (in the
        // folder this one was copied from, say) takes its own file here or is dropped, so
        // nothing there is handed out or deleted through this folder.
        if (!InFolder(r.File) || !platform::Exists(r.File)) RepointToFolder(r);
        platform::FileStatus status;
        if (!InFolder(r.File) || !platform::Exists(r.File) || !platform::GetFileStatus(r.File, status)) continue;
        if (!FileFitsType(r.File, r.Type)) {
            DropMisfitFile(r);
            continue;
        }
        r.CreationTime = status.creationTime;
        m_records.SetAt(r.ID, r);
    }

    Prune();
    if (m_records.IsEmpty()) {
        platform::MakeReadWrite(m_strPath);
        if (platform::RemoveFile(m_strPath)) {
            m_bFileKnown = false;
            m_strFileText.clear();
        }
    }
    if (v10) return SaveLocked();
    return TRUE;
}

BOOL CAdCatalog::Save() {
    platform::CatalogLock lock(LockPath(), platform::CatalogLock::kWait);
    if (!lock.Held()) {
        ShowMessage(IDP_CATALOG_ACCESS);
        return FALSE;
    }
    return SaveLocked();
}

BOOL CAdCatalog::SaveLocked() {
    Prune();
    // What a writer killed before its rename left behind would otherwise stay for good.
    platform::RemoveStaleReplacements(m_strPath);
    try {
        platform::MakeReadWrite(m_strPath);
        platform::ProfileWriter file(m_strPath);
        m_strSection = kHeader;
        if (!WriteString(file, "Version", "1.1")) AfxThrowUserException();
        if (!WriteInt(file, "Count", static_cast<uint32_t>(m_records.GetCount()))) AfxThrowUserException();
        uint32_t index = 0;
        bool ok = true;
        ForEach([&](DWORD, const CAdRecord& r) {
            if (ok && !WriteEntry(file, r, index++)) ok = false;
        });
        if (!ok || !file.Commit()) AfxThrowUserException();
        m_bFileKnown = true;
        m_strFileText = file.CommittedText();
        m_bVersionKnown = true;
    } catch (const CException&) {
        platform::DebugLog("file\tstep=save catalogue\tpath=" + m_strPath + "\tfailed");
        ShowMessage(IDP_CATALOG_ACCESS);
        return FALSE;
    } catch (const std::bad_alloc&) {
        platform::DebugLog("file\tstep=save catalogue\tpath=" + m_strPath + "\tfailed");
        ShowMessage(IDP_CATALOG_ACCESS);
        return FALSE;
    }
    platform::DebugLog("file\tstep=save catalogue\tpath=" + m_strPath + "\tok");
    return TRUE;
}

void CAdCatalog::Prune() {
    PruneType(AD_TYPE_PICTURE, kPictureLimit);
    PruneType(AD_TYPE_MOVIE, kMovieLimit);
}

void CAdCatalog::PruneType(int32_t type, size_t limit) {
    std::vector<DWORD> codes = CodesNewestFirst(type);
    if (codes.size() <= limit) return;
    size_t excess = codes.size() - limit;
    for (auto it = codes.rbegin(); it != codes.rend() && excess > 0; ++it) {
        CAdRecord r;
        if (!Lookup(*it, r) || r.Favorite) continue;
        DeleteAdFile(r.File);
        m_records.RemoveKey(*it);
        --excess;
    }
}
