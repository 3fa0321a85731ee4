#include "platform/Cabinet.h"

#include <fcntl.h>
#include <mspack.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/Files.h"

namespace platform {
namespace {

bool FlushToDisk(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = fsync(fd) == 0 || errno == EINVAL;
    return close(fd) == 0 && ok;
}

}  // namespace

struct CabinetArchive::Impl {
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
    m_impl->cabd = mspack_create_cab_decompressor(nullptr);
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
    if (m_impl->cabd->extract(m_impl->cabd, m_impl->files[index], path.c_str()) != MSPACK_ERR_OK) return false;
    // The member is about to replace an ad's file, so it must be on the disk first.
    if (!FlushToDisk(path)) return false;
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
