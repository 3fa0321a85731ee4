// What the targets share: a scratch folder per process, silent message boxes, a look at
// what a folder holds, and the check that turns a broken property into a finding.
#pragma once
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "platform/MessageBox.h"

// A property that does not hold is a finding, reported and stopped like a crash.
#define FUZZ_CHECK(cond) ((cond) ? (void)0 : ::fuzz::Fail(__FILE__, __LINE__, #cond))

namespace fuzz {

[[noreturn]] inline void Fail(const char* file, int line, const char* what) {
    std::fprintf(stderr, "%s:%d: property does not hold: %s\n", file, line, what);
    std::abort();
}

// The process's own folder, ending with "/": under $FLB_FUZZ_SCRATCH (scripts/fuzz sets
// it), else in memory where there is /dev/shm (each save syncs, which a disk makes
// slow), else under $TMPDIR. Removed at a normal exit. Message boxes go nowhere and the
// registry is read from this folder, so nothing of the user's is looked at.
inline const std::string& Scratch() {
    static const std::string root = [] {
        platform::SetMessagePresenter([](unsigned, unsigned, const std::string&) {});
        std::string base = "/tmp";
        if (const char* s = getenv("FLB_FUZZ_SCRATCH"); s && *s) base = s;
        else if (access("/dev/shm", W_OK) == 0) base = "/dev/shm";
        else if (const char* t = getenv("TMPDIR"); t && *t) base = t;
        static std::string made = base + "/flb-fuzz-XXXXXX";
        if (!mkdtemp(&made[0])) Fail(__FILE__, __LINE__, "a scratch folder can be made");
        atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(made, ignored);
        });
        setenv("FLB_REGISTRY_DIR", made.c_str(), 1);
        return made + "/";
    }();
    return root;
}

// A folder of the scratch folder, empty; ends with "/".
inline std::string EmptyFolder(const std::string& name) {
    const std::string path = Scratch() + name;
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);  // never follows a link
    std::filesystem::create_directory(path, ignored);
    return path + "/";
}

// Name -> kind of every entry directly in a folder: 'f' a plain file, 'd' a folder,
// 'l' a link, '?' anything else.
inline std::map<std::string, char> Entries(const std::string& folder) {
    std::map<std::string, char> out;
    std::error_code e;
    for (const auto& entry : std::filesystem::directory_iterator(folder, e)) {
        const auto type = entry.symlink_status(e).type();
        char kind = '?';
        if (type == std::filesystem::file_type::regular) kind = 'f';
        else if (type == std::filesystem::file_type::directory) kind = 'd';
        else if (type == std::filesystem::file_type::symlink) kind = 'l';
        out[entry.path().filename().string()] = kind;
    }
    return out;
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace fuzz
