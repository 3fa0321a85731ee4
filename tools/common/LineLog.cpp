#include "LineLog.h"

#include "Bounds.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

namespace tools {

LineLog::LineLog(int fd, std::string prefix, size_t maxQueued) : LineLog(fd, false, std::move(prefix), maxQueued) {}

LineLog::LineLog(int fd, bool ownsFd, std::string prefix, size_t maxQueued)
    : m_fd(fd), m_ownsFd(ownsFd), m_prefix(std::move(prefix)), m_maxQueued(maxQueued), m_writer([this] { Run(); }) {}

std::unique_ptr<LineLog> LineLog::Append(const std::string& path, std::string prefix, std::string* error) {
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = "cannot open the log " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    try {
        return std::unique_ptr<LineLog>(new LineLog(fd, true, std::move(prefix), 10000));
    } catch (...) {
        close(fd);
        throw;
    }
}

LineLog::~LineLog() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_work.notify_one();
    if (m_writer.joinable()) m_writer.join();
    if (m_ownsFd) close(m_fd);
}

void LineLog::Write(std::string line) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_queue.size() >= m_maxQueued) {
            ++m_dropped;
            return;
        }
        m_queue.push_back(std::move(line));
    }
    m_work.notify_one();
}

bool LineLog::Finish(int ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_idle.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_queue.empty() && !m_writing; });
}

bool LineLog::WriteAll(const std::string& text) {
    for (size_t at = 0; at < text.size();) {
        const ssize_t n = ::write(m_fd, text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

void LineLog::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_work.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
        if (m_queue.empty()) return;
        // Everything queued in one write: a busy server's lines cost one call each batch.
        std::string text;
        while (!m_queue.empty() && text.size() < 64 * 1024) {
            text += m_queue.front();
            m_queue.pop_front();
        }
        m_writing = true;
        lock.unlock();
        const uint64_t dropped = m_dropped;
        if (dropped != m_droppedNoted) {
            text += m_prefix + std::to_string(dropped - m_droppedNoted) + " log lines dropped while the log's reader stalled\n";
            m_droppedNoted = dropped;
        }
        WriteAll(text);
        lock.lock();
        m_writing = false;
        if (m_queue.empty()) m_idle.notify_all();
    }
}

ServerLogs::ServerLogs(const std::string& prefix)
    : prefix(prefix), errors(STDERR_FILENO, prefix, kMaxLogLines) {}

bool ServerLogs::Open(const std::string& logFile, bool verbose, std::string* error) {
    if (!logFile.empty() && !(file = LineLog::Append(logFile, prefix, error))) return false;
    requests = file ? file.get() : verbose ? &errors : nullptr;
    return true;
}

}  // namespace tools
