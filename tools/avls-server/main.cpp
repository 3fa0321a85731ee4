// avls-server: the reference log server for view notices. See UsageText()
// in Options.cpp for the wire behaviour and the command line.
#include <fcntl.h>
#include <sys/socket.h>
#include <signal.h>
#include <unistd.h>

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "../common/ManyClients.h"
#include "../common/RefuseMethod.h"
#include "../common/ServeUntilSignal.h"
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

class LogServer
{
public:
    // Without a store every valid notice is answered as stored.
    LogServer(const Options& options, avls::Committer* store)
        : m_options(options), m_store(store), m_ok(Sealed("OK")), m_ng(Sealed("NG"))
    {
    }

    void Route(httplib::Server& server)
    {
        server.set_payload_max_length(avls::kMaxNoticeBytes);
        // Before any body is read, so neither a method we do not serve nor an
        // announced body over the limit is ever waited on.
        server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
            if (req.method != "POST") {
                tools::RefuseMethod(res);
                Log(req, res.status, "method");
                return httplib::Server::HandlerResponse::Handled;
            }
            if (req.get_header_value<uint64_t>("Content-Length") > avls::kMaxNoticeBytes) {
                RefuseTooLarge(req, res, req.get_header_value("Content-Length"));
                return httplib::Server::HandlerResponse::Handled;
            }
            return httplib::Server::HandlerResponse::Unhandled;
        });
        // The path is whatever the registry's URL says; "log.php3" by default.
        // Read through a content reader: the plain route would hold a URL-encoded
        // form to httplib's own 8 KB limit, far below what a notice may carry.
        server.Post(".*", [this](const httplib::Request& req, httplib::Response& res,
                                 const httplib::ContentReader& reader) {
            std::string body;
            bool tooLarge = false;
            reader([&](const char* data, size_t length) {
                if (length > avls::kMaxNoticeBytes - body.size()) {
                    tooLarge = true;
                    return false;
                }
                body.append(data, length);
                return true;
            });
            if (tooLarge)
                return RefuseTooLarge(req, res, "over " + std::to_string(avls::kMaxNoticeBytes));
            OnNotice(req, body, res);
        });
    }

    // Ends delays in progress so that shutting down does not wait for them.
    void Stop()
    {
        std::lock_guard<std::mutex> lock(m_stopMutex);
        m_stopping = true;
        m_stopCv.notify_all();
    }

