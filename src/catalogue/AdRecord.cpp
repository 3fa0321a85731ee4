#include "catalogue/AdRecord.h"

#include <strings.h>

#include <algorithm>
#include <cstring>

#include "platform/Files.h"

int32_t AdTypeOfExtension(const char* extension) {
    static const struct {
        const char* ext;
        int32_t type;
    } kTypes[] = {{"asf", AD_TYPE_MOVIE}, {"wmv", AD_TYPE_MOVIE}, {"cab", AD_TYPE_MOVIE},
                  {"jpg", AD_TYPE_PICTURE}, {"png", AD_TYPE_PICTURE}};
    if (!extension) return AD_TYPE_NONE;
    for (const auto& t : kTypes)
        if (strcasecmp(extension, t.ext) == 0) return t.type;
    return AD_TYPE_NONE;
}

bool IsMovieFileExtension(const char* extension) {
    static const char* const kMovies[] = {"asf", "wmv", "avi", "mpg", "mpeg", "mp4", "m4v", "mov", "webm", "mkv"};
    if (!extension) return false;
    for (const char* movie : kMovies)
        if (strcasecmp(extension, movie) == 0) return true;
    return false;
}

bool IsAdFileExtension(const char* extension) {
    return AdTypeOfExtension(extension) != AD_TYPE_NONE || IsMovieFileExtension(extension);
}

CString FileNameOf(const CString& path) {
    return path.substr(std::max(FindLastSingleByte(path, '\\') + 1, FindLastSingleByte(path, '/') + 1));
}

bool IsAdFileName(const CString& name) {
    constexpr size_t kDigits = 7;
    if (name.size() < kDigits + 2 || name[kDigits] != '.') return false;
    if (!std::all_of(name.begin(), name.begin() + kDigits, [](char c) { return c >= '0' && c <= '9'; })) return false;
    return IsAdFileExtension(name.c_str() + kDigits + 1);
}

CString LinkToKeep(const CString& link) {
    for (const char* scheme : {"http://", "https://"})
        if (strncasecmp(link.c_str(), scheme, std::strlen(scheme)) == 0) return link;
    return CString();
}

bool FileFitsType(const CString& path, int32_t type) {
    const size_t sep = std::max(FindLastSingleByte(path, '\\') + 1, FindLastSingleByte(path, '/') + 1);
    const size_t dot = FindLastSingleByte(path, '.');
    if (dot == CString::npos || dot < sep) return false;
    const char* extension = path.c_str() + dot + 1;
    if (type == AD_TYPE_MOVIE) return IsMovieFileExtension(extension);
    return AdTypeOfExtension(extension) == AD_TYPE_PICTURE;
}

void ThumbnailPathOf(char* path) {
    constexpr size_t kBuffer = 260;
    size_t len = strnlen(path, kBuffer - 1);
    path[len] = '\0';
    char* dot = nullptr;
    // The dot must be a single-byte character of the text, not a trail byte.
    for (size_t i = 0; i < len; ++i) {
        if (IsLeadByte(static_cast<unsigned char>(path[i])) && i + 1 < len) { ++i; continue; }
        if (path[i] == '.') dot = path + i;
    }
    if (!dot || static_cast<size_t>(dot - path) + 4 >= kBuffer) { path[0] = '\0'; return; }
    std::memcpy(dot + 1, "jpg", 4);
    if (!platform::Exists(path)) path[0] = '\0';
}
