// ads-server: the reference ad server. See UsageText() in Options.cpp for the wire
// formats and the command line.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "../common/ManyClients.h"
#include "../common/RefuseMethod.h"
#include "../common/ServeUntilSignal.h"
#include "Manifest.h"
#include "Options.h"
#include "RawListener.h"

namespace {

std::string Code7(uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "%07u", code);
    return text;
}

// Keeps a log entry on one line, whatever bytes the client sent.
std::string Escape(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '\\') out += "\\\\";
        else if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else out += static_cast<char>(c);
    }
    return out;
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The form's fields byte for byte: clients put values in without percent-encoding.
std::map<std::string, std::string> FormFields(const std::string& body) {
    std::map<std::string, std::string> fields;
    size_t at = 0;
    while (at <= body.size()) {
        size_t amp = body.find('&', at);
        if (amp == std::string::npos) amp = body.size();
        const std::string pair = body.substr(at, amp - at);
        const size_t eq = pair.find('=');
        if (!pair.empty()) fields[pair.substr(0, eq)] = eq == std::string::npos ? "" : pair.substr(eq + 1);
        at = amp + 1;
    }
    return fields;
}

// A cabinet of n small files, made with the real packing tool.
bool MakeCabinet(int files, std::string* cabinet, std::string* error) {
    char name[] = "/tmp/ads-server-XXXXXX";
    if (!mkdtemp(name)) {
        *error = "cannot make a scratch folder";
        return false;
    }
    const std::string dir = name;
    const char* names[] = {"movie.asf", "thumb.jpg", "extra.txt"};
    std::string list;
    for (int i = 0; i < files; ++i) {
        std::ofstream(dir + "/" + names[i], std::ios::binary) << "file " << names[i] << " of a test cabinet\n";
        list += std::string(" ") + names[i];
    }
    const std::string command = "cd '" + dir + "' && gcab -c test.cab" + list + " >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    std::ifstream in(dir + "/test.cab", std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    (void)!std::system(("rm -rf '" + dir + "'").c_str());
    if (status != 0 || bytes.str().empty()) {
        *error = "cannot make a test cabinet (is gcab installed?)";
        return false;
    }
    *cabinet = bytes.str();
    return true;
}

// A cabinet of stored members in one folder, built byte by byte, so that a member may
// bear any name and declare any size (0: its real one).
std::string BuildCabinet(const std::vector<std::pair<std::string, std::string>>& members, uint32_t declared) {
    auto u16 = [](std::string& s, uint16_t v) {
        s += static_cast<char>(v & 0xFF);
        s += static_cast<char>(v >> 8);
    };
    auto u32 = [&](std::string& s, uint32_t v) {
        u16(s, static_cast<uint16_t>(v & 0xFFFF));
        u16(s, static_cast<uint16_t>(v >> 16));
    };
    std::string files, data;
    for (const auto& m : members) {
        u32(files, declared ? declared : static_cast<uint32_t>(m.second.size()));
        u32(files, static_cast<uint32_t>(data.size()));
        u16(files, 0);
        u16(files, static_cast<uint16_t>(((2001 - 1980) << 9) | (2 << 5) | 3));
        u16(files, static_cast<uint16_t>((4 << 11) | (5 << 5) | 3));
        u16(files, 0x20);
        files += m.first;
        files += '\0';
        data += m.second;
    }
    const uint32_t filesAt = 36 + 8, dataAt = filesAt + static_cast<uint32_t>(files.size());
    std::string cab = "MSCF";
    u32(cab, 0);
    u32(cab, dataAt + 8 + static_cast<uint32_t>(data.size()));
    u32(cab, 0);
    u32(cab, filesAt);
    u32(cab, 0);
    cab += '\x03';
    cab += '\x01';
    u16(cab, 1);
    u16(cab, static_cast<uint16_t>(members.size()));
    for (int i = 0; i < 3; ++i) u16(cab, 0);
    u32(cab, dataAt);
    u16(cab, 1);
    u16(cab, 0);  // no compression
    cab += files;
    u32(cab, 0);
    u16(cab, static_cast<uint16_t>(data.size()));
    u16(cab, static_cast<uint16_t>(data.size()));
    return cab + data;
}

// One data answer: its six lines, then the payload, which is read from the ad's file a
// piece at a time as the client takes it, so a large ad never sits in memory whole.
class DataBody {
public:
    static constexpr size_t kPiece = 64 * 1024;

    DataBody(std::string head, std::string payload)
        : m_head(std::move(head)), m_memory(std::move(payload)), m_payloadSize(m_memory.size()) {}
    DataBody(std::string head, int fd, uint64_t size) : m_head(std::move(head)), m_fd(fd), m_payloadSize(size) {}
    ~DataBody() {
        if (m_fd >= 0) close(m_fd);
    }
    DataBody(const DataBody&) = delete;
    DataBody& operator=(const DataBody&) = delete;

