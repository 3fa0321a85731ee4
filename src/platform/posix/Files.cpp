#include "platform/Files.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>
#include <errno.h>

#include <cstdio>

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

void MakeReadWrite(const std::string& path) {
    if (!path.empty()) (void)chmod(path.c_str(), S_IRUSR | S_IWUSR);
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

bool WriteNewFile(const std::string& path, const void* data, size_t size, int& osError) {
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
    if (fsync(fd) != 0 && errno != EINVAL) osError = errno;
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

std::string ModuleFileName() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return std::string();
    return std::string(buf, static_cast<size_t>(n));
}

}  // namespace platform
