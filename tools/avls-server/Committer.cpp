#include "Committer.h"

#include <cstdio>
#include <vector>

namespace avls {

Committer::Committer(ViewStore& store, size_t maxQueued, size_t maxGroup)
    : m_store(store), m_maxQueued(maxQueued), m_maxGroup(maxGroup), m_writer([this] { Run(); })
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

Committer::Outcome Committer::Add(const StoredView& view, std::string* error)
{
    Pending pending;
    pending.view = &view;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_queue.size() >= m_maxQueued) {
        *error = "storage busy: " + std::to_string(m_queue.size()) + " views waiting";
        lock.unlock();
        std::lock_guard<std::mutex> noteLock(m_noteMutex);
        if (!m_busy) {
            std::fprintf(stderr, "avls-server: %s, refusing views until the database keeps up\n", error->c_str());
            std::fflush(stderr);
            m_busy = true;
        }
        return Outcome::Busy;
    }
    m_queue.push_back(&pending);
    m_work.notify_one();
    m_done.wait(lock, [&] { return pending.done; });
    if (!pending.stored)
        *error = pending.error;
    return pending.stored ? Outcome::Stored : Outcome::Failed;
}

void Committer::Run()
{
    std::vector<Pending*> group;
    std::vector<StoredView> views;
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_work.wait(lock, [&] { return m_stopping || !m_queue.empty(); });
        if (m_queue.empty())
            return;   // stopping, and nothing left
        group.clear();
        while (!m_queue.empty() && group.size() < m_maxGroup) {
            group.push_back(m_queue.front());
            m_queue.pop_front();
        }
        lock.unlock();
        views.clear();
        for (Pending* p : group)
            views.push_back(*p->view);
        std::string error;
        const bool stored = m_store.Add(views, &error);
        if (stored)
            NoteSuccess();
        else
            NoteFailure(error, views.size());
        lock.lock();
        for (Pending* p : group) {
            p->done = true;
            p->stored = stored;
            p->error = error;
        }
        m_done.notify_all();
    }
}

void Committer::NoteFailure(const std::string& error, size_t views)
{
    if (!m_failing) {
        std::fprintf(stderr, "avls-server: %s; refusing views until storing works again\n", error.c_str());
        std::fflush(stderr);
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
            std::fprintf(stderr, "avls-server: storage keeps up again\n");
            m_busy = false;
        }
    }
    if (m_failing) {
        std::fprintf(stderr, "avls-server: storing again after %zu refused views\n", m_refused);
        std::fflush(stderr);
        m_failing = false;
    }
}

} // namespace avls
