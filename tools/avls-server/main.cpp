// avls-server: the reference log server for view notices. See UsageText()
// in Options.cpp for the wire behaviour and the command line.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "../common/Bounds.h"
#include "../common/HttpEngine.h"
#include "../common/LineLog.h"
#include "../common/Metrics.h"
#include "Committer.h"
#include "Notice.h"
#include "Options.h"
#include "ViewStore.h"
#include "viewlog/LogSealer.h"

namespace {

using avls::Fault;
using avls::Options;
using avls::Refusal;

std::string IsoTime(int64_t seconds)
{
    time_t t = static_cast<time_t>(seconds);
    struct tm tm;
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

// Keeps a dump row or a log entry on one line whatever the client sent.
std::string Escape(const std::string& s)
{
    std::string out;
    for (char c : s) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        default: out += c;
        }
    }
    return out;
}

std::string Sealed(const char* text)
{
    auto sealed = SealText(text);
    return sealed ? sealed.get() : "";
}

// The tallies behind GET /metrics.
struct Tally {
    std::atomic<uint64_t> stored{0};
    // Indexed by Refusal, then busy, storage and size.
    static constexpr size_t kCauses = static_cast<size_t>(Refusal::Padding) + 4;
    std::atomic<uint64_t> refused[kCauses] = {};

    static const char* CauseName(size_t i)
    {
        const size_t refusals = static_cast<size_t>(Refusal::Padding) + 1;
        if (i < refusals)
            return avls::RefusalName(static_cast<Refusal>(i));
        static const char* const kOthers[] = {"busy", "storage", "size"};
        return kOthers[i - refusals];
    }
    void Refuse(const std::string& cause)
    {
        for (size_t i = 1; i < kCauses; ++i)
            if (cause == CauseName(i))
                ++refused[i];
    }
};

class LogServer : public tools::Service
{
public:
    // Without a store every valid notice is answered as stored.
    LogServer(const Options& options, avls::Committer* store, tools::LineLog& errors, tools::LineLog* requests)
        : m_options(options), m_store(store), m_errors(errors), m_requests(requests), m_ok(Sealed("OK")),
          m_ng(Sealed("NG"))
    {
    }

    void SetEngine(const tools::Engine* engine) { m_engine = engine; }

    size_t MaxBody() const override { return avls::kMaxNoticeBytes; }

    // The path is whatever the registry's URL says; "log.php3" by default.
    void Post(tools::Request req, tools::Respond respond) override
    {
        avls::View view;
        std::string line;
        Refusal refusal = avls::ReadNotice(req.contentType, req.body, &view, &line);
        if (refusal != Refusal::None || !m_store)
            return respond(OnNotice(req, refusal, line, avls::Committer::Outcome::Stored, ""));
        avls::StoredView v{view, static_cast<int64_t>(std::time(nullptr)), req.remote};
        req.body.clear();
        // Answered from the committer's thread once the view's transaction has ended.
        m_store->Add(std::move(v), [this, req = std::move(req), line = std::move(line),
                                    respond = std::move(respond)](avls::Committer::Outcome outcome,
                                                                  const std::string& detail) {
            respond(OnNotice(req, Refusal::None, line, outcome, detail));
        });
    }

    // Always logged: the client sees only the status, the operator needs the reason.
    tools::Reply TooLarge(const tools::Request& req) override
    {
        tools::Reply res;
        res.status = 413;
        res.fields.emplace_back("X-AVLS-Refused", "size");
        res.body = "notice over " + std::to_string(avls::kMaxNoticeBytes) + " bytes\n";
        m_tally.Refuse("size");
        Log(req, res.status, "size over " + std::to_string(avls::kMaxNoticeBytes) + " bytes", true);
        return res;
    }

    void Answered(const tools::Request& req, int status) override
    {
        Log(req, status, status == 405 ? "method" : "");
    }

    bool Healthy() override { return !m_store || m_store->Healthy(); }