    size_t HeadSize() const { return m_head.size(); }
    size_t Size() const { return m_head.size() + m_payloadSize; }

    // Up to n bytes from offset; false when the file cannot be read or the client is gone.
    bool Write(size_t offset, size_t n, httplib::DataSink& sink) {
        if (offset < m_head.size()) return sink.write(m_head.data() + offset, std::min(n, m_head.size() - offset));
        const size_t at = offset - m_head.size();
        if (m_fd < 0) return sink.write(m_memory.data() + at, n);
        char buffer[kPiece];
        const ssize_t got = pread(m_fd, buffer, std::min(n, sizeof buffer), static_cast<off_t>(at));
        return got > 0 && sink.write(buffer, static_cast<size_t>(got));
    }

    // The whole answer, for an answer sent by hand.
    std::string All() const {
        std::string all = m_head + m_memory;
        char buffer[kPiece];
        for (off_t at = 0; m_fd >= 0 && static_cast<uint64_t>(at) < m_payloadSize;) {
            const ssize_t got = pread(m_fd, buffer, sizeof buffer, at);
            if (got <= 0) break;
            all.append(buffer, static_cast<size_t>(got));
            at += got;
        }
        return all;
    }

private:
    const std::string m_head;
    const std::string m_memory;
    const int m_fd = -1;
    const size_t m_payloadSize;
};

// An answer before it goes out, through httplib or by hand.
struct Reply {
    int status = 200;
    const char* type = "text/plain";
    std::string text;                // the body, unless data holds it
    std::shared_ptr<DataBody> data;  // a data answer, which the payload faults act on
};

constexpr uint32_t kFirstExtraCode = 1000000;

class AdServer {
public:
    AdServer(const ads::Options& options, std::vector<ads::Ad> ads, std::string testCabinet, std::FILE* log)
        : m_options(options), m_ads(std::move(ads)), m_testCabinet(std::move(testCabinet)), m_log(log) {}

    void Route(httplib::Server& server) {
        // Before any body is read: a method without one would otherwise be waited on.
        server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
            if (req.method == "POST") return httplib::Server::HandlerResponse::Unhandled;
            tools::RefuseMethod(res);
            Log(req.remote_addr, req.method, req.path, req.body, res.status);
            return httplib::Server::HandlerResponse::Handled;
        });
        server.Post(".*", [this](const httplib::Request& req, httplib::Response& res) { OnPost(req, res); });
    }

    // The same answers for the listener that sends them by hand.
    ads::RawAnswer AnswerByHand(const ads::RawRequest& req) {
        ads::RawAnswer answer;
        if (req.method != "POST") {
            answer.status = 405;
            answer.body = "POST only\n";
            return answer;
        }
        const Reply reply = Answer(req.path, req.body);
        answer.status = reply.status;
        answer.type = reply.type;
        answer.body = reply.data ? reply.data->All() : reply.text;
        return answer;
    }

    void Log(const std::string& remote, const std::string& method, const std::string& path,
             const std::string& body, int status) {
        char when[32];
        const time_t now = std::time(nullptr);
        struct tm tm;
        gmtime_r(&now, &tm);
        std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &tm);
        const std::string line = std::string(when) + " " + remote + " " + method + " " + Escape(path) + " " +
                                 Escape(body) + " " + std::to_string(status) + "\n";
        std::lock_guard<std::mutex> hold(m_logLock);
        std::fputs(line.c_str(), stderr);
        if (m_log) {
            std::fputs(line.c_str(), m_log);
            std::fflush(m_log);
        }
    }

    // Ends slow answers in progress, so that stopping does not wait for them.
    void Stop() {
        std::lock_guard<std::mutex> hold(m_stopLock);
        m_stopping = true;
        m_stopped.notify_all();
    }

