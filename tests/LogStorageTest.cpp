// The log server's storage seen from outside: what a client is told when the database
// goes away in the middle of a commit, and what an operator reads when --db or the disk
// is wrong.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "PostgresCluster.h"
#include "TestSupport.h"
#include "viewlog/LogSealer.h"

namespace {

std::string Sealed(const std::string& text)
{
    auto sealed = SealText(text.c_str());
    return sealed ? sealed.get() : "";
}

std::string View(const std::string& text)
{
    return FormPost("MSG=" + Sealed("u1,0000042,1," + text));
}

// How many times each text is stored, as --dump prints it.
std::map<std::string, int> StoredTexts(const std::string& db)
{
    Program dump({AVLS_SERVER, "--dump", "--db", db}, true);
    EXPECT_EQ(dump.Wait(30000), 0) << dump.Err();
    std::map<std::string, int> texts;
    std::istringstream lines(dump.Out());
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields;
        std::istringstream in(line);
        for (std::string field; std::getline(in, field, '\t');)
            fields.push_back(field);
        if (fields.size() == 6)
            ++texts[fields[3]];
    }
    return texts;
}

TEST(LogStorage, RefusesAMistypedDatabaseSchemeAndNamesAFullFileLimit)
{
    TempFolder folder;
    // Relative names land in the scratch folder.
    char here[4096];
    ASSERT_TRUE(getcwd(here, sizeof here));
    ASSERT_EQ(chdir(folder.Path("").c_str()), 0);
    for (const char* db : {"postgressql://x", "postgresq://avls:secret@db/views", "file:///tmp/views.db"}) {
        for (const char* mode : {"--port=0", "--dump"}) {
            SCOPED_TRACE(std::string(db) + " " + mode);
            Program r({AVLS_SERVER, mode, "--db", db}, true);
            EXPECT_EQ(r.Wait(30000), 1);
            EXPECT_EQ(r.Out(), "");
            EXPECT_EQ(Count(r.Err(), "\n"), 1) << r.Err();
            EXPECT_NE(r.Err().find("postgresql://"), std::string::npos) << r.Err();
            EXPECT_EQ(r.Err().find("secret"), std::string::npos) << r.Err();
        }
    }
    EXPECT_EQ(FilesIn(folder.Path("")), std::set<std::string>{}) << "a file was made for a URI";
    ASSERT_EQ(chdir(here), 0);

    // Past a file-size limit the operator reads that limit, not a disk fault.
    const std::string errors = folder.Path("stderr");
    rlimit old, small;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    small = old;
    small.rlim_cur = 65536;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    ServerRun server;
    const bool started = server.Start(AVLS_SERVER, {"--db", folder.Path("views.db")}, errors);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
    ASSERT_TRUE(started);
    const int fd = ConnectLocal(server.Port());
    int refused = 0;
    for (int i = 0; i < 2000 && !refused; ++i) {
        const HttpAnswer a = Ask(fd, View(std::to_string(i) + std::string(2000, 't')));
        ASSERT_NE(a.status, 0) << "no answer to view " << i;
        refused += a.status == 500;
    }
    close(fd);
    EXPECT_EQ(refused, 1);
    EXPECT_EQ(server.Stop(), 0);
    const std::string said = ReadText(errors);
    EXPECT_NE(said.find("file too large, the file-size limit (ulimit -f) was reached"), std::string::npos) << said;
    EXPECT_EQ(said.find("disk I/O error"), std::string::npos) << said;
}

class PostgresCommitOutcome : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const std::string whyNot = m_cluster.Start();
        if (!whyNot.empty())
            GTEST_SKIP() << whyNot;
        ASSERT_TRUE(m_cluster.CreateDatabase("views"));
    }
    PostgresCluster m_cluster;
};

// Commits held after they are on the database's disk (a synchronous standby that never
// answers), then the database crashes and comes back seconds later: each of those views
// was committed, so each client is told "OK", and none is stored twice.
TEST_F(PostgresCommitOutcome, ViewsCommittedWhenTheDatabaseCrashedAreAnsweredOkOnce)
{
    const std::string db = m_cluster.Uri("views");
    ServerRun server;
    ASSERT_TRUE(server.Start(AVLS_SERVER, {"--db", db}));
    const int first = ConnectLocal(server.Port());
    EXPECT_EQ(Ask(first, View("before")).body, Sealed("OK"));

    ASSERT_EQ(m_cluster.Sql("views", "ALTER SYSTEM SET synchronous_standby_names = 'nobody'"), "");
    ASSERT_EQ(m_cluster.Sql("views", "SELECT pg_reload_conf()"), "t");
    const int clients = 8;
    std::vector<HttpAnswer> answers(clients);
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&, c] {
            const int fd = ConnectLocal(server.Port());
            answers[c] = Ask(fd, View("held" + std::to_string(c)), 60000);
            close(fd);
            if (answers[c].status != 200) {
                // A client retries a refused view on a new connection, as a host would.
                const int again = ConnectLocal(server.Port());
                Ask(again, View("held" + std::to_string(c)), 60000);
                close(again);
            }
        });
    // Every view written and waiting in its COMMIT: the first alone, the others queued
    // behind it.
    std::string waiting;
    for (int i = 0; i < 600 && waiting != "1"; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        waiting = m_cluster.Sql("views", "SELECT count(*) FROM pg_stat_activity WHERE wait_event = 'SyncRep'");
    }
    ASSERT_EQ(waiting, "1");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(m_cluster.StopServer("immediate"));
    // Down longer than a few quick retries last, well within the clients' patience.
    std::this_thread::sleep_for(std::chrono::seconds(7));
    ASSERT_TRUE(m_cluster.StartServer());
    ASSERT_EQ(m_cluster.Sql("views", "ALTER SYSTEM RESET synchronous_standby_names"), "");
    ASSERT_EQ(m_cluster.Sql("views", "SELECT pg_reload_conf()"), "t");
    for (auto& t : threads)
        t.join();
    close(first);

    std::map<std::string, int> want = {{"before", 1}};
    for (int c = 0; c < clients; ++c) {
        EXPECT_EQ(answers[c].status, 200) << "held" << c;
        EXPECT_EQ(answers[c].body, Sealed("OK")) << "held" << c;
        want["held" + std::to_string(c)] = 1;
    }
    EXPECT_EQ(StoredTexts(db), want);
    EXPECT_EQ(server.Stop(), 0);
}

} // namespace
