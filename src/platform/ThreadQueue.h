// Threads and their message queues: the cancel request travels to the update worker as a
// posted thread message, and the completion reaches the host as a posted window message.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>

namespace platform {

using ThreadId = uint64_t;

// Ids are never reused within a process, so a post to an ended thread goes nowhere.
ThreadId CurrentThreadId();
// Posts a message to a thread's queue; false when the thread has no queue (any more).
bool PostToThread(ThreadId thread, unsigned message, uintptr_t wParam, intptr_t lParam);
// Takes the first waiting message of the calling thread's queue, if any.
bool PeekOwnThreadMessage(unsigned& message);
// Gives the calling thread a queue (until ReleaseThreadQueue), so posts to it are kept.
void CreateThreadQueue();
void ReleaseThreadQueue();

// A thread of the library's own. Its id and queue exist before it runs, so a message
// posted right after Start is never lost; the queue goes when the body returns.
class Thread {
public:
    virtual ~Thread() = default;
    virtual ThreadId Id() const = 0;
    // Waits until the body has returned and the thread is gone. Never from the thread itself.
    virtual void Join() = 0;
};
// Null when the system cannot start a thread.
std::unique_ptr<Thread> StartThread(std::function<void()> body);

// Posts a window message to the host; never waits. On POSIX the window is a file
// descriptor that receives 12 bytes per message: message, wParam, lParam, each a
// little-endian uint32. One it cannot take at once (a full pipe) is lost, with a line in
// the debug log, as a full Windows queue refuses it.
bool PostToWindow(void* window, unsigned message, uint32_t wParam, uint32_t lParam);

void SleepMilliseconds(uint32_t ms);

// The library is unloaded while the process goes on, after its update was cancelled.
// Windows (under the loader lock): the boxes of the library's threads are answered, each
// thread gets a bounded time to end and is ended after it. posix: the messages waiting
// for Enter are answered and the joins that follow wait, for threads that no longer block
// on the host. From then on (Windows) LibraryEnding() holds and nothing reaches the host.
void EndLibraryThreads();
bool LibraryEnding();
// A library thread that meets the cancel once the library is ending waits there to be
// ended instead of unwinding (which may need the lock the ending holds). Returns at once
// on a thread that is not the library's, and on posix.
void ParkForLibraryEnd();

}  // namespace platform