private:
    Reply Answer(const std::string& path, const std::string& body) {
        if (EndsWith(path, "getlist.php3") || EndsWith(path, "getlist2.php3")) return List();
        if (EndsWith(path, "getdata.php3")) return Data(FormFields(body)["CONTS_CODE"]);
        Reply reply;
        reply.status = 404;
        reply.text = "no such service\n";
        return reply;
    }

    void OnPost(const httplib::Request& req, httplib::Response& res) {
        const ads::Faults& f = m_options.faults;
        Reply reply = Answer(req.path, req.body);
        res.status = f.status ? f.status : reply.status;
        if (res.status / 100 == 3) res.set_header("Location", req.path);
        if (f.hugeBody) {
            res.set_content_provider(size_t{1} << 30, reply.type, [this](size_t, size_t, httplib::DataSink&) {
                while (Pause(1000)) {
                }
                return false;
            });
        } else if (reply.data) {
            Stream(reply.data, res);
        } else {
            Send(res, reply.text, reply.type);
        }
        Log(req.remote_addr, req.method, req.path, req.body, res.status);
    }

    static Reply Text(std::string text) {
        Reply reply;
        reply.text = std::move(text);
        return reply;
    }

    Reply List() {
        const ads::Faults& f = m_options.faults;
        if (f.silentList) {
            while (Pause(1000)) {
            }
            return Text("");
        }
        if (m_emptyListsGiven < f.emptyLists) {
            ++m_emptyListsGiven;
            return Text("\n");
        }
        if (f.listResult) return Text("RESULT:" + std::to_string(f.listResult) + "\n");
        const std::string end = f.itemTail + (f.crlfItems ? "\r\n" : "\n");
        std::string text = "RESULT:0\n";
        for (int i = 0; i < f.listItems; ++i) text += Code7(kFirstExtraCode + static_cast<uint32_t>(i)) + ".jpg" + end;
        for (const ads::Ad& ad : m_ads) text += Code7(ad.code) + "." + ad.extension + end;
        return Text(text);
    }

    Reply Data(const std::string& codeText) {
        const ads::Faults& f = m_options.faults;
        Reply reply;
        reply.type = "application/octet-stream";
        const ads::Ad* ad = nullptr;
        const bool digits = !codeText.empty() && codeText.size() <= 10 &&
                            codeText.find_first_not_of("0123456789") == std::string::npos;
        const uint32_t code = digits ? static_cast<uint32_t>(std::stoull(codeText)) : 0;
        for (const ads::Ad& a : m_ads)
            if (digits && a.code == code) ad = &a;
        const std::string codeLine = "CONTS_CODE:" + Code7(code) + "\r\n";
        if (!ad) {
            reply.text = "0\r\nRESULT:3\r\n" + codeLine + "CONTS_NAME:\r\nPRIORITY:0\r\nJUMPHTTP:\r\n";
            return reply;
        }
        if (f.dataResult) {
            reply.text = "0\r\nRESULT:" + std::to_string(f.dataResult) + "\r\n" + codeLine +
                         "CONTS_NAME:\r\nPRIORITY:0\r\nJUMPHTTP:\r\n";
            return reply;
        }

        std::string substitute;  // what a cabinet fault sends instead of the file
        if (ad->extension == "cab" && f.badCabinet) {
            while (substitute.size() < 4096) substitute += "this is not a cabinet\n";
        } else if (ad->extension == "cab") {
            substitute = m_testCabinet;
        }
        std::string head = std::to_string(substitute.empty() ? ad->payloadSize : substitute.size()) +
                           "\r\nRESULT:0\r\nCONTS_CODE:" + Code7(f.wrongCode ? ad->code + 1 : ad->code) +
                           "\r\nCONTS_NAME:" + ad->name + "\r\nPRIORITY:" + std::to_string(ad->priority) +
                           "\r\nJUMPHTTP:" + ad->link + "\r\n";
        if (!substitute.empty()) {
            reply.data = std::make_shared<DataBody>(std::move(head), std::move(substitute));
            return reply;
        }
        const int fd = open(ad->payloadPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            reply.status = 500;
            reply.type = "text/plain";
            reply.text = "cannot read the payload\n";
            return reply;
        }
        reply.data = std::make_shared<DataBody>(std::move(head), fd, ad->payloadSize);
        return reply;
    }

    // Cut answers announce the whole body and end half-way through the payload.
    void Stream(const std::shared_ptr<DataBody>& body, httplib::Response& res) {
        const ads::Faults& f = m_options.faults;
        const size_t headSize = body->HeadSize();
        const bool half = f.cutPayload || f.stallPayload;
        const size_t sent = half ? headSize + (body->Size() - headSize) / 2 : body->Size();
        const bool stall = f.stallPayload;
        const int pauseMs = f.slowPayloadMs;
        const size_t piece = pauseMs ? 1024 : DataBody::kPiece;
        res.set_content_provider(
            body->Size(), "application/octet-stream",
            [this, body, sent, pauseMs, piece, stall, headSize](size_t offset, size_t, httplib::DataSink& sink) {
                if (offset >= sent && stall) {
                    while (Pause(1000)) {
                    }
                }
                if (offset >= sent) return false;  // drops the connection short of the length
                if (pauseMs && offset >= headSize && !Pause(pauseMs)) return false;
                const size_t n = std::min(offset < headSize ? headSize - offset : piece, sent - offset);
                return body->Write(offset, n, sink);
            });
    }

    // False when the server is stopping.
    bool Pause(int ms) {
        std::unique_lock<std::mutex> hold(m_stopLock);
        return !m_stopped.wait_for(hold, std::chrono::milliseconds(ms), [this] { return m_stopping; });
    }

    // Through a provider of known length, so that httplib never compresses: the bytes
    // must not depend on what a client offers to accept.
    static void Send(httplib::Response& res, const std::string& text, const char* type) {
        auto body = std::make_shared<std::string>(text);
        res.set_content_provider(body->size(), type, [body](size_t offset, size_t, httplib::DataSink& sink) {
            return sink.write(body->data() + offset, body->size() - offset);
        });
    }

    const ads::Options& m_options;
    const std::vector<ads::Ad> m_ads;
    const std::string m_testCabinet;
    std::atomic<int> m_emptyListsGiven{0};
    std::FILE* const m_log;
    std::mutex m_logLock;
    std::mutex m_stopLock;
    std::condition_variable m_stopped;
    bool m_stopping = false;
};

