// A throw-away PostgreSQL cluster for the log server's tests and bench: made with
// initdb in a scratch folder, listening only on a Unix socket there, run as an
// unprivileged user (the server refuses root) and removed at the end.
#pragma once
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

class PostgresCluster {
public:
    PostgresCluster() = default;
    ~PostgresCluster() {
        StopServer();
        if (!m_folder.empty()) (void)!system(("rm -rf '" + m_folder + "'").c_str());
    }
    PostgresCluster(const PostgresCluster&) = delete;
    PostgresCluster& operator=(const PostgresCluster&) = delete;

    // Empty once it serves; otherwise why not, for a one-line skip.
    std::string Start() {
        if (access(Bin("initdb").c_str(), X_OK) != 0)
            return "PostgreSQL 15 is not installed (scripts/deps installs postgresql-15)";
        char name[] = "/tmp/flb-pg-XXXXXX";
        if (!mkdtemp(name)) return "cannot make a scratch folder";
        m_folder = name;
        if (geteuid() == 0) {
            const passwd* nobody = getpwnam("nobody");
            if (!nobody) return "running as root and there is no user nobody to run PostgreSQL as";
            m_uid = nobody->pw_uid;
            m_gid = nobody->pw_gid;
            if (chown(m_folder.c_str(), m_uid, m_gid) != 0) return "cannot hand the scratch folder to nobody";
        }
        const std::string pw = m_folder + "/pw";
        std::ofstream(pw) << "secret\n";
        if (Run({Bin("initdb"), "-D", Data(), "-U", "flb", "--pwfile=" + pw, "-A", "scram-sha-256", "-E", "UTF8",
                 "--locale=C", "-N"}) != 0)
            return "initdb failed: " + Log();
        return StartServer() ? "" : "pg_ctl start failed: " + Log();
    }

    bool StartServer() {
        return Run({Bin("pg_ctl"), "-D", Data(), "-l", m_folder + "/server.log", "-w", "-t", "60", "-o",
                    "-k " + m_folder + " -c listen_addresses='' -p 5432", "start"}) == 0 &&
               (m_running = true);
    }
    // Fast: sessions are ended and the server shuts down cleanly; "immediate" is a crash.
    bool StopServer(const std::string& mode = "fast") {
        if (!m_running) return true;
        m_running = false;
        return Run({Bin("pg_ctl"), "-D", Data(), "-m", mode, "-w", "stop"}) == 0;
    }
    // What psql prints for one statement (unaligned, no headers), or "error: ..." .
    std::string Sql(const std::string& db, const std::string& sql) {
        if (Run({Bin("psql"), "-X", "-q", "-At", "-d", Uri(db), "-c", sql}) != 0) return "error: " + Log();
        std::ifstream in(m_folder + "/tool.log");
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        while (!text.empty() && text.back() == '\n') text.pop_back();
        return text;
    }

    // The postmaster's process id, from its lock file; -1 when it does not run.
    pid_t ServerPid() const {
        std::ifstream in(Data() + "/postmaster.pid");
        long pid = -1;
        return in >> pid ? static_cast<pid_t>(pid) : -1;
    }

    std::string Uri(const std::string& db = "postgres", const std::string& password = "secret") const {
        return "postgresql://flb:" + password + "@/" + db + "?host=" + m_folder;
    }
    // A fresh database of its own for each server group.
    bool CreateDatabase(const std::string& db) {
        return Run({Bin("psql"), "-X", "-q", "-d", Uri(), "-c", "CREATE DATABASE " + db}) == 0;
    }

private:
    static std::string Bin(const std::string& tool) { return "/usr/lib/postgresql/15/bin/" + tool; }
    std::string Data() const { return m_folder + "/data"; }
    // The last line of the tool's output says why it failed.
    std::string Log() const {
        std::ifstream in(m_folder + "/tool.log");
        std::string line, last;
        while (std::getline(in, line)) last = line;
        return last;
    }

    // Runs a tool as the cluster's owner, its output into tool.log.
    int Run(std::vector<std::string> argv) {
        std::vector<char*> pointers;
        for (std::string& a : argv) pointers.push_back(&a[0]);
        pointers.push_back(nullptr);
        const std::string log = m_folder + "/tool.log";
        const pid_t pid = fork();
        if (pid == 0) {
            const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
            }
            if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(m_gid) != 0 || setuid(m_uid) != 0)) _exit(126);
            if (chdir(m_folder.c_str()) != 0) _exit(126);
            execv(pointers[0], pointers.data());
            _exit(127);
        }
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string m_folder;
    uid_t m_uid = 0;
    gid_t m_gid = 0;
    bool m_running = false;
};
