#include "ViewStore.h"

#include <libpq-fe.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>

namespace avls {

namespace {

// bytea for the client's texts: they are cp932 or any bytes, which a UTF8 database
// would refuse as text. The commit tokens tell a server that lost its connection
// during COMMIT whether that commit happened. The advisory lock keeps two servers
// starting at once from creating the same table together.
const char kSchema[] =
    "SELECT pg_advisory_xact_lock(1096174675);"
    "CREATE TABLE IF NOT EXISTS views ("
    " id BIGSERIAL PRIMARY KEY,"
    " user_id BYTEA NOT NULL,"
    " code BIGINT NOT NULL,"
    " number INTEGER NOT NULL,"
    " text BYTEA NOT NULL,"
    " received BIGINT NOT NULL,"   // seconds since 1970 UTC
    " client TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL);"
    "INSERT INTO schema_version (version) SELECT 1 WHERE NOT EXISTS (SELECT 1 FROM schema_version);"
    "CREATE TABLE IF NOT EXISTS avls_commits (token TEXT PRIMARY KEY, at BIGINT NOT NULL);";
const char kPrune[] = "DELETE FROM avls_commits WHERE at < EXTRACT(EPOCH FROM now())::BIGINT - 86400";
const auto kPruneEvery = std::chrono::hours(1);

// The library gives up on an answer after 30 s of silence; the server answers first.
const auto kOutcomeWait = std::chrono::seconds(25);

// libpq's messages span lines ("...failed: ...\n\tIs the server running...").
std::string OneLine(const char* message)
{
    std::string out;
    for (const char* p = message; p && *p; ++p) {
        if (*p == '\n' || *p == '\t' || *p == '\r') {
            if (!out.empty() && out.back() != ' ')
                out += ' ';
        } else {
            out += *p;
        }
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out.empty() ? "no reason given" : out;
}

struct Result {
    PGresult* r;
    explicit Result(PGresult* result) : r(result) {}
    ~Result() { PQclear(r); }
    bool Is(ExecStatusType status) const { return r && PQresultStatus(r) == status; }
};

uint64_t BigEndian(const char* p, int bytes)
{
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = v << 8 | static_cast<unsigned char>(p[i]);
    return v;
}

void IgnoreNotice(void*, const char*) {}

class PostgresStore : public ViewStore
{
public:
    explicit PostgresStore(std::string uri)
        : m_uri(std::move(uri)),
          m_random(std::random_device{}() ^ static_cast<uint64_t>(getpid()) << 32 ^
                   static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()))
    {
    }
    ~PostgresStore() override { PQfinish(m_conn); }

    // Gives up after connectSeconds (libpq takes no less than 2).
    bool Connect(std::string* error, int connectSeconds = 10)
    {
        PQfinish(m_conn);
        // A URI's own connect_timeout wins: later keywords override earlier ones.
        const std::string timeout = std::to_string(connectSeconds);
        const char* keys[] = {"connect_timeout", "dbname", nullptr};
        const char* values[] = {timeout.c_str(), m_uri.c_str(), nullptr};
        m_conn = PQconnectdbParams(keys, values, 1);
        if (PQstatus(m_conn) != CONNECTION_OK) {
            *error = "cannot connect to " + WithoutPassword(m_uri) + ": " + OneLine(PQerrorMessage(m_conn));
            PQfinish(m_conn);
            m_conn = nullptr;
            return false;
        }
        PQsetNoticeProcessor(m_conn, IgnoreNotice, nullptr);
        // "OK" means committed to disk, whatever the database's own default says.
        return Exec("SET synchronous_commit = on; SET statement_timeout = '20s'", PGRES_COMMAND_OK, "cannot set up",
                    error);
    }

    bool CreateSchema(std::string* error)
    {
        return Exec("BEGIN", PGRES_COMMAND_OK, "cannot set up", error) &&
               Exec(kSchema, PGRES_COMMAND_OK, "cannot set up", error) &&
               Exec(kPrune, PGRES_COMMAND_OK, "cannot set up", error) &&
               Exec("COMMIT", PGRES_COMMAND_OK, "cannot set up", error);
    }

    bool Add(const std::vector<StoredView>& views, std::string* error) override
    {
        if (views.empty())
            return true;
        const std::string token = NewToken();
        // A connection that broke while idle (the database restarted) shows only when
        // used; nothing was stored then, so the group goes once more over a new one.
        for (int attempt = 0;; ++attempt) {
            if ((!m_conn || PQstatus(m_conn) != CONNECTION_OK) && !Connect(error))
                return false;
            if (Exec("BEGIN", PGRES_COMMAND_OK, "cannot store", error) && Insert(views, error) &&
                Exec(("INSERT INTO avls_commits (token, at) VALUES ('" + token + "', " +
                      std::to_string(views.front().received) + ")").c_str(),
                     PGRES_COMMAND_OK, "cannot store", error))
                break;
            if (PQstatus(m_conn) == CONNECTION_OK) {
                Result(PQexec(m_conn, "ROLLBACK"));
                return false;
            }
            if (attempt == 1)
                return false;
        }
        Result commit(PQexec(m_conn, "COMMIT"));
        if (commit.Is(PGRES_COMMAND_OK)) {
            PruneNowAndThen();
            return true;
        }
        *error = "cannot store: " + OneLine(PQerrorMessage(m_conn));
        if (PQstatus(m_conn) == CONNECTION_OK)
            return false;   // the database refused the commit; nothing is stored
        // The first client to give up is the one that has waited longest.
        auto oldest = views.front().arrived;
        for (const StoredView& v : views)
            oldest = std::min(oldest, v.arrived);
        return CommittedAfterAll(token, oldest + kOutcomeWait, error);
    }

    bool ForEach(const std::function<void(const StoredView&)>& visit, std::string* error) override
    {
        if (!PQsendQueryParams(m_conn, "SELECT user_id, code, number, text, received, client FROM views ORDER BY id",
                0, nullptr, nullptr, nullptr, nullptr, 1) ||
            !PQsetSingleRowMode(m_conn)) {
            *error = "cannot read: " + OneLine(PQerrorMessage(m_conn));
            return false;
        }
        bool ok = true;
        while (PGresult* raw = PQgetResult(m_conn)) {
            Result r(raw);
            if (r.Is(PGRES_SINGLE_TUPLE)) {
                auto bytes = [&](int col) { return std::string(PQgetvalue(raw, 0, col), PQgetlength(raw, 0, col)); };
                StoredView v;
                v.view.userId = bytes(0);
                v.view.code = static_cast<uint32_t>(BigEndian(PQgetvalue(raw, 0, 1), 8));
                v.view.number = static_cast<int32_t>(static_cast<uint32_t>(BigEndian(PQgetvalue(raw, 0, 2), 4)));
                v.view.text = bytes(3);
                v.received = static_cast<int64_t>(BigEndian(PQgetvalue(raw, 0, 4), 8));
                v.client = bytes(5);
                visit(v);
            } else if (!r.Is(PGRES_TUPLES_OK) && ok) {
                *error = "cannot read: " + OneLine(PQresultErrorMessage(raw));
                ok = false;
            }
        }
        return ok;
    }

private:
    bool Exec(const char* sql, ExecStatusType want, const char* what, std::string* error)
    {
        Result r(PQexec(m_conn, sql));
        if (r.Is(want))
            return true;
        *error = std::string(what) + ": " + OneLine(r.r ? PQresultErrorMessage(r.r) : PQerrorMessage(m_conn));
        return false;
    }

    // One statement for the whole group; the texts go as binary bytea, the numbers as text.
    bool Insert(const std::vector<StoredView>& views, std::string* error)
    {
        std::string sql = "INSERT INTO views (user_id, code, number, text, received, client) VALUES ";
        std::vector<std::string> numbers;
        numbers.reserve(views.size() * 3);
        std::vector<const char*> values;
        std::vector<int> lengths, formats;
        int n = 0;
        for (const StoredView& v : views) {
            if (n)
                sql += ',';
            sql += "($" + std::to_string(n + 1);
            for (int i = 2; i <= 6; ++i)
                sql += ",$" + std::to_string(n + i);
            sql += ')';
            n += 6;
            numbers.push_back(std::to_string(v.view.code));
            numbers.push_back(std::to_string(v.view.number));
            numbers.push_back(std::to_string(v.received));
            const std::string* fields[] = {&v.view.userId, &numbers[numbers.size() - 3], &numbers[numbers.size() - 2],
                                           &v.view.text, &numbers.back(), &v.client};
            for (int i = 0; i < 6; ++i) {
                values.push_back(fields[i]->c_str());
                lengths.push_back(static_cast<int>(fields[i]->size()));
                formats.push_back(i == 0 || i == 3 ? 1 : 0);
            }
        }
        Result r(PQexecParams(m_conn, sql.c_str(), n, nullptr, values.data(), lengths.data(), formats.data(), 0));
        if (r.Is(PGRES_COMMAND_OK))
            return true;
        *error = "cannot store: " + OneLine(r.r ? PQresultErrorMessage(r.r) : PQerrorMessage(m_conn));
        return false;
    }

    // The connection broke during COMMIT: whether it happened is in the database, asked
    // again and again (it may be restarting) until the deadline. A client told "OK"
    // for a view that was lost loses it; one refused a view that was kept sends it
    // again and stores it twice.
    bool CommittedAfterAll(const std::string& token, std::chrono::steady_clock::time_point deadline,
                           std::string* error)
    {
        using namespace std::chrono;
        std::string reason = "no answer";
        for (;;) {
            const auto left = duration_cast<seconds>(deadline - steady_clock::now()).count();
            if (left <= 0)
                break;
            if (Connect(&reason, static_cast<int>(std::min<int64_t>(left, 10)))) {
                const char* values[] = {token.c_str()};
                Result r(PQexecParams(m_conn, "SELECT 1 FROM avls_commits WHERE token = $1", 1, nullptr, values,
                                      nullptr, nullptr, 0));
                if (r.Is(PGRES_TUPLES_OK))
                    return PQntuples(r.r) == 1;
                reason = OneLine(r.r ? PQresultErrorMessage(r.r) : PQerrorMessage(m_conn));
            }
            std::this_thread::sleep_for(std::min<steady_clock::duration>(milliseconds(250), deadline - steady_clock::now()));
        }
        *error += " (the commit's outcome is unknown: " + reason + ")";
        return false;
    }

    // The tokens are needed only while a server may still ask for them; a server that
    // runs for weeks must not keep every one.
    void PruneNowAndThen()
    {
        const auto now = std::chrono::steady_clock::now();
        if (now - m_lastPrune < kPruneEvery)
            return;
        m_lastPrune = now;
        Result(PQexec(m_conn, kPrune));
    }

    std::string NewToken()
    {
        char text[40];
        std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(m_random()),
                      static_cast<unsigned long long>(m_random()));
        return text;
    }

