#include "platform/Files.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>
#include <errno.h>

#include <atomic>
#include <cstdio>
#include <vector>

namespace platform {

const char kPathSeparator = '/';

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

bool MakeDirectory(const std::string& path) { return !path.empty() && mkdir(path.c_str(), 0777) == 0; }

// Clears what a read-only attribute means here and nothing more: the rights a file was
// created with (0666 less the umask) stay as they are.
void MakeReadWrite(const std::string& path) {
    struct stat st;
    if (path.empty() || stat(path.c_str(), &st) != 0) return;
    const mode_t mode = st.st_mode & 07777;
    if ((mode & (S_IRUSR | S_IWUSR)) != (S_IRUSR | S_IWUSR)) (void)chmod(path.c_str(), mode | S_IRUSR | S_IWUSR);
}

bool RemoveFile(const std::string& path) { return !path.empty() && unlink(path.c_str()) == 0; }

bool SetLastWriteTime(const std::string& path, int64_t time) {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(time);
    times[1].tv_nsec = 0;
    return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

void MakeReadOnly(const std::string& path) { (void)chmod(path.c_str(), S_IRUSR); }

bool RenameFile(const std::string& from, const std::string& to) { return std::rename(from.c_str(), to.c_str()) == 0; }

bool IsDirectlyInside(const std::string& path, const std::string& folder) {
    size_t slash = path.find_last_of('/');
    std::string parent = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") return false;
    char realParent[PATH_MAX], realFolder[PATH_MAX];
    if (!realpath(parent.c_str(), realParent) || !realpath(folder.c_str(), realFolder)) return false;
    if (std::string(realParent) != realFolder) return false;
    // A link in the folder would carry chmod to whatever it points at.
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return false;
    return true;
}

bool WriteNewFile(const std::string& path, const void* data, size_t size, int& osError, bool flush) {
    osError = 0;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        osError = errno;
        return false;
    }
    const char* at = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = write(fd, at, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            osError = n < 0 ? errno : EIO;
            close(fd);
            return false;
        }
        at += n;
        size -= static_cast<size_t>(n);
    }
    if (flush && fsync(fd) != 0 && errno != EINVAL) osError = errno;
    if (close(fd) != 0 && !osError) osError = errno;
    return osError == 0;
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

namespace {

bool WriteAll(int fd, const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

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
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
    // The new file keeps the access rights the old one was given.
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) (void)fchmod(fd, st.st_mode & 07777);
    bool ok = WriteAll(fd, text) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && std::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        (void)unlink(temp.c_str());
        return false;
    }
    // The rename itself survives a crash only once the folder is on disk.
    size_t slash = path.find_last_of('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    int dfd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        (void)fsync(dfd);
        close(dfd);
    }
    return true;
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
