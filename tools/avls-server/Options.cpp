#include "Options.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "../common/Bounds.h"
#include "Notice.h"

namespace avls {

namespace {

struct FaultName {
    const char* name;
    Fault fault;
};

const FaultName kFaults[] = {
    {"plain-ok", Fault::PlainOk}, {"empty", Fault::Empty}, {"status-500", Fault::Status500},
    {"close", Fault::Close},      {"slow", Fault::Slow},   {"newline", Fault::Newline},
    {"ng", Fault::Ng},
};

// Whole decimal numbers only: "8080x" or "" would otherwise slip through as 8080 or 0.
bool ParseInt(const std::string& text, long low, long high, int* value)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    char* end = nullptr;
    long n = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || n < low || n > high)
        return false;
    *value = static_cast<int>(n);
    return true;
}

} // namespace

bool ParseOptions(int argc, char** argv, Options* options, std::string* error)
{
    bool delayGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string name = arg;
        std::string value;
        bool hasValue = false;
        size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            hasValue = true;
        }

        auto takeValue = [&]() {
            if (hasValue)
                return true;
            if (i + 1 >= argc) {
                *error = name + " needs a value";
                return false;
            }
            value = argv[++i];
            return true;
        };
        auto noValue = [&]() {
            if (hasValue)
                *error = name + " takes no value";
            return !hasValue;
        };

        if (name == "--help" || name == "-h") {
            if (!noValue())
                return false;
            options->help = true;
        } else if (name == "--log") {
            if (!takeValue())
                return false;
            if (value.empty()) {
                *error = "--log wants a file name";
                return false;
            }
            options->logFile = value;
        } else if (name == "--verbose") {
            if (!noValue())
                return false;
            options->verbose = true;
        } else if (name == "--threads") {
            if (!takeValue())
                return false;
            if (!ParseInt(value, 1, 1024, &options->threads)) {
                *error = "--threads wants a number from 1 to 1024, not '" + value + "'";
                return false;
            }
        } else if (name == "--max-connections") {
            if (!takeValue())
                return false;
            if (!ParseInt(value, 1, 1000000, &options->maxConnections)) {
                *error = "--max-connections wants a number from 1 to 1000000, not '" + value + "'";
                return false;
            }
        } else if (name == "--dump") {
            if (!noValue())
                return false;
            options->dump = true;
        } else if (name == "--no-store") {
            if (!noValue())
                return false;
            options->noStore = true;
        } else if (name == "--port") {
            if (!takeValue())
                return false;
            if (!ParseInt(value, 0, 65535, &options->port)) {
                *error = "--port wants a number from 0 to 65535, not '" + value + "'";
                return false;
            }
        } else if (name == "--db") {
            if (!takeValue())
                return false;
            if (value.empty()) {
                *error = "--db wants a file name or a postgresql:// URI";
                return false;
            }
            options->db = value;
        } else if (name == "--bind") {
            if (!takeValue())
                return false;
            if (value.empty()) {
                *error = "--bind wants an address";
                return false;
            }
            options->bind = value;
        } else if (name == "--fault") {
            if (!takeValue())
                return false;
            bool known = false;
            for (const auto& f : kFaults) {
                if (value == f.name) {
                    options->fault = f.fault;
                    known = true;
                }
            }
            if (!known) {
                *error = "unknown fault '" + value + "' (plain-ok, empty, status-500, close, slow, newline, ng)";
                return false;
            }
        } else if (name == "--delay-ms") {
            if (!takeValue())
                return false;
            if (!ParseInt(value, 0, 600000, &options->delayMs)) {
                *error = "--delay-ms wants a number from 0 to 600000, not '" + value + "'";
                return false;
            }
            delayGiven = true;
        } else {
            *error = "unknown argument '" + arg + "'";
            return false;
        }
    }
    // A delay that silently does nothing would make a test pass for the wrong reason.
    if (delayGiven && options->fault != Fault::Slow && !options->help) {
        *error = "--delay-ms only applies to --fault slow";
        return false;
    }
    if (options->noStore && options->dump && !options->help) {
        *error = "--no-store and --dump exclude each other";
        return false;
    }
    return true;
}

std::string UsageText()
{
    return std::string("usage: avls-server [options]\n"
           "\n"
           "Reference log server for view notices. Accepts POST on any path with the body\n"
           "MSG=<sealed line> (Content-Type application/x-www-form-urlencoded, the sealed\n"
           "text as is, not URL-encoded), opens it, checks the line user,code,number,text\n"
           "and stores it. Answers 200 with the sealed \"OK\" when stored, 200 with the\n"
           "sealed \"NG\" when the notice is refused (header X-AVLS-Refused names why), and\n"
           "500 with the sealed \"NG\" when it cannot be stored (503 when too many views\n"
           "already wait for the database). \"OK\" is sent only once the view's transaction\n"
           "has committed; views arriving together share one. Other methods get 405 at\n"
           "once. A body over 1 MiB (1048576 bytes, a notice text of about 760 KiB) gets\n"
           "413 and a line in the log (on stderr without --log or --verbose).\n"
           "\n"
           "options:\n"
           "  --port N       port to listen on; 0 (the default) picks a free one\n"
           "  --bind ADDR    address to listen on (default 127.0.0.1)\n"
           "  --db DB        where views are kept: a SQLite file (default avls.db in the\n"
           "                 working folder), or a PostgreSQL database given as a libpq URI\n"
           "                 postgresql://[user[:password]@][host][:port][/dbname][?param=...]\n"
           "                 (host=/socket/folder as a parameter for a Unix socket); the\n"
           "                 tables are made when missing; several servers may share a database\n"
           "  --no-store     check and answer notices as usual but store nothing and open\n"
           "                 no database: the server's own cost, for measuring the storing\n"
           "  --dump         print the stored views and exit, one per line, tab-separated:\n"
           "                 user id, code (7+ digits), number, text, time received\n"
           "                 (UTC, YYYY-MM-DDTHH:MM:SSZ), client address; backslash, tab,\n"
           "                 CR and LF in the texts are written as \\\\ \\t \\r \\n\n"
           "  --fault MODE   misbehave on purpose; notices are still checked and stored:\n"
           "                   plain-ok    200 with \"OK\" unsealed\n"
           "                   empty       200 with an empty body\n"
           "                   status-500  status 500, body the answer otherwise given\n"
           "                   close       headers with a Content-Length beyond the body,\n"
           "                               the body, then the connection is closed\n"
           "                   slow        the usual answer after --delay-ms\n"
           "                   newline     the usual answer followed by CR LF\n"
           "                   ng          the sealed \"NG\" to every notice\n"
           "  --delay-ms N   delay for --fault slow (default 2000)\n"
           "  --help         this text\n")
           + tools::BoundsHelp(kMaxNoticeBytes) +
           "GET /health also needs the last commit to have worked and the database to keep\n"
           "up. /metrics counts views stored, views refused by cause, commit batches and\n"
           "their latency, open connections and dropped log lines.\n"
           "\n"
           "Once listening, the first line on stdout is exactly\n"
           "  listening on HOST:PORT\n"
           "(an IPv6 HOST in brackets), with the actual port; the port is everything\n"
           "after the last colon. Nothing else is written to stdout while serving.\n"
           "SIGINT or SIGTERM stops the server within a second: it takes no more\n"
           "connections, answers the notices already whole once committed, closes the\n"
           "rest and exits 0.\n"
           "\n"
           "Storage failures are written to stderr once when they begin and once when\n"
           "storing works again.\n"
           "\n"
           "exit status: 0 done, 1 cannot open the database, listen or start, 2 bad arguments\n";
}

} // namespace avls
