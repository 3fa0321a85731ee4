#include "platform/Cabinet.h"

#include <errno.h>
#include <fcntl.h>
#include <mspack.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/Files.h"
#include "platform/posix/FileFaults.h"

namespace platform {
namespace {

// The decompressor's file access on plain descriptors: what it writes goes through the
// same checks as the rest of the file layer, and a member is on the disk, flushed, before
// it may be renamed over an ad's file.
struct System {
    mspack_system calls;  // first: the library hands back a pointer to it
    bool failed = false;  // a member could not be flushed or closed
};

struct File {
    int fd;
    bool writing;
    System* owner;
};

File* Of(mspack_file* f) { return reinterpret_cast<File*>(f); }

mspack_file* SysOpen(mspack_system* self, const char* name, int mode) {
    int fd;
    if (mode == MSPACK_SYS_OPEN_READ) fd = open(name, O_RDONLY | O_CLOEXEC);
    else if (mode == MSPACK_SYS_OPEN_WRITE) fd = CreateForWriting(name, O_TRUNC);
    else return nullptr;  // nothing else is asked of a cabinet reader
    if (fd < 0) return nullptr;
    return reinterpret_cast<mspack_file*>(new File{fd, mode == MSPACK_SYS_OPEN_WRITE, reinterpret_cast<System*>(self)});
}

void SysClose(mspack_file* f) {
    File* file = Of(f);
    if (file->writing && SyncFile(file->fd) != 0 && errno != EINVAL)
        file->owner->failed = true;
    if (close(file->fd) != 0 && file->writing) file->owner->failed = true;
    delete file;
}

int SysRead(mspack_file* f, void* buffer, int bytes) {
    if (bytes < 0) return -1;
    char* at = static_cast<char*>(buffer);
    int done = 0;
    while (done < bytes) {
        const ssize_t n = read(Of(f)->fd, at + done, static_cast<size_t>(bytes - done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<int>(n);
    }
    return done;
}

int SysWrite(mspack_file* f, void* buffer, int bytes) {
    int osError = 0;
    return bytes >= 0 && WriteAll(Of(f)->fd, buffer, static_cast<size_t>(bytes), osError) ? bytes : -1;
}

int SysSeek(mspack_file* f, off_t offset, int mode) {
    const int whence = mode == MSPACK_SYS_SEEK_START ? SEEK_SET : mode == MSPACK_SYS_SEEK_CUR ? SEEK_CUR : SEEK_END;
    return lseek(Of(f)->fd, offset, whence) < 0 ? -1 : 0;
}

off_t SysTell(mspack_file* f) { return lseek(Of(f)->fd, 0, SEEK_CUR); }

void SysMessage(mspack_file*, const char*, ...) {}

void* SysAlloc(mspack_system*, size_t bytes) { return std::malloc(bytes); }

void SysFree(void* block) { std::free(block); }

void SysCopy(void* from, void* to, size_t bytes) { std::memmove(to, from, bytes); }

}  // namespace

struct CabinetArchive::Impl {
    System system{{SysOpen, SysClose, SysRead, SysWrite, SysSeek, SysTell, SysMessage, SysAlloc, SysFree, SysCopy, nullptr}};
    mscab_decompressor* cabd = nullptr;
    mscabd_cabinet* cab = nullptr;
    std::string path;  // the decompressor keeps a pointer to it and reopens the file
    std::vector<mscabd_file*> files;

    ~Impl() {
        if (cab) cabd->close(cabd, cab);
        if (cabd) mspack_destroy_cab_decompressor(cabd);
    }
};

CabinetArchive::CabinetArchive() : m_impl(new Impl) {}
CabinetArchive::~CabinetArchive() = default;

bool CabinetArchive::Open(const std::string& path) {
    m_impl.reset(new Impl);
    m_members.clear();
    m_impl->cabd = mspack_create_cab_decompressor(&m_impl->system.calls);
    if (!m_impl->cabd) return false;
    // Stored data is copied through this buffer: 4 KB by default, a system call each way.
    m_impl->cabd->set_param(m_impl->cabd, MSCABD_PARAM_DECOMPBUF, 65536);
    m_impl->path = path;
    m_impl->cab = m_impl->cabd->open(m_impl->cabd, m_impl->path.c_str());
    if (!m_impl->cab) return false;
    for (mscabd_file* f = m_impl->cab->files; f; f = f->next) {
        CabinetMember m;
        m.name = f->filename ? f->filename : "";
        m.year = f->date_y;
        m.month = f->date_m;
        m.day = f->date_d;
        m.hour = f->time_h;
        m.minute = f->time_m;
        m.second = f->time_s;
        m.attributes = static_cast<uint32_t>(f->attribs);
        m_members.push_back(m);
        m_impl->files.push_back(f);
    }
    return true;
}

bool CabinetArchive::ExtractMember(size_t index, const std::string& path) {
    if (!m_impl->cab || index >= m_impl->files.size()) return false;
    m_impl->system.failed = false;
    if (m_impl->cabd->extract(m_impl->cabd, m_impl->files[index], path.c_str()) != MSPACK_ERR_OK) return false;
    // The member is about to replace an ad's file: it was flushed as it was closed.
    if (m_impl->system.failed) return false;
    const CabinetMember& m = m_members[index];
    std::tm stored = {};
    stored.tm_year = m.year - 1900;
    stored.tm_mon = m.month - 1;
    stored.tm_mday = m.day;
    stored.tm_hour = m.hour;
    stored.tm_min = m.minute;
    stored.tm_sec = m.second;
    stored.tm_isdst = -1;  // the stored time is local time
    std::time_t utc = std::mktime(&stored);
    if (utc != static_cast<std::time_t>(-1)) SetLastWriteTime(path, utc);
    if (m.attributes & kCabinetReadOnly) MakeReadOnly(path);
    else MakeReadWrite(path);
    return true;
}

}  // namespace platform
