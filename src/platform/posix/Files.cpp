#include "platform/Files.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>
#include <errno.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/posix/FileFaults.h"

namespace platform {

const char kPathSeparator = '/';

// The test hook of FileFaults.h.
namespace detail {

std::atomic<bool> g_fileFaultsArmed{false};

namespace {
constexpr int kOps = static_cast<int>(test::FileOp::kCount);
struct Fault {
    std::atomic<unsigned> calls{0};
    std::atomic<unsigned> nth{0};
    std::atomic<int> error{0};
};
Fault g_faults[kOps];
}  // namespace

bool HitFileFault(test::FileOp op) {
    Fault& f = g_faults[static_cast<int>(op)];
    const unsigned call = ++f.calls;
    if (call != f.nth.load()) return false;
    errno = f.error.load();
    return true;
}

}  // namespace detail

namespace test {

void FailFileOp(FileOp op, unsigned nth, int error) {
    detail::Fault& f = detail::g_faults[static_cast<int>(op)];
    f.calls = 0;
    f.error = error;
    f.nth = nth;
    detail::g_fileFaultsArmed = true;
}

unsigned FileOpCalls(FileOp op) { return detail::g_faults[static_cast<int>(op)].calls.load(); }

void ClearFileFaults() {
    detail::g_fileFaultsArmed = false;
    for (detail::Fault& f : detail::g_faults) {
        f.nth = 0;
        f.calls = 0;
    }
}

}  // namespace test

using test::FileOp;

int CreateForWriting(const std::string& path, int flags) {
    if (InjectedFileFault(FileOp::Create)) return -1;
    return open(path.c_str(), flags | O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
}

int SyncFile(int fd) {
    if (InjectedFileFault(FileOp::Sync)) return -1;
    return fsync(fd);
}

namespace {

ssize_t WriteSome(int fd, const void* data, size_t size) {
    if (InjectedFileFault(FileOp::Write)) return -1;
    return write(fd, data, size);
}

int RenameOver(const std::string& from, const std::string& to) {
    if (InjectedFileFault(FileOp::Rename)) return -1;
    return std::rename(from.c_str(), to.c_str());
}

}  // namespace

bool WriteAll(int fd, const void* data, size_t size, int& osError) {
    const char* at = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = WriteSome(fd, at, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            osError = n < 0 ? errno : EIO;
            return false;
        }
        at += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

namespace {

std::string FolderOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool Exists(const std::string& path) { return !path.empty() && access(path.c_str(), F_OK) == 0; }

bool IsReadWritable(const std::string& path) { return !path.empty() && access(path.c_str(), R_OK | W_OK) == 0; }

bool IsDirectory(const std::string& path) {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool GetFileStatus(const std::string& path, FileStatus& status) {
    if (path.empty()) return false;
    // The birth time where the file system records one; else the change time, which
    // is when the file was last written or its attributes changed.
    struct statx sx;
    if (statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) return false;
    status.creationTime = static_cast<uint32_t>((sx.stx_mask & STATX_BTIME) ? sx.stx_btime.tv_sec : sx.stx_ctime.tv_sec);
    status.lastWriteTime = static_cast<uint32_t>(sx.stx_mtime.tv_sec);
    status.size = sx.stx_size;
    status.isDirectory = S_ISDIR(sx.stx_mode);
    return true;
}

bool MakeDirectory(const std::string& path) {
    if (path.empty() || InjectedFileFault(FileOp::Create)) return false;
    return mkdir(path.c_str(), 0777) == 0;
}

// Clears what a read-only attribute means here and nothing more: the rights a file was
// created with (0666 less the umask) stay as they are.
void MakeReadWrite(const std::string& path) {
    struct stat st;
    if (path.empty() || stat(path.c_str(), &st) != 0) return;
    const mode_t mode = st.st_mode & 07777;
    if ((mode & (S_IRUSR | S_IWUSR)) != (S_IRUSR | S_IWUSR)) (void)chmod(path.c_str(), mode | S_IRUSR | S_IWUSR);
}

bool RemoveFile(const std::string& path) {
    if (path.empty() || InjectedFileFault(FileOp::Remove)) return false;
    return unlink(path.c_str()) == 0;
}

bool SetLastWriteTime(const std::string& path, int64_t time) {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(time);
    times[1].tv_nsec = 0;
    return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

void MakeReadOnly(const std::string& path) { (void)chmod(path.c_str(), S_IRUSR); }

bool RenameFile(const std::string& from, const std::string& to) { return RenameOver(from, to) == 0; }

bool IsDirectlyInside(const std::string& path, const std::string& folder) {
    size_t slash = path.find_last_of('/');
    std::string parent = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") return false;
    // The same text names the same folder; resolving both is for texts that differ (a
    // catalogue's load asks this of every record, nearly always in the folder's own text).
    char realParent[PATH_MAX], realFolder[PATH_MAX];
    if (parent != folder && parent != folder + "/") {
        if (!realpath(parent.c_str(), realParent) || !realpath(folder.c_str(), realFolder)) return false;
        if (std::string(realParent) != realFolder) return false;
    }
    // A link in the folder would carry chmod to whatever it points at.
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return false;
    return true;
}

bool WriteNewFile(const std::string& path, const void* data, size_t size, int& osError, bool flush) {
    osError = 0;
    int fd = CreateForWriting(path, O_TRUNC);
    if (fd < 0) {
        osError = errno;
        return false;
    }
    if (!WriteAll(fd, data, size, osError)) {
        close(fd);
        return false;
    }
    if (flush && SyncFile(fd) != 0 && errno != EINVAL) osError = errno;
    if (close(fd) != 0 && !osError) osError = errno;
    return osError == 0;
}

FileWriter::~FileWriter() {
    if (m_handle >= 0) close(static_cast<int>(m_handle));
}

bool FileWriter::Open(const std::string& path) {
    m_osError = 0;
    const int fd = CreateForWriting(path, O_TRUNC);
    if (fd < 0) m_osError = errno;
    m_handle = fd;
    return fd >= 0;
}

bool FileWriter::Write(const void* data, size_t size) {
    if (m_handle < 0) return false;
    return WriteAll(static_cast<int>(m_handle), data, size, m_osError);
}

bool FileWriter::Close(bool flush) {
    if (m_handle < 0) return false;
    const int fd = static_cast<int>(m_handle);
    m_handle = -1;
    if (flush && SyncFile(fd) != 0 && errno != EINVAL) m_osError = errno;
    if (close(fd) != 0 && !m_osError) m_osError = errno;
    return m_osError == 0;
}

bool RemoveFolderAndFiles(const std::string& folder) {
    if (DIR* dir = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..") continue;
            const std::string path = folder + "/" + name;
            struct stat st;
            if (lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) (void)unlink(path.c_str());
        }
        closedir(dir);
    }
    return rmdir(folder.c_str()) == 0;
}

FileRead ReadWholeFile(const std::string& path, std::string& text) {
    text.clear();
    // Not blocking, so a FIFO in its place cannot hang the open; only plain files are read.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno == ENOENT ? FileRead::Missing : FileRead::Failed;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return FileRead::Failed;
    }
    if (st.st_size > 0) text.reserve(static_cast<size_t>(st.st_size));
    char chunk[65536];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            text.clear();
            return FileRead::Failed;
        }
        if (n == 0) break;
        text.append(chunk, static_cast<size_t>(n));
    }
    close(fd);
    return FileRead::Ok;
}

bool ReplaceFileWhole(const std::string& path, const std::string& text) {
    if (path.empty()) return false;
    // A name of this process and this write alone: another process writing the same
    // file at the same moment must not rename our half-written file into place, nor we
    // its. O_EXCL never reuses a leftover nor follows a link planted under the name.
    static std::atomic<unsigned> serial{0};
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = path + "." + std::to_string(getpid()) + "-" + std::to_string(serial++) + ".tmp";
        fd = CreateForWriting(temp, O_EXCL);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
    // The new file keeps the access rights the old one was given.
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) (void)fchmod(fd, st.st_mode & 07777);
    int osError = 0;
    bool ok = WriteAll(fd, text.data(), text.size(), osError) && SyncFile(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && RenameOver(temp, path) == 0;
    if (!ok) {
        (void)unlink(temp.c_str());
        return false;
    }
    // The rename itself survives a crash only once the folder is on disk.
    int dfd = open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        (void)fsync(dfd);
        close(dfd);
    }
    return true;
}

std::vector<std::string> FolderNames(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(dir))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                names.push_back(entry->d_name);
        closedir(dir);
    }
    return names;
}

