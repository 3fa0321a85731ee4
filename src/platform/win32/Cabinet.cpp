// Cabinets through the system's cabinet library and its FDI interface, loaded at run
// time. FDI walks a cabinet from the start for every copy, so Open walks it once to list
// the members and ExtractMember walks it again for the one member it writes.
#include "platform/Cabinet.h"

#include <windows.h>
#include <fcntl.h>
#include <fdi.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdlib>

namespace platform {
namespace {

using CreateFn = HFDI(DIAMONDAPI*)(PFNALLOC, PFNFREE, PFNOPEN, PFNREAD, PFNWRITE, PFNCLOSE, PFNSEEK, int, PERF);
using IsCabinetFn = BOOL(DIAMONDAPI*)(HFDI, INT_PTR, PFDICABINETINFO);
using CopyFn = BOOL(DIAMONDAPI*)(HFDI, char*, char*, int, PFNFDINOTIFY, PFNFDIDECRYPT, void*);
using DestroyFn = BOOL(DIAMONDAPI*)(HFDI);

FNALLOC(Alloc) { return std::malloc(cb); }
FNFREE(Release) { std::free(pv); }
FNOPEN(OpenFile) { return _open(pszFile, oflag, pmode); }
FNREAD(Read) { return static_cast<UINT>(_read(static_cast<int>(hf), pv, cb)); }
FNWRITE(Write) { return static_cast<UINT>(_write(static_cast<int>(hf), pv, cb)); }
FNCLOSE(Close) { return _close(static_cast<int>(hf)); }
FNSEEK(Seek) { return _lseek(static_cast<int>(hf), dist, seektype); }

// Per walk: which member to write where (none while listing), and what was seen.
struct Walk {
    std::vector<CabinetMember>* members = nullptr;
    size_t wanted = static_cast<size_t>(-1);
    std::string path;
    size_t seen = 0;
    bool written = false;
    bool flushFailed = false;
};

void SetStoredStatus(const std::string& path, USHORT date, USHORT time, USHORT attributes) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        FILETIME local, utc;
        if (DosDateTimeToFileTime(date, time, &local) && LocalFileTimeToFileTime(&local, &utc))
            SetFileTime(h, &utc, nullptr, &utc);
        CloseHandle(h);
    }
    const DWORD kept = attributes & kCabinetKeptAttributes;
    SetFileAttributesA(path.c_str(), kept ? kept : FILE_ATTRIBUTE_NORMAL);
}

FNFDINOTIFY(Notify) {
    Walk* walk = static_cast<Walk*>(pfdin->pv);
    switch (fdint) {
    case fdintCOPY_FILE: {
        const size_t index = walk->seen++;
        if (walk->members) {
            CabinetMember m;
            m.name = pfdin->psz1 ? pfdin->psz1 : "";
            m.year = 1980 + ((pfdin->date >> 9) & 0x7F);
            m.month = (pfdin->date >> 5) & 0x0F;
            m.day = pfdin->date & 0x1F;
            m.hour = (pfdin->time >> 11) & 0x1F;
            m.minute = (pfdin->time >> 5) & 0x3F;
            m.second = (pfdin->time & 0x1F) * 2;
            m.attributes = pfdin->attribs;
            walk->members->push_back(m);
            return 0;  // listed, not written
        }
        if (index != walk->wanted) return 0;
        return _open(walk->path.c_str(), _O_BINARY | _O_CREAT | _O_TRUNC | _O_WRONLY | _O_SEQUENTIAL,
                     _S_IREAD | _S_IWRITE);
    }
    case fdintCLOSE_FILE_INFO:
        // The member is about to replace an ad's file, so it must be on the disk first.
        if (_commit(static_cast<int>(pfdin->hf)) != 0) walk->flushFailed = true;
        _close(static_cast<int>(pfdin->hf));
        SetStoredStatus(walk->path, pfdin->date, pfdin->time, pfdin->attribs);
        walk->written = true;
        return TRUE;
    default:
        return 0;
    }
}

}  // namespace

struct CabinetArchive::Impl {
    HMODULE library = nullptr;
    CreateFn create = nullptr;
    IsCabinetFn isCabinet = nullptr;
    CopyFn copy = nullptr;
    DestroyFn destroy = nullptr;
    std::string name, folder;  // as FDI takes them: the file's name, its folder with the separator
    bool open = false;

    Impl() {
        library = LoadLibraryA("CABINET");
        if (!library) return;
        create = reinterpret_cast<CreateFn>(reinterpret_cast<void*>(GetProcAddress(library, "FDICreate")));
        isCabinet = reinterpret_cast<IsCabinetFn>(reinterpret_cast<void*>(GetProcAddress(library, "FDIIsCabinet")));
        copy = reinterpret_cast<CopyFn>(reinterpret_cast<void*>(GetProcAddress(library, "FDICopy")));
        destroy = reinterpret_cast<DestroyFn>(reinterpret_cast<void*>(GetProcAddress(library, "FDIDestroy")));
    }
    ~Impl() {
        if (library) FreeLibrary(library);
    }
    bool Usable() const { return create && isCabinet && copy && destroy; }

    // One FDI context for one walk of the cabinet.
    bool Run(Walk& walk) {
        ERF error = {};
        HFDI context = create(Alloc, Release, OpenFile, Read, Write, Close, Seek, cpu80386, &error);
        if (!context) return false;
        bool ok = copy(context, &name[0], &folder[0], 0, Notify, nullptr, &walk);
        ok = destroy(context) && ok;
        return ok;
    }
};

CabinetArchive::CabinetArchive() : m_impl(new Impl) {}
CabinetArchive::~CabinetArchive() = default;

bool CabinetArchive::Open(const std::string& path) {
    m_members.clear();
    m_impl->open = false;
    if (!m_impl->Usable() || path.empty()) return false;

    ERF error = {};
    HFDI context = m_impl->create(Alloc, Release, OpenFile, Read, Write, Close, Seek, cpu80386, &error);
    if (!context) return false;
    const int fd = _open(path.c_str(), _O_BINARY | _O_RDONLY | _O_SEQUENTIAL);
    FDICABINETINFO info;
    const bool isCabinet = fd != -1 && m_impl->isCabinet(context, fd, &info);
    if (fd != -1) _close(fd);
    m_impl->destroy(context);
    if (!isCabinet) return false;

    size_t sep = std::string::npos;
    for (size_t i = 0; i < path.size(); ++i) {
        if (IsDBCSLeadByte(static_cast<BYTE>(path[i])) && i + 1 < path.size()) { ++i; continue; }
        if (path[i] == '\\' || path[i] == '/') sep = i;
    }
    m_impl->name = sep == std::string::npos ? path : path.substr(sep + 1);
    m_impl->folder = sep == std::string::npos ? std::string() : path.substr(0, sep + 1);

    Walk walk;
    walk.members = &m_members;
    if (!m_impl->Run(walk)) {
        m_members.clear();
        return false;
    }
    m_impl->open = true;
    return true;
}

bool CabinetArchive::ExtractMember(size_t index, const std::string& path) {
    if (!m_impl->open || index >= m_members.size()) return false;
    Walk walk;
    walk.wanted = index;
    walk.path = path;
    return m_impl->Run(walk) && walk.written && !walk.flushFailed;
}

}  // namespace platform
