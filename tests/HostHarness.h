// End-to-end support: the library loaded as a host loads it and the host window a
// completion message arrives at.
#pragma once
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "flyerbank.h"
#include "TestSupport.h"
#include "completion_pipe.h"

// The exports of one dlopen'ed copy of the library.
struct Library {
#define FLB_EXPORT(name, ordinal) decltype(&::name) name = nullptr;
#include "flyerbank_exports.inc"

    // Loaded once per test program; the library's state lives on between tests.
    static Library& Get() {
        static Library library = Load(FLB_LIBRARY);
        return library;
    }

private:
    static Library Load(const char* path) {
        Library l;
        void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            std::fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
            std::abort();
        }
#define FLB_EXPORT(name, ordinal) l.name = reinterpret_cast<decltype(l.name)>(dlsym(handle, #name));
#include "flyerbank_exports.inc"
        return l;
    }
};

// A pipe whose write end is the host window the library posts its 12-byte records to.
class HostWindow {
public:
    HostWindow() {
        if (pipe2(m_fds, O_CLOEXEC) != 0) m_fds[0] = m_fds[1] = -1;
    }
    ~HostWindow() {
        for (int fd : m_fds)
            if (fd >= 0) close(fd);
    }
    HostWindow(const HostWindow&) = delete;
    HostWindow& operator=(const HostWindow&) = delete;

    void* Handle() const { return reinterpret_cast<void*>(static_cast<intptr_t>(m_fds[1])); }

    struct Record {
        uint32_t message = 0, wParam = 0, lParam = 0;
        bool arrived = false;
    };
    // The next record, or one with arrived false when none comes in time.
    Record Wait(int timeoutMs = 60000) {
        Record r;
        unsigned char bytes[12];
        if (ReadCompletion(m_fds[0], bytes, timeoutMs) != 0) return r;
        auto field = [&](int i) {
            return uint32_t{bytes[i * 4]} | uint32_t{bytes[i * 4 + 1]} << 8 | uint32_t{bytes[i * 4 + 2]} << 16 |
                   uint32_t{bytes[i * 4 + 3]} << 24;
        };
        return {field(0), field(1), field(2), true};
    }
    // True when nothing more is waiting.
    bool Quiet(int forMs) {
        pollfd p{m_fds[0], POLLIN, 0};
        return poll(&p, 1, forMs) == 0;
    }

private:
    int m_fds[2];
};

// Messages the loaded library showed, as "id type" lines of its message log.
inline std::vector<unsigned> LoggedMessages(const std::string& log) {
    std::vector<unsigned> ids;
    if (FILE* f = std::fopen(log.c_str(), "r")) {
        unsigned id, type;
        while (std::fscanf(f, "%u %u", &id, &type) == 2) ids.push_back(id);
        std::fclose(f);
    }
    return ids;
}
