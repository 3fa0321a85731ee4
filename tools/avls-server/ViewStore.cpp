#include "ViewStore.h"

#include <sqlite3.h>

namespace avls {

namespace {

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS views ("
    " id INTEGER PRIMARY KEY,"
    " user_id TEXT NOT NULL,"
    " code INTEGER NOT NULL,"
    " number INTEGER NOT NULL,"
    " text TEXT NOT NULL,"
    " received INTEGER NOT NULL,"   // seconds since 1970 UTC
    " client TEXT NOT NULL)";

std::string ErrorOf(sqlite3* db, const std::string& what)
{
    return what + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
}

// Texts are the client's bytes (cp932 and all); SQLite keeps them as given.
std::string ColumnText(sqlite3_stmt* st, int col)
{
    const unsigned char* p = sqlite3_column_text(st, col);
    int n = sqlite3_column_bytes(st, col);
    return p ? std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
}

struct Statement {
    sqlite3_stmt* st = nullptr;
    ~Statement() { sqlite3_finalize(st); }
};

} // namespace

std::unique_ptr<ViewStore> ViewStore::Open(const std::string& path, bool create, std::string* error)
{
    sqlite3* db = nullptr;
    int flags = create ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    if (sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        *error = ErrorOf(db, "cannot open " + path);
        sqlite3_close(db);
        return nullptr;
    }
    // A --dump while the server writes, or two servers on one file, wait
    // rather than fail.
    sqlite3_busy_timeout(db, 5000);
    std::unique_ptr<ViewStore> store(new ViewStore(db));
    // Every view answered "OK" must outlive a crash of the server and of the machine, so
    // each commit is synced (FULL). In WAL mode that is one sync of the log per commit; the
    // rollback journal took several, and the server stored twenty-five times fewer views.
    if (create && sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL", nullptr, nullptr, nullptr) !=
                      SQLITE_OK) {
        *error = ErrorOf(db, "cannot set up " + path);
        return nullptr;
    }
    if (create && sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
        *error = ErrorOf(db, "cannot set up " + path);
        return nullptr;
    }
    return store;
}

ViewStore::~ViewStore()
{
    sqlite3_close(m_db);
}

bool ViewStore::Add(const View& view, int64_t received, const std::string& client, std::string* error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Statement s;
    if (sqlite3_prepare_v2(m_db,
            "INSERT INTO views (user_id, code, number, text, received, client) VALUES (?, ?, ?, ?, ?, ?)",
            -1, &s.st, nullptr) != SQLITE_OK) {
        *error = ErrorOf(m_db, "cannot store");
        return false;
    }
    sqlite3_bind_text(s.st, 1, view.userId.data(), static_cast<int>(view.userId.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(s.st, 2, view.code);
    sqlite3_bind_int64(s.st, 3, view.number);
    sqlite3_bind_text(s.st, 4, view.text.data(), static_cast<int>(view.text.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(s.st, 5, received);
    sqlite3_bind_text(s.st, 6, client.data(), static_cast<int>(client.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(s.st) != SQLITE_DONE) {
        *error = ErrorOf(m_db, "cannot store");
        return false;
    }
    return true;
}

bool ViewStore::ForEach(const std::function<void(const StoredView&)>& visit, std::string* error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Statement s;
    if (sqlite3_prepare_v2(m_db,
            "SELECT user_id, code, number, text, received, client FROM views ORDER BY id",
            -1, &s.st, nullptr) != SQLITE_OK) {
        *error = ErrorOf(m_db, "cannot read");
        return false;
    }
    int rc;
    while ((rc = sqlite3_step(s.st)) == SQLITE_ROW) {
        StoredView v;
        v.view.userId = ColumnText(s.st, 0);
        v.view.code = static_cast<uint32_t>(sqlite3_column_int64(s.st, 1));
        v.view.number = static_cast<int32_t>(sqlite3_column_int64(s.st, 2));
        v.view.text = ColumnText(s.st, 3);
        v.received = sqlite3_column_int64(s.st, 4);
        v.client = ColumnText(s.st, 5);
        visit(v);
    }
    if (rc != SQLITE_DONE) {
        *error = ErrorOf(m_db, "cannot read");
        return false;
    }
    return true;
}

} // namespace avls
