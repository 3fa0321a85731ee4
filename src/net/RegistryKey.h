// Server URLs live in the current user's registry and are read afresh each time.
#pragma once
#include <cstdint>

#include "frame/Afx.h"
#include "platform/Registry.h"

using HKEY = platform::RegistryKey;
inline const HKEY HKEY_CURRENT_USER = platform::kRegistryCurrentUser;
inline const HKEY HKEY_LOCAL_MACHINE = platform::kRegistryLocalMachine;

// One open registry key.
class CRegistryKey {
public:
    // Nothing is opened; root only stands in the key member until Open.
    explicit CRegistryKey(HKEY root);
    virtual ~CRegistryKey();
    CRegistryKey(const CRegistryKey&) = delete;
    CRegistryKey& operator=(const CRegistryKey&) = delete;

    BOOL Open(HKEY root, LPCSTR path);
    // Sets text only when the value was read; values over 1024 bytes count as missing.
    BOOL QueryString(LPCSTR name, CString& text);
    void Close();

    static constexpr uint32_t kValueBufferSize = 1024;

    int32_t m_lStatus = 0;  // result of the last open or query
    DWORD m_dwType = 0;
    DWORD m_dwSize = 0;
    HKEY m_hKey;
    CString m_strPath;

private:
    bool m_bOpened = false;  // the root given to the constructor is not ours to close
};

// One value of root\path as text; text is left alone when it cannot be read.
BOOL ReadRegistryString(HKEY root, LPCSTR path, LPCSTR name, CString& text);
