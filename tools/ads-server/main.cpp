// ads-server: the reference ad server. See UsageText() in Options.cpp for the wire
// formats and the command line.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "../common/Bounds.h"
#include "../common/HttpEngine.h"
#include "../common/LineLog.h"
#include "../common/Metrics.h"
#include "Manifest.h"
#include "Options.h"

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

    // Up to n bytes from offset; false when the file cannot be read.
    bool Read(size_t offset, size_t n, std::string* piece) const {
        if (offset < m_head.size()) {
            piece->assign(m_head, offset, std::min(n, m_head.size() - offset));
            return true;
        }
        const size_t at = offset - m_head.size();
        if (m_fd < 0) {
            piece->assign(m_memory, at, n);
            return true;
        }
        piece->resize(std::min(n, kPiece));
        const ssize_t got = pread(m_fd, &(*piece)[0], piece->size(), static_cast<off_t>(at));
        piece->resize(got > 0 ? static_cast<size_t>(got) : 0);
        return got > 0;
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

// An answer before the faults bend it.
struct Reply {
    int status = 200;
    const char* type = "text/plain";
    std::string text;                // the body, unless data holds it
    std::shared_ptr<DataBody> data;  // a data answer, which the payload faults act on
};

const char* Reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 301: return "Moved Permanently";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 500: return "Internal Server Error";
        case 503: return "Service Unavailable";
        default: return "Status";
    }
}

// Which kind of request a path asks for, as /metrics counts them.
enum Kind { kList, kList2, kData, kOther, kKinds };

constexpr uint32_t kFirstExtraCode = 1000000;

class AdServer : public tools::Service {
public:
    AdServer(const ads::Options& options, std::vector<ads::Ad> ads, std::string testCabinet, tools::LineLog* log)
        : m_options(options), m_ads(std::move(ads)), m_testCabinet(std::move(testCabinet)), m_log(log) {}

    void SetEngine(const tools::Engine* engine) { m_engine = engine; }
    void SetDropped(std::function<uint64_t()> dropped) { m_dropped = std::move(dropped); }

    size_t MaxBody() const override { return kMaxForm; }

    void Post(tools::Request req, tools::Respond respond) override {
        const Kind kind = EndsWith(req.path(), "getlist.php3")    ? kList
                          : EndsWith(req.path(), "getlist2.php3") ? kList2
                          : EndsWith(req.path(), "getdata.php3")  ? kData
                                                                  : kOther;
        ++m_requests[kind];
        respond(m_options.faults.raw != ads::RawFault::None ? ByHand(req) : OnPost(req, kind));
    }

    tools::Reply TooLarge(const tools::Request& req) override {
        tools::Reply reply;
        reply.status = 413;
        reply.body = "form over " + std::to_string(kMaxForm) + " bytes\n";
        ++m_requests[kOther];
        Log(req.remote, req.method, req.path(), "", reply.status);
        return reply;
    }

    void Answered(const tools::Request& req, int status) override {
        ++m_requests[kOther];
        Log(req.remote, req.method, req.path(), req.body, status);
    }

    std::string Metrics() override {
        static const char* const kNames[] = {"list", "list2", "data", "other"};
        std::vector<std::pair<std::string, uint64_t>> kinds;
        for (int k = 0; k < kKinds; ++k) kinds.emplace_back(tools::Label("kind", kNames[k]), m_requests[k]);
        std::string out;
        tools::AppendMetric(out, "ads_requests_total", "counter", "Requests, by kind.", kinds);
        tools::AppendMetric(out, "ads_payload_bytes_total", "counter", "Ad payload bytes sent.", m_payloadBytes);
        tools::AppendMetric(out, "ads_open_connections", "gauge", "Client connections open.",
                            m_engine ? m_engine->OpenConnections() : 0);
        tools::AppendMetric(out, "ads_log_lines_dropped_total", "counter",
                            "Log lines dropped while the log's reader stalled.", m_dropped ? m_dropped() : 0);
        return out;
    }

    void Log(const std::string& remote, const std::string& method, const std::string& path,
             const std::string& body, int status) {
        if (!m_log) return;
        char when[32];
        const time_t now = std::time(nullptr);
        struct tm tm;
        gmtime_r(&now, &tm);
        std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &tm);
        m_log->Write(std::string(when) + " " + remote + " " + method + " " + Escape(path) + " " + Escape(body) + " " +
                     std::to_string(status) + "\n");
    }

