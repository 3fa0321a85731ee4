// The registry as the library reads it: open a key under a root, query one value, close.
// The calls mirror the system's own so its backend stays a thin forwarder; a backend
// without a registry keeps the values in a stand-in store.
#pragma once
#include <cstdint>
#include <string>

namespace platform {

struct RegistryKeyObject;
using RegistryKey = RegistryKeyObject*;

// The predefined roots; they are never opened or closed.
inline const RegistryKey kRegistryClassesRoot = reinterpret_cast<RegistryKey>(uintptr_t{0x80000000u});
inline const RegistryKey kRegistryCurrentUser = reinterpret_cast<RegistryKey>(uintptr_t{0x80000001u});
inline const RegistryKey kRegistryLocalMachine = reinterpret_cast<RegistryKey>(uintptr_t{0x80000002u});
inline const RegistryKey kRegistryUsers = reinterpret_cast<RegistryKey>(uintptr_t{0x80000003u});

// Results, numbered as the system numbers them.
enum : int32_t {
    kRegistrySuccess = 0,
    kRegistryNotFound = 2,
    kRegistryInvalidHandle = 6,
    kRegistryMoreData = 234,
};
enum : uint32_t { kRegistryTypeString = 1 };

// Opens `path` below `root` (a predefined root or an open key); on failure key is null.
int32_t RegistryOpenKey(RegistryKey root, const char* path, RegistryKey& key);
// Copies the value and its terminating NUL into data. size offers the buffer's bytes and
// comes back as the value's; a larger value gives kRegistryMoreData and no data.
int32_t RegistryQueryValue(RegistryKey key, const char* name, uint32_t& type, void* data,
                           uint32_t& size);
// Closing a predefined root does nothing.
int32_t RegistryCloseKey(RegistryKey key);

// For tools and tests, never the library: stores a text value, creating the key.
// root is a root's name ("HKEY_CURRENT_USER"). False when the value cannot be stored.
bool WriteRegistryValue(const std::string& root, const std::string& keyPath,
                        const std::string& valueName, const std::string& text);
// Where a stand-in store keeps a root's values, for tools to show; "" under a real registry.
std::string RegistryStandInFile(const std::string& root);

}  // namespace platform
