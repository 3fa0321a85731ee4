// One ad of the catalogue, copied by value.
#pragma once
#include <cstddef>
#include <cstdint>

#include "frame/Afx.h"

enum : int32_t { AD_TYPE_NONE = -1, AD_TYPE_PICTURE = 0, AD_TYPE_MOVIE = 1 };

class CAdRecord {
public:
    explicit CAdRecord(DWORD id = 0) : ID(id) {}
    virtual ~CAdRecord() = default;
    CAdRecord(const CAdRecord&) = default;
    CAdRecord& operator=(const CAdRecord&) = default;
    CAdRecord(CAdRecord&&) = default;
    CAdRecord& operator=(CAdRecord&&) = default;

    CString Name;
    CString File;
    DWORD ID;
    int32_t Type = AD_TYPE_NONE;
    CString URL;
    uint32_t CreationTime = 0;  // of the payload file; not stored in the catalogue file
    uint32_t Time = 0;          // last reported view, 0 = never shown
    int32_t Favorite = 0;
    int32_t Priority = 0;
    int32_t Cabinet = 0;        // payload must be unpacked; not stored
    int32_t Size = 0;
};

// Type of a payload extension (without its dot), compared without regard to case.
int32_t AdTypeOfExtension(const char* extension);

// A movie's file must be a video that the shell hands to a player: never a type that
// Windows runs, or opens as a script, a shortcut or a document with code. The extension
// is given without its dot, compared without regard to case.
bool IsMovieFileExtension(const char* extension);
constexpr size_t kLongestMovieExtension = 4;
// The file of a record of `type` (a movie, else a picture) is of a type it may be: a
// catalogue written by an older build may name a movie unpacked from a cabinet as a program.
bool FileFitsType(const CString& path, int32_t type);

// The extensions of the files the library puts in the ad folder under an ad's code: the
// list's and the movies a cabinet may carry (without the dot, without regard to case).
bool IsAdFileExtension(const char* extension);
// The text after the last separator of either kind, whichever system wrote the path.
CString FileNameOf(const CString& path);
// A name the library gives an ad's file: seven digits, a dot and one of those extensions.
bool IsAdFileName(const CString& name);

// The link a host may open for an ad: only a web page's. A host hands the link to the
// shell, which starts a program for a file, a share, a drive path or a scheme of its own;
// any such link is kept as none.
CString LinkToKeep(const CString& link);

// Rewrites a 260-byte path buffer in place to the ad's thumbnail: the same path with the
// extension "jpg" if that file exists, else the empty text.
void ThumbnailPathOf(char* path);
