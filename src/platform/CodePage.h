// The multi-byte code page the library's texts and paths are in: a lead byte starts a
// two-byte character whose second byte may be 0x5C, the backslash, so separator scans
// must step over whole characters.
#pragma once

namespace platform {

// Windows: the system's ANSI code page, as the file system reads paths. posix: code page 932.
bool IsLeadByte(unsigned char c);

}  // namespace platform
