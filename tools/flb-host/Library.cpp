#include "Library.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstdlib>

namespace host {
namespace {

std::string ProgramFolder() {
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return std::string();
    std::string path(self, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/') + 1);
}

// As a Windows host finds its DLL: beside the program first; then where an install
// puts it, relative to the program's folder.
std::string DefaultLibrary() {
    const std::string folder = ProgramFolder();
    if (folder.empty()) return std::string();
    for (const char* name : {"libflyerbank.so",
#ifdef FLB_INSTALLED_LIBRARY
                             FLB_INSTALLED_LIBRARY,
#endif
         }) {
        const std::string path = folder + name;
        if (access(path.c_str(), F_OK) == 0) return path;
    }
    return std::string();
}

template <class Fn>
bool Resolve(void* handle, const char* name, Fn& slot, std::string& error) {
    slot = reinterpret_cast<Fn>(dlsym(handle, name));
    if (slot) return true;
    if (error.empty()) error = std::string("the library lacks the export ") + name;
    return false;
}

}  // namespace

bool Library::Load(const std::string& given, std::string& error) {
    std::string path = given;
    if (path.empty()) {
        path = DefaultLibrary();
        if (path.empty()) {
            const char* env = std::getenv("FLB_LIBRARY");
            if (!env || !*env) {
                error = "no libflyerbank.so beside flb-host and FLB_LIBRARY is not set; give --library PATH";
                return false;
            }
            path = env;
        }
    }
    // Never closed: the library's worker may still be writing when the host returns.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        error = "cannot load " + path + ": " + (why ? why : "unknown reason");
        return false;
    }
    error.clear();
    bool ok = true;
    ok &= Resolve(handle, "FLBUpdate", Update, error);
    ok &= Resolve(handle, "FLBUpdateCancel", UpdateCancel, error);
    ok &= Resolve(handle, "FLBNotifyAVLS", NotifyAVLS, error);
    ok &= Resolve(handle, "FLBSetFolder", SetFolder, error);
    ok &= Resolve(handle, "FLBGetOrder", GetOrder, error);
    ok &= Resolve(handle, "FLBGetPictureList", GetPictureList, error);
    ok &= Resolve(handle, "FLBGetMovieList", GetMovieList, error);
    ok &= Resolve(handle, "FLBGetName", GetName, error);
    ok &= Resolve(handle, "FLBGetFavoriteFlag", GetFavoriteFlag, error);
    ok &= Resolve(handle, "FLBGetFileName", GetFileName, error);
    ok &= Resolve(handle, "FLBGetThumbnail", GetThumbnail, error);
    ok &= Resolve(handle, "FLBGetURL", GetURL, error);
    ok &= Resolve(handle, "FLBSetName", SetName, error);
    ok &= Resolve(handle, "FLBSetFavoriteFlag", SetFavoriteFlag, error);
    ok &= Resolve(handle, "FLBRemove", Remove, error);
    if (!ok) error += " (" + path + ")";
    return ok;
}

}  // namespace host
