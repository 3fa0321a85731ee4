#include "Committer.h"

#include <vector>

namespace avls {

Committer::Committer(ViewStore& store, size_t maxQueued, size_t maxGroup, Note note)
    : m_store(store), m_maxQueued(maxQueued), m_maxGroup(maxGroup), m_note(std::move(note)), m_writer([this] { Run(); })
{
}

Committer::~Committer()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_work.notify_one();
    m_writer.join();
}

void Committer::Add(StoredView view, Done done)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_queue.size() >= m_maxQueued) {
        const std::string error = "storage busy: " + std::to_string(m_queue.size()) + " views waiting";
        lock.unlock();
        {
            std::lock_guard<std::mutex> noteLock(m_noteMutex);
            if (!m_busy) {
                m_note(error + ", refusing views until the database keeps up");
                m_busy = true;
            }
        }
        done(Outcome::Busy, error);
        return;
    }
    m_queue.push_back(std::unique_ptr<Pending>(new Pending{std::move(view), std::move(done)}));
    lock.unlock();
    m_work.notify_one();
}

void Committer::Run()
{
    std::vector<std::unique_ptr<Pending>> group;
    std::vector<StoredView> views;
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_work.wait(lock, [&] { return m_stopping || !m_queue.empty(); });
        if (m_queue.empty())
            return;   // stopping, and nothing left
        group.clear();
        while (!m_queue.empty() && group.size() < m_maxGroup) {
            group.push_back(std::move(m_queue.front()));
            m_queue.pop_front();
        }
        lock.unlock();
        views.clear();
        for (auto& p : group)
            views.push_back(std::move(p->view));
        std::string error;
        const auto began = std::chrono::steady_clock::now();
        const bool stored = m_store.Add(views, &error);
        m_latency.Observe(std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
        ++m_batches;
        if (stored)
            NoteSuccess();
        else
            NoteFailure(error, views.size());
        for (auto& p : group) {
            p->stored = stored;
            p->done(p->stored ? Outcome::Stored : Outcome::Failed, error);
        }
        lock.lock();
    }
}

void Committer::NoteFailure(const std::string& error, size_t views)
{
    if (!m_failing) {
        m_note(error + "; refusing views until storing works again");
        m_failing = true;
        m_refused = 0;
    }
    m_refused += views;
}

void Committer::NoteSuccess()
{
    {
        std::lock_guard<std::mutex> noteLock(m_noteMutex);
        if (m_busy) {
            m_note("storage keeps up again");
            m_busy = false;
        }
    }
    if (m_failing) {
        m_note("storing again after " + std::to_string(m_refused) + " refused views");
        m_failing = false;
    }
}

} // namespace avls
