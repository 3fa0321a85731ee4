// Per-thread message queues: the cancel request travels to the update worker this way.
#pragma once
#include <cstdint>

namespace platform {

using ThreadId = uint64_t;

ThreadId CurrentThreadId();
// Posts a message to a thread's queue; false when the thread has no queue any more.
bool PostToThread(ThreadId thread, unsigned message, uintptr_t wParam, intptr_t lParam);
// Takes the first waiting message of the calling thread's queue, if any.
bool PeekOwnThreadMessage(unsigned& message);
// Gives the calling thread a queue (until ReleaseThreadQueue), so posts to it are kept.
void CreateThreadQueue();
void ReleaseThreadQueue();

}  // namespace platform
