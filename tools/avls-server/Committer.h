#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "ViewStore.h"

namespace avls {

// Stores views for many request threads through one store: whatever has queued while
// the last transaction ran goes into the next one, so a busy server commits many views
// at a time and a quiet one each at once. A view waits for its own commit.
class Committer
{
public:
    enum class Outcome { Stored, Failed, Busy };

    // At most maxQueued views wait; beyond that a view is refused at once rather than
    // held in memory while the database is slow.
    Committer(ViewStore& store, size_t maxQueued, size_t maxGroup);
    ~Committer();   // after the last request: stores what is queued, then stops

    Committer(const Committer&) = delete;
    Committer& operator=(const Committer&) = delete;

    // Stored only once the transaction holding the view has committed.
    Outcome Add(const StoredView& view, std::string* error);

private:
    struct Pending {
        const StoredView* view = nullptr;
        bool done = false;
        bool stored = false;
        std::string error;
    };

    void Run();
    // One stderr line when failures start, one when storing works again.
    void NoteFailure(const std::string& error, size_t views);
    void NoteSuccess();

    ViewStore& m_store;
    const size_t m_maxQueued;
    const size_t m_maxGroup;
    std::mutex m_mutex;
    std::condition_variable m_work;
    std::condition_variable m_done;
    std::deque<Pending*> m_queue;
    bool m_stopping = false;
    bool m_failing = false;      // the writer's alone, as is the count
    size_t m_refused = 0;
    std::mutex m_noteMutex;
    bool m_busy = false;         // views refused for a full queue since the last commit
    std::thread m_writer;
};

} // namespace avls