private:
    // Always logged: the client sees only the status, the operator needs the reason.
    void RefuseTooLarge(const httplib::Request& req, httplib::Response& res, const std::string& size)
    {
        res.status = 413;
        res.set_header("Connection", "close");
        res.set_header("X-AVLS-Refused", "size");
        res.set_content("notice over " + std::to_string(avls::kMaxNoticeBytes) + " bytes\n", "text/plain");
        Log(req, res.status, "size " + size + " bytes", true);
    }

    void OnNotice(const httplib::Request& req, const std::string& body, httplib::Response& res)
    {
        avls::View view;
        std::string line;
        Refusal refusal = avls::ReadNotice(req.get_header_value("Content-Type"), body, &view, &line);
        bool stored = false;
        bool busy = false;
        std::string detail;
        if (refusal == Refusal::None) {
            avls::StoredView v{view, static_cast<int64_t>(std::time(nullptr)), req.remote_addr};
            auto outcome = m_store ? m_store->Add(v, &detail) : avls::Committer::Outcome::Stored;
            stored = outcome == avls::Committer::Outcome::Stored;
            busy = outcome == avls::Committer::Outcome::Busy;
        }

        int status = stored ? 200 : refusal == Refusal::None ? (busy ? 503 : 500) : 200;
        std::string answer = stored ? m_ok : m_ng;
        if (refusal != Refusal::None)
            res.set_header("X-AVLS-Refused", avls::RefusalName(refusal));
        else if (!stored)
            res.set_header("X-AVLS-Refused", busy ? "busy" : "storage");

        switch (m_options.fault) {
        case Fault::None: break;
        case Fault::PlainOk: status = 200; answer = "OK"; break;
        case Fault::Empty: status = 200; answer.clear(); break;
        case Fault::Status500: status = 500; break;
        case Fault::Newline: answer += "\r\n"; break;
        case Fault::Ng: status = 200; answer = m_ng; break;
        case Fault::Slow: Delay(); break;
        case Fault::Close: break;
        }

        res.status = status;
        // Answers go out through a provider of known length because httplib
        // compresses set_content text for clients that offer gzip or br; the
        // reference server's bytes should not depend on what a client offers.
        // The close fault announces more than it has, and the provider's
        // false makes httplib drop the connection after what was written.
        size_t announced = answer.size() + (m_options.fault == Fault::Close ? 64 : 0);
        if (announced == 0) {
            res.set_content("", "text/plain");
        } else {
            auto shared = std::make_shared<std::string>(answer);
            res.set_content_provider(announced, "text/plain",
                [shared](size_t offset, size_t, httplib::DataSink& sink) {
                    if (offset >= shared->size())
                        return false;   // reached only when more was announced
                    sink.write(shared->data() + offset, shared->size() - offset);
                    return true;
                });
        }

        if (m_options.log) {
            std::string what = stored                     ? "stored"
                               : refusal != Refusal::None ? avls::RefusalName(refusal)
                               : busy                     ? "busy"
                                                          : "storage";
            if (!line.empty())
                what += " " + Escape(line);
            if (!detail.empty())
                what += " (" + detail + ")";
            Log(req, status, what);
        }
    }

    void Delay()
    {
        std::unique_lock<std::mutex> lock(m_stopMutex);
        m_stopCv.wait_for(lock, std::chrono::milliseconds(m_options.delayMs), [this] { return m_stopping; });
    }

    void Log(const httplib::Request& req, int status, const std::string& what, bool always = false)
    {
        if (!m_options.log && !always)
            return;
        std::string entry = IsoTime(static_cast<int64_t>(std::time(nullptr))) + " " + req.remote_addr + " " +
                            req.method + " " + Escape(req.path) + " " + std::to_string(status) + " " + what + "\n";
        std::lock_guard<std::mutex> lock(m_logMutex);
        std::fputs(entry.c_str(), stderr);
        std::fflush(stderr);
    }

    const Options& m_options;
    avls::Committer* m_store;
    const std::string m_ok;
    const std::string m_ng;
    std::mutex m_logMutex;
    std::mutex m_stopMutex;
    std::condition_variable m_stopCv;
    bool m_stopping = false;
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

    // Views that arrive while a transaction commits wait for the next. Past this many
    // waiting the database does not keep up, and more are refused at once: the bound
    // sits below the worker count so that a slow database leaves workers to refuse with.
    std::unique_ptr<avls::Committer> committer;
    if (store)
        committer.reset(new avls::Committer(*store, tools::kServingWorkers * 3 / 4, tools::kServingWorkers));

    httplib::Server server;
    server.set_tcp_nodelay(true);
    tools::ServeManyClients(server);
    // httplib's default is SO_REUSEPORT, which lets a second server share the
    // port silently and take half the notices; a taken port must fail.
    int listening = -1;
    server.set_socket_options([&listening](int sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        listening = sock;
    });
    LogServer logServer(options, committer.get());
    logServer.Route(server);

    int port = options.port;
    bool bound = port == 0 ? (port = server.bind_to_any_port(options.bind)) > 0
                           : server.bind_to_port(options.bind, port);
    std::string host = options.bind.find(':') != std::string::npos ? "[" + options.bind + "]" : options.bind;
    if (!bound) {
        std::fprintf(stderr, "avls-server: cannot listen on %s:%d\n", host.c_str(), options.port);
        return 1;
    }
    // httplib listens with a backlog of 5: a sixth client connecting at the same moment
    // waited for the kernel's retransmissions, seconds, often past its own time-out.
    // Listening again on the bound socket only raises the backlog.
    listen(listening, SOMAXCONN);
    // Connections made from here on wait in the backlog, so a script may
    // connect as soon as it has read this line.
    std::printf("listening on %s:%d\n", host.c_str(), port);
    std::fflush(stdout);

    bool served = tools::ServeUntilSignal(server, port, [&] { logServer.Stop(); });
    if (!served) {
        std::fprintf(stderr, "avls-server: serving on %s:%d failed\n", host.c_str(), port);
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
        std::fputs(avls::UsageText(), stdout);
        return 0;
    }
    // Past a file-size limit a write fails with EFBIG and the view is refused, as on a
    // full disk; the signal's default would end the server instead.
    signal(SIGXFSZ, SIG_IGN);
    return options.dump ? Dump(options) : Serve(options);
}