void PrintListening(const ads::Options& options, int port) {
    std::printf("listening on %s:%d\n", options.bind.c_str(), port);
    std::fflush(stdout);
}

int ServeByHand(const ads::Options& options, AdServer& ads_server) {
    ads::RawListener listener(
        options.faults.raw, options.faults.trickleMs,
        [&](const ads::RawRequest& req) { return ads_server.AnswerByHand(req); },
        [&](const ads::RawRequest& req, int status) { ads_server.Log(req.remote, req.method, req.path, req.body, status); });
    const int port = listener.Bind(options.bind, options.port);
    if (port <= 0) {
        std::fprintf(stderr, "ads-server: cannot listen on %s:%d\n", options.bind.c_str(), options.port);
        return 1;
    }
    PrintListening(options, port);
    const bool served = tools::ServeUntilSignal([&] { return listener.Serve(); },
                                                [&] {
                                                    ads_server.Stop();
                                                    listener.Stop();
                                                });
    return served ? 0 : 1;
}

int Serve(const ads::Options& options) {
    std::vector<ads::Ad> ads;
    std::string error;
    if (!ads::LoadManifest(options.content, options.utf8Names, &ads, &error)) {
        std::fprintf(stderr, "ads-server: %s\n", error.c_str());
        return 2;
    }
    std::string testCabinet;
    const ads::Faults& f = options.faults;
    if (f.cabinetFiles && !MakeCabinet(f.cabinetFiles, &testCabinet, &error)) {
        std::fprintf(stderr, "ads-server: %s\n", error.c_str());
        return 1;
    }
    if (f.hugeMembers || !f.memberName.empty()) {
        const std::string thumb = f.memberName.empty() ? "thumb.jpg" : f.memberName;
        testCabinet = BuildCabinet({{"movie.asf", "a movie of a test cabinet\n"}, {thumb, "its thumbnail\n"}},
                                   f.hugeMembers ? 0x80000000u : 0);
    }

    std::FILE* log = nullptr;
    if (!options.logFile.empty() && !(log = std::fopen(options.logFile.c_str(), "a"))) {
        std::fprintf(stderr, "ads-server: cannot open the log %s: %s\n", options.logFile.c_str(), std::strerror(errno));
        return 2;
    }
    struct CloseLog {
        std::FILE* f;
        ~CloseLog() {
            if (f) std::fclose(f);
        }
    } closeLog{log};

    AdServer ads_server(options, std::move(ads), std::move(testCabinet), log);
    if (f.raw != ads::RawFault::None) return ServeByHand(options, ads_server);

    httplib::Server server;
    // Each answer goes out as head and payload writes; without this the payload's last
    // segment waits for the client's delayed ACK, 40 ms an answer on a kept connection.
    server.set_tcp_nodelay(true);
    tools::ServeManyClients(server);
    // A taken port must fail rather than be shared, as SO_REUSEPORT would let it.
    server.set_socket_options([](int sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    ads_server.Route(server);

    int port = options.port;
    const bool bound = port == 0 ? (port = server.bind_to_any_port(options.bind)) > 0
                                 : server.bind_to_port(options.bind, port);
    if (!bound) {
        std::fprintf(stderr, "ads-server: cannot listen on %s:%d\n", options.bind.c_str(), options.port);
        return 1;
    }
    PrintListening(options, port);

    const bool served = tools::ServeUntilSignal(server, port, [&] { ads_server.Stop(); });
    return served ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    ads::Options options;
    std::string error;
    if (!ads::ParseOptions(argc, argv, &options, &error)) {
        std::fprintf(stderr, "ads-server: %s (see --help)\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(ads::UsageText(), stdout);
        return 0;
    }
    return Serve(options);
}
