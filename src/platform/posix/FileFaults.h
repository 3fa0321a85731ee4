// Test hook of the posix file layer, and the layer's calls that honour it: makes one
// chosen call fail as the system would (a full disk, a failing device, a folder that
// refuses a name), so tests can show what each failure does to the catalogue and the ads.
// Inert until armed; one relaxed load when off.
#pragma once
#include <atomic>
#include <cstddef>
#include <string>

namespace platform {
namespace test {

// Create: a file or folder made anew (also a cabinet's unpacked member); Write: one write
// of a file's bytes; Sync: flushing a file to the disk; Rename; Remove: deleting a file.
enum class FileOp { Create, Write, Sync, Rename, Remove, kCount };

// The nth call of `op` from now on (1 = the next one) fails with `error`; 0 only counts.
void FailFileOp(FileOp op, unsigned nth, int error);
// Calls of `op` since it was last armed.
unsigned FileOpCalls(FileOp op);
void ClearFileFaults();

}  // namespace test

namespace detail {
extern std::atomic<bool> g_fileFaultsArmed;
bool HitFileFault(test::FileOp op);  // sets errno when it hits
}  // namespace detail

// True (errno set) when this call is the one a test chose to fail.
inline bool InjectedFileFault(test::FileOp op) {
    return detail::g_fileFaultsArmed.load(std::memory_order_relaxed) && detail::HitFileFault(op);
}

// The file layer's own calls on descriptors, each failing where a test armed a fault;
// the cabinet reader writes its members through them too.
// A new file for writing (O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0666); -1 and errno.
int CreateForWriting(const std::string& path, int flags);
// All of data, again after an interrupt; false with osError set (EIO for a write of 0).
bool WriteAll(int fd, const void* data, size_t size, int& osError);
// fsync; -1 and errno.
int SyncFile(int fd);

}  // namespace platform
