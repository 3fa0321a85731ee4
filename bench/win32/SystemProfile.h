#pragma once
#include <cstdint>

void SystemProfileWrite(const char* section, const char* key, const char* value, const char* path);
uint32_t SystemProfileRead(const char* section, const char* key, char* buf, uint32_t size, const char* path);
// Makes the system write out the file it may be caching.
void SystemProfileFlush(const char* path);
void SystemDeleteFile(const char* path);
