#include "net/RegistryKey.h"

#include <cstring>

CRegistryKey::CRegistryKey(HKEY root) : m_hKey(root) {}

CRegistryKey::~CRegistryKey() { Close(); }

BOOL CRegistryKey::Open(HKEY root, LPCSTR path) {
    Close();  // a second Open must not leak the first key
    m_strPath = path ? path : "";
    m_lStatus = platform::RegistryOpenKey(root, m_strPath.c_str(), m_hKey);
    m_bOpened = m_hKey != nullptr;
    m_dwType = 0;
    m_dwSize = 0;
    return m_lStatus == platform::kRegistrySuccess;
}

BOOL CRegistryKey::QueryString(LPCSTR name, CString& text) {
    char buffer[kValueBufferSize];
    uint32_t type = 0;
    uint32_t size = sizeof buffer;
    m_lStatus = platform::RegistryQueryValue(m_hKey, name, type, buffer, size);
    m_dwType = type;
    m_dwSize = size;
    if (m_lStatus != platform::kRegistrySuccess) return FALSE;
    const size_t read = size < sizeof buffer ? size : sizeof buffer;
    const void* nul = std::memchr(buffer, '\0', read);
    text.assign(buffer, nul ? static_cast<size_t>(static_cast<const char*>(nul) - buffer) : read);
    return TRUE;
}

void CRegistryKey::Close() {
    if (m_hKey && m_bOpened) platform::RegistryCloseKey(m_hKey);
    m_hKey = nullptr;
    m_bOpened = false;
}

BOOL ReadRegistryString(HKEY root, LPCSTR path, LPCSTR name, CString& text) {
    CRegistryKey key(HKEY_LOCAL_MACHINE);
    if (!key.Open(root, path)) return FALSE;
    BOOL read = key.QueryString(name, text);
    key.Close();
    return read;
}
