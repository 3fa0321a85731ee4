// Log lines written by one thread of their own, so that a reader that stalls (a full
// pipe on stderr, a slow disk) never holds up serving: past a bound, lines are dropped
// and counted, and the count is written once writing works again.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace tools {

class LineLog {
public:
    // Writes to fd, which stays open; the thread starts at once (std::system_error when
    // it cannot). Each line is prefixed with prefix when it comes from the log itself.
    LineLog(int fd, std::string prefix, size_t maxQueued);
    ~LineLog();
    LineLog(const LineLog&) = delete;
    LineLog& operator=(const LineLog&) = delete;

    // A file opened for appending, or null with *error set.
    static std::unique_ptr<LineLog> Append(const std::string& path, std::string prefix, std::string* error);

    // Never blocks on the reader. The line should end with a line feed.
    void Write(std::string line);
    uint64_t Dropped() const { return m_dropped; }
    // Writes what is queued, for at most ms; false when the reader still blocks, in
    // which case the caller should end the process rather than wait for it.
    bool Finish(int ms);

private:
    void Run();
    bool WriteAll(const std::string& text);

    const int m_fd;
    const bool m_ownsFd;
    const std::string m_prefix;
    const size_t m_maxQueued;
    std::mutex m_mutex;
    std::condition_variable m_work, m_idle;
    std::deque<std::string> m_queue;
    bool m_writing = false, m_stopping = false;
    std::atomic<uint64_t> m_dropped{0};
    uint64_t m_droppedNoted = 0;  // the writer's alone
    std::thread m_writer;

    LineLog(int fd, bool ownsFd, std::string prefix, size_t maxQueued);
};

// A server's logs: standard error for start, stop and failures, and the request lines,
// which go to --log FILE, else to standard error with --verbose, else nowhere.
struct ServerLogs {
    explicit ServerLogs(const std::string& prefix);
    // False with *error when the file cannot be opened.
    bool Open(const std::string& logFile, bool verbose, std::string* error);
    uint64_t Dropped() const { return errors.Dropped() + (file ? file->Dropped() : 0); }
    // False when a reader still blocks after ms each: the caller should not wait for it.
    bool Finish(int ms) { return errors.Finish(ms) && (!file || file->Finish(ms)); }

    const std::string prefix;
    LineLog errors;
    std::unique_ptr<LineLog> file;
    LineLog* requests = nullptr;
};

}  // namespace tools
