#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "Notice.h"

struct sqlite3;

namespace avls {

struct StoredView {
    View view;
    int64_t received = 0;   // seconds since 1970 UTC
    std::string client;     // the peer's address
};

// The views accepted so far, in one SQLite file. Safe to share between the
// server's worker threads.
class ViewStore
{
public:
    // Creates the file and its table when create is set; otherwise the file
    // must exist and is opened read-only. Null with *error on failure.
    static std::unique_ptr<ViewStore> Open(const std::string& path, bool create, std::string* error);
    ~ViewStore();

    ViewStore(const ViewStore&) = delete;
    ViewStore& operator=(const ViewStore&) = delete;

    // Committed when it returns true, so a client told "OK" never loses its view.
    bool Add(const View& view, int64_t received, const std::string& client, std::string* error);

    // In the order received.
    bool ForEach(const std::function<void(const StoredView&)>& visit, std::string* error);

private:
    explicit ViewStore(sqlite3* db) : m_db(db) {}

    sqlite3* m_db;
    std::mutex m_mutex;
};

} // namespace avls
