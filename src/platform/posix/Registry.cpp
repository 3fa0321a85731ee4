// The registry's stand-in: one profile file per root ("HKEY_CURRENT_USER.ini"), a section
// per key path as it stands, a line "name=text" per value. The library only reads it.
#include "platform/Registry.h"

#include <errno.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/Profile.h"

namespace platform {

struct RegistryKeyObject {
    std::string root;  // the root's name
    std::string path;  // the key's path below it, as opened
    std::unique_ptr<ProfileReader> file;
};

namespace {

const char* const kRootNames[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE",
                                  "HKEY_USERS"};

const char* RootName(RegistryKey key) {
    uintptr_t value = reinterpret_cast<uintptr_t>(key);
    if (value >= 0x80000000u && value < 0x80000000u + sizeof kRootNames / sizeof *kRootNames)
        return kRootNames[value - 0x80000000u];
    return nullptr;
}

// Key names compare like the profile's section names: ASCII letters folded, nothing decoded.
std::string Fold(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return std::string();
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

std::string HomeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    std::vector<char> buf(16384);
    struct passwd pw;
    struct passwd* found = nullptr;
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir)
        return found->pw_dir;
    return std::string();
}

std::string StoreFolder() {
    if (const char* dir = std::getenv("FLB_REGISTRY_DIR"); dir && *dir) return dir;
    // The base directory rules ignore a relative XDG_CONFIG_HOME.
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/')
        return std::string(xdg) + "/flyerbank";
    std::string home = HomeFolder();
    if (home.empty()) return std::string();
    return home + "/.config/flyerbank";
}

std::string StoreFile(const std::string& root) {
    std::string folder = StoreFolder();
    if (folder.empty()) return std::string();
    return folder + "/" + root + ".ini";
}

// A key exists when it holds values or when a key below it does, as in the registry.
bool KeyExists(const ProfileReader& file, const std::string& path) {
    const std::string key = Fold(Trim(path));
    if (key.empty()) return true;
    const std::string below = key + "\\";
    for (const std::string& name : file.SectionNames()) {
        std::string section = Fold(name);
        if (section == key || section.compare(0, below.size(), below) == 0) return true;
    }
    return false;
}

bool MakeFolders(const std::string& folder) {
    for (size_t at = 1; at <= folder.size(); ++at) {
        if (at != folder.size() && folder[at] != '/') continue;
        std::string part = folder.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    struct stat st;
    return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The profile layer trims values and strips one pair of quotes, so a text that would
// lose something that way is stored inside a pair of its own.
std::string Stored(const std::string& text) {
    if (text.empty()) return text;
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    bool quoted = text.size() >= 2 && (text[0] == '"' || text[0] == '\'') && text.back() == text[0];
    if (blank(text.front()) || blank(text.back()) || quoted) return "\"" + text + "\"";
    return text;
}

}  // namespace

int32_t RegistryOpenKey(RegistryKey root, const char* path, RegistryKey& key) {
    key = nullptr;
    std::string rootName;
    std::string full = path ? path : "";
    if (const char* name = RootName(root)) {
        rootName = name;
    } else if (root) {
        rootName = root->root;
        if (!root->path.empty() && !full.empty()) full = root->path + "\\" + full;
        else if (full.empty()) full = root->path;
    } else {
        return kRegistryInvalidHandle;
    }
    std::string fileName = StoreFile(rootName);
    if (fileName.empty()) return kRegistryNotFound;
    auto file = std::make_unique<ProfileReader>(fileName);
    if (!KeyExists(*file, full)) return kRegistryNotFound;
    key = new RegistryKeyObject{rootName, full, std::move(file)};
    return kRegistrySuccess;
}

int32_t RegistryQueryValue(RegistryKey key, const char* name, uint32_t& type, void* data,
                           uint32_t& size) {
    if (!key || RootName(key)) return kRegistryInvalidHandle;
    std::string text;
    if (!key->file->GetFullString(key->path.c_str(), name ? name : "", text)) return kRegistryNotFound;
    type = kRegistryTypeString;
    const uint64_t needed = uint64_t{text.size()} + 1;
    const uint32_t offered = size;
    size = needed > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(needed);
    if (!data) return kRegistrySuccess;
    if (needed > offered) return kRegistryMoreData;
    std::memcpy(data, text.c_str(), needed);
    return kRegistrySuccess;
}

int32_t RegistryCloseKey(RegistryKey key) {
    if (!key) return kRegistryInvalidHandle;
    if (RootName(key)) return kRegistrySuccess;
    delete key;
    return kRegistrySuccess;
}

bool WriteRegistryValue(const std::string& root, const std::string& keyPath, const std::string& valueName,
                        const std::string& text) {
    const std::string file = RegistryStandInFile(root);
    if (file.empty()) return false;
    // A name the profile would read back differently, or as another line, is refused.
    const std::string name = Trim(valueName);
    if (name.empty() || name != valueName || name.find('=') != std::string::npos || name[0] == '[')
        return false;
    if (!MakeFolders(file.substr(0, file.rfind('/')))) return false;
    return WriteProfileString(keyPath.c_str(), name.c_str(), Stored(text).c_str(), file);
}

std::string RegistryStandInFile(const std::string& root) {
    for (const char* name : kRootNames)
        if (Fold(root) == Fold(name)) return StoreFile(name);
    return std::string();
}

}  // namespace platform
