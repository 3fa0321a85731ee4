#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "../common/Metrics.h"
#include "ViewStore.h"

namespace avls {

// Stores views for the serving threads through one store: whatever has queued while
// the last transaction ran goes into the next one, so a busy server commits many views
// at a time and a quiet one each at once. No caller waits: each view's outcome comes
// to its callback once its transaction has ended.
class Committer
{
public:
    enum class Outcome { Stored, Failed, Busy };
    using Done = std::function<void(Outcome, const std::string& error)>;
    using Note = std::function<void(const std::string& line)>;

    // At most maxQueued views wait; beyond that a view is refused at once rather than
    // held in memory while the database is slow. note takes the lines for stderr.
    Committer(ViewStore& store, size_t maxQueued, size_t maxGroup, Note note);
    ~Committer();   // stores what is queued, answers it, then stops

    Committer(const Committer&) = delete;
    Committer& operator=(const Committer&) = delete;

    // done runs on the committer's thread once the transaction holding the view has
    // ended, or at once on the caller's with Busy.
    void Add(StoredView view, Done done);

    // The last transaction committed and views are not refused for a full queue.
    bool Healthy() const { return !m_failing && !m_busy; }
    uint64_t Batches() const { return m_batches; }
    const tools::Histogram& Latency() const { return m_latency; }

private:
    struct Pending {
        StoredView view;
        Done done;
        bool stored = false;
    };

    void Run();
    // One stderr line when failures start, one when storing works again.
    void NoteFailure(const std::string& error, size_t views);
    void NoteSuccess();

    ViewStore& m_store;
    const size_t m_maxQueued;
    const size_t m_maxGroup;
    const Note m_note;
    std::mutex m_mutex;
    std::condition_variable m_work;
    std::deque<std::unique_ptr<Pending>> m_queue;
    bool m_stopping = false;
    std::atomic<bool> m_failing{false};   // written by the writer alone, as is the count
    size_t m_refused = 0;
    std::mutex m_noteMutex;
    std::atomic<bool> m_busy{false};      // views refused for a full queue since the last commit
    std::atomic<uint64_t> m_batches{0};
    tools::Histogram m_latency;
    std::thread m_writer;
};

} // namespace avls
