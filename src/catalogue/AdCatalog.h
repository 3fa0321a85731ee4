// The catalogue of ads held in the ad folder, mirrored in "Flyerbank.dat".
#pragma once
#include <vector>

#include "catalogue/AdRecord.h"
#include "frame/Afx.h"

namespace platform { class ProfileReader; class ProfileWriter; }

class CAdCatalog {
public:
    static constexpr size_t kScratchSize = 260;
    static constexpr size_t kPictureLimit = 200;
    static constexpr size_t kMovieLimit = 40;

    CAdCatalog();
    virtual ~CAdCatalog() = default;
    CAdCatalog(const CAdCatalog&) = delete;
    CAdCatalog& operator=(const CAdCatalog&) = delete;

    // Copies the stored record into `record` when the code is held.
    BOOL Lookup(DWORD code, CAdRecord& record) const { return m_records.Lookup(code, record) ? TRUE : FALSE; }
    // f(code, record) for every record in enumeration order.
    template <class F>
    void ForEach(F f) const { m_records.ForEach(f); }
    size_t GetCount() const { return m_records.GetCount(); }

    // File (CatalogFile.cpp). Each holds the folder's catalogue lock while it runs, so
    // another process's save never falls between its read and its write.
    BOOL Load(const char* folder = nullptr);
    BOOL Save();
    void Prune();
    // Reads the file again when another process has changed it since our last load or save.
    void Refresh();
    // The lock files in the ad folder: one for a change of the catalogue, one for an update.
    CString LockPath() const;
    // The longest name the catalogue makes in the ad folder (its file's save included).
    static size_t LongestNameInFolder();
    CString UpdateLockPath() const;
    // Deletes the files of the ad folder that carry an ad's name (IsAdFileName) but that no
    // record of the file names as its file or a movie's thumbnail: what an update cut off
    // between putting a file in place and recording it left, or a pruned movie's thumbnail.
    // Only under the update lock, so that no update is between those two steps.
    void RemoveOrphans();
    const CString& GetPath() const { return m_strPath; }
    const CString& GetVersion() const { return m_strVersion; }

    // Host-side queries and changes; refused while an update runs.
    const char* GetName(DWORD code);
    const char* GetFileName(DWORD code, BOOL thumbnail);
    const char* GetURL(DWORD code);
    int32_t GetFavorite(DWORD code);
    uint32_t GetCreationTime(DWORD code);
    BOOL SetName(DWORD code, const char* name);
    BOOL SetFavorite(DWORD code, int32_t flag);
    BOOL SetTime(DWORD code, uint32_t time);
    BOOL Remove(DWORD code);
    // Codes of one type, newest file first, in a calloc'd array the caller frees.
    BOOL ListCodes(int32_t type, DWORD** codes, int* count);

    // The update job's store: no guard.
    BOOL Put(const CAdRecord& record);

private:
    bool HostGuard() const;
    // Under the catalogue lock: catch up with the file, apply() (false: nothing to save,
    // the result is 0), then save. The one way any change reaches the file.
    template <class Apply>
    BOOL Modify(Apply apply);
    // Whether the records now mirror the file (or its absence).
    bool RefreshLocked();
    BOOL LoadText(bool exists, const std::string& text);
    BOOL SaveLocked();
    // Guard, copy, change, store back, save: the one way a host changes a record.
    template <class Change>
    BOOL ChangeRecord(DWORD code, Change change);
    const char* ToScratch(const CString& text);
    // The ad folder: the catalogue path without its file name.
    CString Folder() const;
    // The path names an entry directly in the ad folder, reached through no link.
    bool InFolder(const CString& path) const;
    // Clears the read-only attribute and deletes a payload file, but only one that lies
    // directly in the ad folder: the catalogue file is outside data and must not steer us.
    void DeleteAdFile(const CString& path) const;
    void RepointToFolder(CAdRecord& record) const;
    void DropMisfitFile(const CAdRecord& record) const;
    void PruneType(int32_t type, size_t limit);
    std::vector<DWORD> CodesNewestFirst(int32_t type) const;

    BOOL ReadEntry10(const platform::ProfileReader& file, CAdRecord& record, uint32_t index);
    BOOL ReadEntry11(const platform::ProfileReader& file, CAdRecord& record, uint32_t index);
    BOOL WriteEntry(platform::ProfileWriter& file, const CAdRecord& record, uint32_t index);
    CString ReadString(const platform::ProfileReader& file, const char* key);
    uint32_t ReadInt(const platform::ProfileReader& file, const char* key);
    BOOL WriteString(platform::ProfileWriter& file, const char* key, const CString& value);
    BOOL WriteInt(platform::ProfileWriter& file, const char* key, uint32_t value);
    void SetSection(uint32_t index);

    CString m_strPath;
    CString m_strVersion;
    // The file as our last load or save left it, to tell another process's save from ours.
    bool m_bFileKnown = false;
    bool m_bVersionKnown = true;  // the file held a version we read, or there was none
    std::string m_strFileText;
    CMap<CAdRecord> m_records;
    char m_szScratch[kScratchSize];
    CString m_strSection;
};