void RemoveStaleReplacements(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".";
    const std::string folder = FolderOf(path);
    for (const std::string& name : FolderNames(folder)) {
        // ReplaceFileWhole's names: the path, ".", the writer's process id, "-", a serial, ".tmp".
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        const char* at = name.c_str() + prefix.size();
        char* end = nullptr;
        errno = 0;
        const long pid = std::strtol(at, &end, 10);
        if (end == at || *end != '-' || pid <= 0 || errno != 0) continue;
        at = end + 1;
        (void)std::strtoul(at, &end, 10);
        if (end == at || std::strcmp(end, ".tmp") != 0) continue;
        // A writer still running, or another one under the same id, keeps its file.
        if (static_cast<pid_t>(pid) == getpid() || kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        const std::string stale = folder + "/" + name;
        struct stat st;
        if (lstat(stale.c_str(), &st) == 0 && S_ISREG(st.st_mode)) (void)unlink(stale.c_str());
    }
}

std::string FullPathOf(const std::string& path) {
    std::string joined = path;
    if (path.empty() || path[0] != '/') {
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof cwd)) return std::string();
        joined = std::string(cwd) + "/" + path;
    }
    std::vector<std::string> parts;
    for (size_t at = 0; at <= joined.size();) {
        size_t end = joined.find('/', at);
        if (end == std::string::npos) end = joined.size();
        const std::string part = joined.substr(at, end - at);
        at = end + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    std::string full;
    for (const std::string& part : parts) full += "/" + part;
    return full.empty() ? "/" : full;
}

std::string ModuleFileName() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return std::string();
    return std::string(buf, static_cast<size_t>(n));
}

}  // namespace platform
