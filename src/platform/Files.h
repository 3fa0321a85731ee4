// File-system services the core asks for. Paths are bytes in the system's code page.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// The separator that ends a folder path ("\\" on Windows, "/" elsewhere).
extern const char kPathSeparator;

struct FileStatus {
    uint32_t creationTime = 0;  // seconds since 1970 UTC
    uint32_t lastWriteTime = 0;
    uint64_t size = 0;
    bool isDirectory = false;
};

bool Exists(const std::string& path);
bool IsReadWritable(const std::string& path);
bool IsDirectory(const std::string& path);
bool GetFileStatus(const std::string& path, FileStatus& status);
bool MakeDirectory(const std::string& path);  // last level only
// Clears a read-only attribute: the owner may read and write; failure ignored.
void MakeReadWrite(const std::string& path);
bool RemoveFile(const std::string& path);
// Sets the last-write time (seconds since 1970 UTC); the access time stays.
bool SetLastWriteTime(const std::string& path, int64_t time);
// Owner may read only: what a read-only attribute means here.
void MakeReadOnly(const std::string& path);
bool RenameFile(const std::string& from, const std::string& to);  // replaces `to`
// True when `path` names an entry directly inside `folder` (no link on the way, the
// entry itself not a link), so it may be changed or deleted on the catalogue's behalf.
bool IsDirectlyInside(const std::string& path, const std::string& folder);
// Creates `path` (emptying an existing file) and writes the bytes, flushed to the disk
// before it returns unless `flush` is false (a scratch file that replaces nothing).
// osError gets the system's error code on failure.
bool WriteNewFile(const std::string& path, const void* data, size_t size, int& osError, bool flush = true);
// WriteNewFile piece by piece, for what arrives in parts: Open creates (or empties) the
// file, Write appends, Close flushes it to the disk unless `flush` is false. Each is false
// on failure, with the system's error code in OsError(). Destroyed open, it just closes.
class FileWriter {
public:
    FileWriter() = default;
    ~FileWriter();
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;
    bool Open(const std::string& path);
    bool Write(const void* data, size_t size);
    bool Close(bool flush = true);
    int OsError() const { return m_osError; }

private:
    intptr_t m_handle = -1;
    int m_osError = 0;
};
// Removes the entries directly in `folder` that are not folders, then the folder itself.
// Never follows a link and never descends: only for scratch folders of our own.
bool RemoveFolderAndFiles(const std::string& folder);
enum class FileRead { Ok, Missing, Failed };
// Reads a plain file whole; a missing file is told apart from one that cannot be read.
FileRead ReadWholeFile(const std::string& path, std::string& text);
// Writes the text to a file beside `path` under a name no other writer uses at the same
// time (win32: one of GetTempFileNameA's in the same folder), flushes it and renames it over
// `path` (MoveFileExA with MOVEFILE_REPLACE_EXISTING), so a reader sees the old file or the
// whole new one, never a part, and two writers never take each other's file.
bool ReplaceFileWhole(const std::string& path, const std::string& text);
// The longest name ReplaceFileWhole adds to `path`: ".", a 32-bit process id, "-", a
// 32-bit serial, ".tmp".
constexpr size_t kLongestReplacementSuffix = 1 + 10 + 1 + 10 + 4;
// Deletes the temporary files ReplaceFileWhole of `path` left beside it in a process that
// ended before its rename (killed, or the machine stopped). Only while holding the lock that
// every writer of `path` holds, so no live writer's file is taken; a file whose process
// id is in use by a running process stays.
void RemoveStaleReplacements(const std::string& path);
// Names of the entries of `folder` ("." and ".." left out); none when it cannot be read.
std::vector<std::string> FolderNames(const std::string& folder);
// The absolute form of `path`, as the system's full-path function gives it: joined to the
// current folder when relative, "." and ".." and doubled separators resolved by name
// (links are not followed, nothing need exist), no separator at the end unless it is
// the root. "" when the current folder cannot be found.
std::string FullPathOf(const std::string& path);
// Full path of the process's executable, or "" when it cannot be found.
std::string ModuleFileName();

}  // namespace platform
