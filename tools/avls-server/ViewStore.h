#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Notice.h"

namespace avls {

struct StoredView {
    View view;
    int64_t received = 0;   // seconds since 1970 UTC
    std::string client;     // the peer's address
    // When the view was read; the store gives up on an unknown outcome within the
    // client's own patience from here. A clock change does not move it.
    std::chrono::steady_clock::time_point arrived = std::chrono::steady_clock::now();
};

// Where the accepted views are kept: a SQLite file or a PostgreSQL database. Used by
// one thread at a time (the committer's, or --dump's).
class ViewStore
{
public:
    // A "postgresql://" or "postgres://" URI opens PostgreSQL, anything else is a SQLite
    // file. With create set the tables are made when missing; otherwise they must exist
    // and are only read. Null with a one-line *error on failure.
    static std::unique_ptr<ViewStore> Open(const std::string& db, bool create, std::string* error);
    static bool IsPostgres(const std::string& db);

    virtual ~ViewStore() = default;

    // All of them in one transaction; true only once it has committed. On false none
    // of them is stored.
    virtual bool Add(const std::vector<StoredView>& views, std::string* error) = 0;

    // In the order stored.
    virtual bool ForEach(const std::function<void(const StoredView&)>& visit, std::string* error) = 0;
};

std::unique_ptr<ViewStore> OpenSqlite(const std::string& path, bool create, std::string* error);
std::unique_ptr<ViewStore> OpenPostgres(const std::string& uri, bool create, std::string* error);

// The URI with any password replaced, for messages.
std::string WithoutPassword(const std::string& uri);

} // namespace avls
