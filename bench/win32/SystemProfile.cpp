// The system's profile functions, apart: windows.h and the core's headers do not mix.
#include <windows.h>

#include "SystemProfile.h"

void SystemProfileWrite(const char* section, const char* key, const char* value, const char* path) {
    WritePrivateProfileStringA(section, key, value, path);
}

uint32_t SystemProfileRead(const char* section, const char* key, char* buf, uint32_t size, const char* path) {
    return GetPrivateProfileStringA(section, key, "", buf, size, path);
}

void SystemProfileFlush(const char* path) { WritePrivateProfileStringA(nullptr, nullptr, nullptr, path); }

void SystemDeleteFile(const char* path) { DeleteFileA(path); }
