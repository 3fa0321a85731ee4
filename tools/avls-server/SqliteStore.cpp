#include "ViewStore.h"

#include <sqlite3.h>

#include <sys/resource.h>
#include <sys/stat.h>

namespace avls {

namespace {

// The version row lets a later server migrate a file an earlier one made.
const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS views ("
    " id INTEGER PRIMARY KEY,"
    " user_id TEXT NOT NULL,"
    " code INTEGER NOT NULL,"
    " number INTEGER NOT NULL,"
    " text TEXT NOT NULL,"
    " received INTEGER NOT NULL,"   // seconds since 1970 UTC
    " client TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL);"
    "INSERT INTO schema_version (version) SELECT 1 WHERE NOT EXISTS (SELECT 1 FROM schema_version);";

std::string ErrorOf(sqlite3* db, const std::string& what)
{
    return what + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
}

// A write past the process's file-size limit fails with EFBIG, which SQLite reports as
// a plain "disk I/O error" without the cause; the operator needs to know it was the limit.
bool AtSizeLimit(const std::string& path)
{
    rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return false;
    for (const char* suffix : {"", "-wal", "-journal"}) {
        struct stat st;
        // Within a few frames of the limit: the failed write was the one that crossed it.
        if (stat((path + suffix).c_str(), &st) == 0 && static_cast<rlim_t>(st.st_size) + (1 << 20) > limit.rlim_cur)
            return true;
    }
    return false;
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

class SqliteStore : public ViewStore
{
public:
    SqliteStore(sqlite3* db, std::string path) : m_db(db), m_path(std::move(path)) {}
    ~SqliteStore() override
    {
        sqlite3_finalize(m_insert.st);   // the file stays open while a statement lives
        m_insert.st = nullptr;
        sqlite3_close(m_db);
    }

    bool Setup(const std::string& path, bool create, std::string* error)
    {
        // A --dump while the server writes, or two servers on one file, wait rather than fail.
        sqlite3_busy_timeout(m_db, 5000);
        if (!create)
            return true;
        // Every view answered "OK" must outlive a crash of the server and of the machine, so
        // each commit is synced (FULL). In WAL mode that is one sync of the log per commit.
        if (sqlite3_exec(m_db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL", nullptr, nullptr, nullptr) !=
                SQLITE_OK ||
            sqlite3_exec(m_db, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
            *error = ErrorOf(m_db, "cannot set up " + path);
            return false;
        }
        return true;
    }

    bool Add(const std::vector<StoredView>& views, std::string* error) override
    {
        if (!m_insert.st &&
            sqlite3_prepare_v2(m_db,
                "INSERT INTO views (user_id, code, number, text, received, client) VALUES (?, ?, ?, ?, ?, ?)", -1,
                &m_insert.st, nullptr) != SQLITE_OK) {
            *error = ErrorOf(m_db, "cannot store");
            return false;
        }
        if (sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
            *error = ErrorOf(m_db, "cannot store");
            return false;
        }
        for (const StoredView& v : views) {
            sqlite3_stmt* st = m_insert.st;
            sqlite3_reset(st);
            sqlite3_bind_text(st, 1, v.view.userId.data(), static_cast<int>(v.view.userId.size()), SQLITE_TRANSIENT);
            sqlite3_bind_int64(st, 2, v.view.code);
            sqlite3_bind_int64(st, 3, v.view.number);
            sqlite3_bind_text(st, 4, v.view.text.data(), static_cast<int>(v.view.text.size()), SQLITE_TRANSIENT);
            sqlite3_bind_int64(st, 5, v.received);
            sqlite3_bind_text(st, 6, v.client.data(), static_cast<int>(v.client.size()), SQLITE_TRANSIENT);
            if (sqlite3_step(st) != SQLITE_DONE)
                return RollBack(error);
        }
        if (sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
            return RollBack(error);
        return true;
    }

    bool ForEach(const std::function<void(const StoredView&)>& visit, std::string* error) override
    {
        Statement s;
        if (sqlite3_prepare_v2(m_db, "SELECT user_id, code, number, text, received, client FROM views ORDER BY id",
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

private:
    bool RollBack(std::string* error)
    {
        const bool atLimit = (sqlite3_extended_errcode(m_db) & 0xff) == SQLITE_IOERR && AtSizeLimit(m_path);
        *error = atLimit ? "cannot store: file too large, the file-size limit (ulimit -f) was reached"
                         : ErrorOf(m_db, "cannot store");
        sqlite3_reset(m_insert.st);
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }

    sqlite3* m_db;
    const std::string m_path;
    Statement m_insert;
};

} // namespace

std::unique_ptr<ViewStore> OpenSqlite(const std::string& path, bool create, std::string* error)
{
    sqlite3* db = nullptr;
    int flags = create ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    if (sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        *error = ErrorOf(db, "cannot open " + path);
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<SqliteStore> store(new SqliteStore(db, path));
    if (!store->Setup(path, create, error))
        return nullptr;
    return store;
}

} // namespace avls
