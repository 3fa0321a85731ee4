// File services on the Win32 API with ANSI paths; the C runtime's _chmod where the
// library's rule is stated in its terms (owner read and write clears read-only).
#include "platform/Files.h"

#include <windows.h>
#include <io.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform {

const char kPathSeparator = '\\';

namespace {

constexpr uint64_t kUnixEpochIn100ns = 116444736000000000ull;

uint32_t ToUnixTime(const FILETIME& ft) {
    const uint64_t t = (uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
    if (t < kUnixEpochIn100ns) return 0;
    return static_cast<uint32_t>((t - kUnixEpochIn100ns) / 10000000u);
}

FILETIME ToFileTime(int64_t unixTime) {
    const uint64_t t = static_cast<uint64_t>(unixTime) * 10000000u + kUnixEpochIn100ns;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(t);
    ft.dwHighDateTime = static_cast<DWORD>(t >> 32);
    return ft;
}

DWORD Attributes(const std::string& path) {
    return path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesA(path.c_str());
}

// The last separator of either kind, stepping over double-byte characters.
size_t LastSeparator(const std::string& path) {
    size_t last = std::string::npos;
    for (size_t i = 0; i < path.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(path[i]);
        if (IsDBCSLeadByte(c) && i + 1 < path.size()) { ++i; continue; }
        if (c == '\\' || c == '/') last = i;
    }
    return last;
}

bool WriteAll(HANDLE h, const void* data, size_t size, DWORD& error) {
    const char* at = static_cast<const char*>(data);
    while (size > 0) {
        const DWORD part = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(h, at, part, &written, nullptr) || written == 0) {
            error = GetLastError();
            if (error == 0) error = ERROR_WRITE_FAULT;
            return false;
        }
        at += written;
        size -= written;
    }
    return true;
}

}  // namespace

bool Exists(const std::string& path) { return Attributes(path) != INVALID_FILE_ATTRIBUTES; }

// A folder's read-only attribute only marks it customised: what counts is whether a
// file can be made in it, so one is made and removed.
bool IsReadWritable(const std::string& path) {
    const DWORD a = Attributes(path);
    if (a == INVALID_FILE_ATTRIBUTES) return false;
    if (!(a & FILE_ATTRIBUTE_DIRECTORY)) return _access(path.c_str(), 6) == 0;
    char probe[MAX_PATH];
    if (!GetTempFileNameA(path.c_str(), "flb", 0, probe)) return false;
    DeleteFileA(probe);
    return true;
}

bool IsDirectory(const std::string& path) {
    const DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool GetFileStatus(const std::string& path, FileStatus& status) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (path.empty() || !GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
    status.creationTime = ToUnixTime(data.ftCreationTime);
    status.lastWriteTime = ToUnixTime(data.ftLastWriteTime);
    status.size = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    status.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return true;
}

bool MakeDirectory(const std::string& path) { return !path.empty() && CreateDirectoryA(path.c_str(), nullptr); }

void MakeReadWrite(const std::string& path) {
    if (!path.empty()) (void)_chmod(path.c_str(), _S_IREAD | _S_IWRITE);
}

bool RemoveFile(const std::string& path) { return !path.empty() && DeleteFileA(path.c_str()); }

bool SetLastWriteTime(const std::string& path, int64_t time) {
    HANDLE h = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const FILETIME ft = ToFileTime(time);
    const bool ok = SetFileTime(h, nullptr, nullptr, &ft);
    CloseHandle(h);
    return ok;
}

void MakeReadOnly(const std::string& path) {
    if (!path.empty()) (void)_chmod(path.c_str(), _S_IREAD);
}

bool RenameFile(const std::string& from, const std::string& to) {
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

bool IsDirectlyInside(const std::string& path, const std::string& folder) {
    const size_t sep = LastSeparator(path);
    const std::string name = sep == std::string::npos ? path : path.substr(sep + 1);
    if (name.empty() || name == "." || name == ".." || name.find(':') != std::string::npos) return false;
    const std::string parent = sep == std::string::npos ? std::string(".") : path.substr(0, sep + 1);
    const std::string realParent = FullPathOf(parent), realFolder = FullPathOf(folder);
    if (realParent.empty() || CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, realParent.c_str(), -1,
                                             realFolder.c_str(), -1) != CSTR_EQUAL)
        return false;
    // A link or junction would carry the change to whatever it points at.
    const DWORD a = Attributes(path);
    return a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool WriteNewFile(const std::string& path, const void* data, size_t size, int& osError, bool flush) {
    osError = 0;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        osError = static_cast<int>(GetLastError());
        return false;
    }
    DWORD error = 0;
    bool ok = WriteAll(h, data, size, error);
    if (ok && flush && !FlushFileBuffers(h)) error = GetLastError(), ok = false;
    if (!CloseHandle(h) && ok) error = GetLastError(), ok = false;
    osError = static_cast<int>(error);
    return ok;
}

FileWriter::~FileWriter() {
    if (m_handle != -1) CloseHandle(reinterpret_cast<HANDLE>(m_handle));
}

bool FileWriter::Open(const std::string& path) {
    m_osError = 0;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        m_osError = static_cast<int>(GetLastError());
        return false;
    }
    m_handle = reinterpret_cast<intptr_t>(h);
    return true;
}