private:
    // The form of a request: a few short fields.
    static constexpr size_t kMaxForm = 64 * 1024;

    Reply Answer(const std::string& path, const std::string& body) {
        if (EndsWith(path, "getlist.php3") || EndsWith(path, "getlist2.php3")) return List();
        if (EndsWith(path, "getdata.php3")) return Data(FormFields(body)["CONTS_CODE"]);
        Reply reply;
        reply.status = 404;
        reply.text = "no such service\n";
        return reply;
    }

    tools::Reply OnPost(const tools::Request& req, Kind kind) {
        const ads::Faults& f = m_options.faults;
        tools::Reply res;
        if (f.silentList && (kind == kList || kind == kList2)) {
            // Taken and never answered; the connection stays until the client leaves.
            res.raw = true;
            res.ending = tools::Ending::Hold;
            Log(req.remote, req.method, req.path(), req.body, 0);
            return res;
        }
        Reply reply = Answer(req.path(), req.body);
        res.status = f.status ? f.status : reply.status;
        res.type = reply.type;
        if (res.status / 100 == 3) res.fields.emplace_back("Location", req.path());
        if (f.hugeBody) {
            res.length = uint64_t{1} << 30;
            res.ending = tools::Ending::Hold;
        } else if (reply.data) {
            Stream(reply.data, res);
        } else {
            res.body = reply.text;
        }
        Log(req.remote, req.method, req.path(), req.body, res.status);
        return res;
    }

    // The whole answer made by hand, bent where no HTTP library would bend it: inside the
    // status line, with a reset, after an interim answer, or a byte at a time.
    tools::Reply ByHand(const tools::Request& req) {
        tools::Reply res;
        res.raw = true;
        res.ending = tools::Ending::Close;
        if (m_options.faults.raw == ads::RawFault::Mute) {
            Log(req.remote, req.method, req.path(), req.body, 0);
            res.ending = tools::Ending::Hold;
            return res;
        }
        const Reply reply = Answer(req.path(), req.body);
        const std::string body = reply.data ? reply.data->All() : reply.text;
        Log(req.remote, req.method, req.path(), req.body, reply.status);
        const std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " " + Reason(reply.status) +
                                 "\r\nContent-Type: " + reply.type + "\r\nContent-Length: " +
                                 std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
        const std::string interim = "HTTP/1.1 100 Continue\r\n\r\n";
        switch (m_options.faults.raw) {
            case ads::RawFault::ResetHead:
                res.body = head.substr(0, head.size() / 2);
                res.ending = tools::Ending::Reset;
                break;
            case ads::RawFault::ResetBody:
                res.body = head + body.substr(0, body.size() / 2);
                res.ending = tools::Ending::Reset;
                break;
            case ads::RawFault::Garbage: {
                // Neither a status line nor anything like one, zeros included.
                res.body.assign(4096, '\0');
                uint32_t x = 2463534242u;
                for (char& c : res.body) {
                    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
                    c = static_cast<char>(x);
                }
                res.body[0] = '\x16';
                break;
            }
            case ads::RawFault::InterimOnly: res.body = interim; break;
            case ads::RawFault::Continue: res.body = interim + head + body; break;
            case ads::RawFault::Trickle: {
                auto all = std::make_shared<std::string>(head + body);
                res.paceMs = m_options.faults.trickleMs;
                res.more = [all](uint64_t sent, std::string* piece) {
                    if (sent >= all->size()) return false;
                    *piece = all->substr(sent, 1);
                    return true;
                };
                break;
            }
            default: res.body = head + body;
        }
        return res;
    }

    static Reply Text(std::string text) {
        Reply reply;
        reply.text = std::move(text);
        return reply;
    }

    Reply List() {
        const ads::Faults& f = m_options.faults;
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
    void Stream(const std::shared_ptr<DataBody>& body, tools::Reply& res) {
        const ads::Faults& f = m_options.faults;
        const size_t headSize = body->HeadSize();
        const bool half = f.cutPayload || f.stallPayload;
        const size_t sent = half ? headSize + (body->Size() - headSize) / 2 : body->Size();
        const size_t piece = f.slowPayloadMs ? 1024 : DataBody::kPiece;
        res.type = "application/octet-stream";
        res.length = body->Size();
        res.body.clear();
        body->Read(0, headSize, &res.body);
        if (f.stallPayload) res.ending = tools::Ending::Hold;
        if (f.cutPayload) res.ending = tools::Ending::Close;
        res.paceMs = f.slowPayloadMs;
        res.more = [this, body, sent, piece](uint64_t offset, std::string* out) {
            if (offset >= sent) return false;
            if (!body->Read(offset, std::min<size_t>(piece, sent - offset), out)) return false;
            m_payloadBytes += out->size();
            return true;
        };
    }

    const ads::Options& m_options;
    const std::vector<ads::Ad> m_ads;
    const std::string m_testCabinet;
    std::atomic<int> m_emptyListsGiven{0};
    tools::LineLog* const m_log;
    const tools::Engine* m_engine = nullptr;
    std::function<uint64_t()> m_dropped;
    std::atomic<uint64_t> m_requests[kKinds] = {};
    std::atomic<uint64_t> m_payloadBytes{0};
};

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

    try {
        tools::ServerLogs logs("ads-server: ");
        if (!logs.Open(options.logFile, options.verbose, &error)) {
            std::fprintf(stderr, "ads-server: %s\n", error.c_str());
            return 2;
        }
        AdServer adServer(options, std::move(ads), std::move(testCabinet), logs.requests);
        adServer.SetDropped([&] { return logs.Dropped(); });
        tools::Engine engine(adServer);
        adServer.SetEngine(&engine);
        if (!engine.Listen(tools::SettingsOf(options), &error)) {
            std::fprintf(stderr, "ads-server: cannot listen on %s:%d: %s\n", options.bind.c_str(), options.port,
                         error.c_str());
            return 1;
        }
        engine.Start();
        std::printf("listening on %s:%d\n", options.bind.c_str(), engine.Port());
        std::fflush(stdout);
        engine.Wait();
        if (!logs.Finish(200))
            _exit(0);   // the log's reader is stalled; leaving must not wait for it
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ads-server: cannot start on %s:%d: %s\n", options.bind.c_str(), options.port, e.what());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    ads::Options options;
    std::string error;
    if (!ads::ParseOptions(argc, argv, &options, &error)) {
        std::fprintf(stderr, "ads-server: %s (see --help)\n", error.c_str());
        return 2;
    }
    if (options.help || options.helpFaults) {
        std::fputs(options.helpFaults ? ads::FaultsText() : ads::UsageText().c_str(), stdout);
        return 0;
    }
    return Serve(options);
}
