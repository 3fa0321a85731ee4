// The registry itself; the seam's roots carry the system's own handle values.
#include "platform/Registry.h"

#include <windows.h>

namespace platform {
namespace {
bool IsRoot(RegistryKey key) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(key);
    return value >= 0x80000000u && value <= 0x80000006u;
}

// The system's roots are sign-extended 32-bit values; ours are the same numbers unsigned.
HKEY Native(RegistryKey key) {
    if (IsRoot(key))
        return reinterpret_cast<HKEY>(static_cast<LONG_PTR>(static_cast<LONG>(reinterpret_cast<uintptr_t>(key))));
    return reinterpret_cast<HKEY>(key);
}

HKEY RootNamed(const std::string& name) {
    if (name == "HKEY_CURRENT_USER") return HKEY_CURRENT_USER;
    if (name == "HKEY_LOCAL_MACHINE") return HKEY_LOCAL_MACHINE;
    if (name == "HKEY_CLASSES_ROOT") return HKEY_CLASSES_ROOT;
    if (name == "HKEY_USERS") return HKEY_USERS;
    return nullptr;
}
}  // namespace

int32_t RegistryOpenKey(RegistryKey root, const char* path, RegistryKey& key) {
    HKEY opened = nullptr;
    const LONG status = RegOpenKeyExA(Native(root), path, 0, KEY_ALL_ACCESS, &opened);
    key = status == ERROR_SUCCESS ? reinterpret_cast<RegistryKey>(opened) : nullptr;
    return status;
}

int32_t RegistryQueryValue(RegistryKey key, const char* name, uint32_t& type, void* data, uint32_t& size) {
    DWORD t = 0, n = size;
    const LONG status = RegQueryValueExA(Native(key), name, nullptr, &t, static_cast<BYTE*>(data), &n);
    type = t;
    size = n;
    return status;
}

int32_t RegistryCloseKey(RegistryKey key) {
    if (IsRoot(key)) return ERROR_SUCCESS;
    return RegCloseKey(Native(key));
}

bool WriteRegistryValue(const std::string& root, const std::string& keyPath, const std::string& valueName,
                        const std::string& text) {
    HKEY base = RootNamed(root), key = nullptr;
    if (!base || RegCreateKeyExA(base, keyPath.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
                     ERROR_SUCCESS)
        return false;
    const LONG status = RegSetValueExA(key, valueName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                       static_cast<DWORD>(text.size() + 1));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

std::string RegistryStandInFile(const std::string&) { return std::string(); }

}  // namespace platform