bool FileWriter::Write(const void* data, size_t size) {
    if (m_handle == -1) return false;
    DWORD error = 0;
    if (WriteAll(reinterpret_cast<HANDLE>(m_handle), data, size, error)) return true;
    m_osError = static_cast<int>(error);
    return false;
}

bool FileWriter::Close(bool flush) {
    if (m_handle == -1) return false;
    HANDLE h = reinterpret_cast<HANDLE>(m_handle);
    m_handle = -1;
    DWORD error = 0;
    if (flush && !FlushFileBuffers(h)) error = GetLastError();
    if (!CloseHandle(h) && !error) error = GetLastError();
    if (error) m_osError = static_cast<int>(error);
    return m_osError == 0;
}

bool RemoveFolderAndFiles(const std::string& folder) {
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = found.cFileName;
            if (name == "." || name == "..") continue;
            if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
            const std::string path = folder + "\\" + name;
            MakeReadWrite(path);
            (void)DeleteFileA(path.c_str());
        } while (FindNextFileA(find, &found));
        FindClose(find);
    }
    return RemoveDirectoryA(folder.c_str());
}

FileRead ReadWholeFile(const std::string& path, std::string& text) {
    text.clear();
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? FileRead::Missing : FileRead::Failed;
    }
    // Only plain files: a pipe or device in its place must not hang or feed us.
    LARGE_INTEGER size;
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileSizeEx(h, &size)) {
        CloseHandle(h);
        return FileRead::Failed;
    }
    if (size.QuadPart > 0) text.reserve(static_cast<size_t>(size.QuadPart));
    char chunk[65536];
    for (;;) {
        DWORD n = 0;
        if (!::ReadFile(h, chunk, sizeof chunk, &n, nullptr)) {
            CloseHandle(h);
            text.clear();
            return FileRead::Failed;
        }
        if (n == 0) break;
        text.append(chunk, n);
    }
    CloseHandle(h);
    return FileRead::Ok;
}

bool ReplaceFileWhole(const std::string& path, const std::string& text) {
    if (path.empty()) return false;
    // A name of this process's own, so two processes saving at once never share one.
    static std::atomic<unsigned> serial{0};
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".%lu-%u.tmp", GetCurrentProcessId(), serial.fetch_add(1));
    const std::string temp = path + suffix;
    HANDLE h = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD error = 0;
    bool ok = WriteAll(h, text.data(), text.size(), error) && FlushFileBuffers(h);
    ok = CloseHandle(h) && ok;
    ok = ok && MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok) (void)DeleteFileA(temp.c_str());
    return ok;
}

std::vector<std::string> FolderNames(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        const std::string name = found.cFileName;
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(find, &found));
    FindClose(find);
    return names;
}

namespace {

// Gone, or ended and only its handle still held somewhere.
bool ProcessEnded(DWORD pid) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!process) return GetLastError() == ERROR_INVALID_PARAMETER;
    const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

}  // namespace

void RemoveStaleReplacements(const std::string& path) {
    const size_t sep = LastSeparator(path);
    const std::string folder = sep == std::string::npos ? std::string(".") : path.substr(0, sep);
    const std::string prefix = (sep == std::string::npos ? path : path.substr(sep + 1)) + ".";
    for (const std::string& name : FolderNames(folder)) {
        // ReplaceFileWhole's names: the path, ".", the writer's process id, "-", a serial, ".tmp".
        if (name.size() <= prefix.size() ||
            CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, name.c_str(), static_cast<int>(prefix.size()),
                           prefix.c_str(), -1) != CSTR_EQUAL)
            continue;
        const char* at = name.c_str() + prefix.size();
        char* end = nullptr;
        const unsigned long pid = std::strtoul(at, &end, 10);
        if (end == at || *end != '-' || pid == 0) continue;
        at = end + 1;
        (void)std::strtoul(at, &end, 10);
        if (end == at || _stricmp(end, ".tmp") != 0) continue;
        if (pid == GetCurrentProcessId() || !ProcessEnded(pid)) continue;
        const std::string stale = folder + "\\" + name;
        const DWORD a = Attributes(stale);
        if (a == INVALID_FILE_ATTRIBUTES || (a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) continue;
        (void)DeleteFileA(stale.c_str());
    }
}

std::string FullPathOf(const std::string& path) {
    if (path.empty()) return std::string();
    char buf[MAX_PATH * 2];
    const DWORD n = GetFullPathNameA(path.c_str(), sizeof buf, buf, nullptr);
    if (n == 0 || n >= sizeof buf) return std::string();
    std::string full(buf, n);
    // No separator at the end but the root's ("D:\"), as the posix side gives it.
    while (full.size() > 3 && LastSeparator(full) == full.size() - 1) full.pop_back();
    return full;
}

std::string ModuleFileName() {
    char buf[MAX_PATH];
    buf[0] = '\0';
    DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    if (n == 0 || n >= sizeof buf) return std::string();
    return std::string(buf, n);
}

}  // namespace platform