    std::string Metrics() override
    {
        std::string out;
        tools::AppendMetric(out, "avls_views_stored_total", "counter", "Views stored (confirmed with OK).",
                            m_tally.stored);
        std::vector<std::pair<std::string, uint64_t>> causes;
        for (size_t i = 1; i < Tally::kCauses; ++i)
            causes.emplace_back(tools::Label("cause", Tally::CauseName(i)), m_tally.refused[i]);
        tools::AppendMetric(out, "avls_views_refused_total", "counter", "Notices refused, by cause.", causes);
        tools::AppendMetric(out, "avls_commit_batches_total", "counter", "Transactions that stored views.",
                            m_store ? m_store->Batches() : 0);
        if (m_store)
            m_store->Latency().Append(out, "avls_commit_seconds", "Time to commit one transaction of views.");
        tools::AppendMetric(out, "avls_open_connections", "gauge", "Client connections open.",
                            m_engine ? m_engine->OpenConnections() : 0);
        tools::AppendMetric(out, "avls_log_lines_dropped_total", "counter",
                            "Log lines dropped while the log's reader stalled.",
                            m_errors.Dropped() + (m_requests && m_requests != &m_errors ? m_requests->Dropped() : 0));
        return out;
    }

private:
    tools::Reply OnNotice(const tools::Request& req, Refusal refusal, const std::string& line,
                          avls::Committer::Outcome outcome, const std::string& detail)
    {
        tools::Reply res;
        bool stored = refusal == Refusal::None && outcome == avls::Committer::Outcome::Stored;
        bool busy = refusal == Refusal::None && outcome == avls::Committer::Outcome::Busy;

        int status = stored ? 200 : refusal == Refusal::None ? (busy ? 503 : 500) : 200;
        std::string answer = stored ? m_ok : m_ng;
        if (refusal != Refusal::None)
            res.fields.emplace_back("X-AVLS-Refused", avls::RefusalName(refusal));
        else if (!stored)
            res.fields.emplace_back("X-AVLS-Refused", busy ? "busy" : "storage");

        switch (m_options.fault) {
        case Fault::None: break;
        case Fault::PlainOk: status = 200; answer = "OK"; break;
        case Fault::Empty: status = 200; answer.clear(); break;
        case Fault::Status500: status = 500; break;
        case Fault::Newline: answer += "\r\n"; break;
        case Fault::Ng: status = 200; answer = m_ng; break;
        case Fault::Slow: res.delayMs = m_options.delayMs; break;
        case Fault::Close: break;
        }

        res.status = status;
        // The close fault announces more than it has; the connection then ends short of it.
        if (m_options.fault == Fault::Close) {
            res.length = answer.size() + 64;
            res.ending = tools::Ending::Close;
        }
        res.body = answer;

        std::string what = stored                     ? "stored"
                           : refusal != Refusal::None ? avls::RefusalName(refusal)
                           : busy                     ? "busy"
                                                      : "storage";
        if (stored)
            ++m_tally.stored;
        else
            m_tally.Refuse(what);
        if (m_requests) {
            if (!line.empty())
                what += " " + Escape(line);
            if (!detail.empty())
                what += " (" + detail + ")";
            Log(req, status, what);
        }
        return res;
    }

    void Log(const tools::Request& req, int status, const std::string& what, bool always = false)
    {
        tools::LineLog* log = m_requests ? m_requests : always ? &m_errors : nullptr;
        if (!log)
            return;
        log->Write(IsoTime(static_cast<int64_t>(std::time(nullptr))) + " " + req.remote + " " + req.method + " " +
                   Escape(req.target) + " " + std::to_string(status) + " " + what + "\n");
    }

    const Options& m_options;
    avls::Committer* m_store;
    tools::LineLog& m_errors;
    tools::LineLog* m_requests;
    const tools::Engine* m_engine = nullptr;
    const std::string m_ok;
    const std::string m_ng;
    Tally m_tally;
};

int Dump(const Options& options)
{
    std::string error;
    auto store = avls::ViewStore::Open(options.db, false, &error);
    if (!store) {
        std::fprintf(stderr, "avls-server: %s\n", error.c_str());
        return 1;
    }
    bool ok = store->ForEach(
        [](const avls::StoredView& v) {
            std::printf("%s\t%07u\t%d\t%s\t%s\t%s\n", Escape(v.view.userId).c_str(), v.view.code, v.view.number,
                        Escape(v.view.text).c_str(), IsoTime(v.received).c_str(), v.client.c_str());
        },
        &error);
    if (!ok) {
        std::fprintf(stderr, "avls-server: %s\n", error.c_str());
        return 1;
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

int Serve(const Options& options)
{
    std::string error;
    std::unique_ptr<avls::ViewStore> store;
    if (!options.noStore && !(store = avls::ViewStore::Open(options.db, true, &error))) {
        std::fprintf(stderr, "avls-server: %s\n", error.c_str());
        return 1;
    }
    const std::string host = options.bind.find(':') != std::string::npos ? "[" + options.bind + "]" : options.bind;
    try {
        tools::ServerLogs logs("avls-server: ");
        if (!logs.Open(options.logFile, options.verbose, &error)) {
            std::fprintf(stderr, "avls-server: %s\n", error.c_str());
            return 1;
        }
        tools::LineLog& errors = logs.errors;
        // Views that arrive while a transaction commits wait for the next. Past this many
        // waiting the database does not keep up, and more are refused at once.
        std::unique_ptr<avls::Committer> committer;
        if (store)
            committer.reset(new avls::Committer(*store, 4096, 512,
                                                [&errors](const std::string& line) { errors.Write("avls-server: " + line + "\n"); }));
        LogServer logServer(options, committer.get(), errors, logs.requests);
        tools::Engine engine(logServer);
        logServer.SetEngine(&engine);
        if (!engine.Listen(tools::SettingsOf(options), &error)) {
            std::fprintf(stderr, "avls-server: cannot listen on %s:%d: %s\n", host.c_str(), options.port, error.c_str());
            return 1;
        }
        engine.Start();
        // Connections made from here on wait in the backlog, so a script may
        // connect as soon as it has read this line.
        std::printf("listening on %s:%d\n", host.c_str(), engine.Port());
        std::fflush(stdout);
        engine.Wait();
        // What is still queued is stored, and its answers go nowhere: the engine has stopped.
        committer.reset();
        if (!logs.Finish(200))
            _exit(0);   // the log's reader is stalled; leaving must not wait for it
    } catch (const std::exception& e) {
        std::fprintf(stderr, "avls-server: cannot start on %s:%d: %s\n", host.c_str(), options.port, e.what());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    std::string error;
    if (!avls::ParseOptions(argc, argv, &options, &error)) {
        std::fprintf(stderr, "avls-server: %s (see --help)\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(avls::UsageText().c_str(), stdout);
        return 0;
    }
    // Past a file-size limit a write fails with EFBIG and the view is refused, as on a
    // full disk; the signal's default would end the server instead.
    signal(SIGXFSZ, SIG_IGN);
    return options.dump ? Dump(options) : Serve(options);
}