    const std::string m_uri;
    PGconn* m_conn = nullptr;
    std::chrono::steady_clock::time_point m_lastPrune = std::chrono::steady_clock::now();
    std::mt19937_64 m_random;
};

} // namespace

std::unique_ptr<ViewStore> OpenPostgres(const std::string& uri, bool create, std::string* error)
{
    std::unique_ptr<PostgresStore> store(new PostgresStore(uri));
    if (!store->Connect(error) || (create && !store->CreateSchema(error)))
        return nullptr;
    return store;
}

bool ViewStore::IsPostgres(const std::string& db)
{
    return db.compare(0, 13, "postgresql://") == 0 || db.compare(0, 11, "postgres://") == 0;
}

std::unique_ptr<ViewStore> ViewStore::Open(const std::string& db, bool create, std::string* error)
{
    if (IsPostgres(db))
        return OpenPostgres(db, create, error);
    // A mistyped scheme would otherwise become a SQLite file of that name, and the views
    // would go there instead of to the database.
    if (db.find("://") != std::string::npos) {
        *error = "--db " + WithoutPassword(db) +
                 ": not a database this server knows (postgresql:// or postgres://, else a SQLite file name)";
        return nullptr;
    }
    return OpenSqlite(db, create, error);
}

std::string WithoutPassword(const std::string& uri)
{
    std::string out = uri;
    const size_t scheme = out.find("://");
    if (scheme != std::string::npos) {
        const size_t start = scheme + 3;
        const size_t hostEnd = out.find_first_of("/?", start);
        const size_t at = out.rfind('@', hostEnd == std::string::npos ? std::string::npos : hostEnd);
        if (at != std::string::npos && at >= start) {
            const size_t colon = out.find(':', start);
            if (colon != std::string::npos && colon < at)
                out.replace(colon + 1, at - colon - 1, "***");
        }
    }
    for (size_t p = 0; (p = out.find("password=", p)) != std::string::npos;) {
        p += 9;
        const size_t end = out.find('&', p);
        out.replace(p, (end == std::string::npos ? out.size() : end) - p, "***");
    }
    return out;
}

} // namespace avls
