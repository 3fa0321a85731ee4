#include "Explain.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "res/resource.h"

namespace host {
namespace {

using Fields = std::map<std::string, std::string>;

// "kind<TAB>name=value<TAB>flag..." into fields; the kind under "kind".
Fields Parse(const std::string& line) {
    Fields fields;
    std::istringstream in(line);
    std::string field;
    for (bool first = true; std::getline(in, field, '\t'); first = false) {
        const size_t eq = field.find('=');
        if (first) fields["kind"] = field;
        else if (eq == std::string::npos) fields[field] = "1";
        else fields[field.substr(0, eq)] = field.substr(eq + 1);
    }
    return fields;
}

// The last line of a kind that did not end well.
Fields LastFailed(const Evidence& e, const char* kind) {
    for (auto it = e.debugLines.rbegin(); it != e.debugLines.rend(); ++it) {
        Fields f = Parse(*it);
        if (f["kind"] == kind && f["step"] != "done" && !f.count("ok")) return f;
    }
    return Fields();
}

bool Shown(const Evidence& e, unsigned id) {
    for (unsigned m : e.messages)
        if (m == id) return true;
    return false;
}

std::string Url(Fields& http) { return http["url"].empty() ? "the server" : http["url"]; }

// Curl's codes as the transport's debug lines carry them.
std::string ExplainSendFailure(Fields& http) {
    const int error = std::atoi(http["error"].c_str());
    const std::string text = http["text"].empty() ? "" : " (" + http["text"] + ")";
    switch (error) {
    case 28:
        return "no answer within 30 s from " + Url(http) + ": the request went out and the server sent nothing, "
               "or under 1 KiB, in 30 s; check that the server is healthy";
    case 7:
        return "cannot connect to " + Url(http) + text + ": start the server, or fix the host and port with flb-host settings";
    case 6:
        return "cannot resolve the host of " + Url(http) + ": fix the URL with flb-host settings";
    case 52:
    case 56:
        return "the server at " + Url(http) + " closed the connection without an answer" + text;
    default:
        return "the request to " + Url(http) + " failed" + (error ? ", error " + std::to_string(error) : "") + text;
    }
}

std::string ExplainFile(const Evidence& e) {
    Fields file = LastFailed(e, "file");
    const std::string path = file["path"];
    if (path.empty()) return "an ad file could not be saved: check the ad folder (flb-host --folder DIR)";
    const int os = std::atoi(file["os_error"].c_str());
    if (os == ENOSPC) return "no space left on the device for " + path + ": free some space, then update again";
    if (os) return "cannot write " + path + ": " + std::strerror(os) + "; check that the ad folder is writable";
    return "cannot " + file["step"] + " " + path + ": check that the ad folder is writable and has space";
}

}  // namespace

std::string Explain(const Evidence& e) {
    if (e.serverResult)
        return "the ad server refused with result " + std::to_string(e.serverResult) +
               ": the exchange worked and the server said no; see what that result means on its side";
    Fields http = LastFailed(e, "http");
    if (Shown(e, IDP_URL_PARSE))
        return http["url"].empty() ? "the server URLs are not set: run flb-host settings --server-base URL --notify URL"
                                   : "the URL '" + http["url"] + "' cannot be parsed: fix it with flb-host settings";
    if (Shown(e, IDP_NOT_HTTP))
        return "the URL " + Url(http) + " is not http, the only scheme served: set an http URL with flb-host settings";
    if (Shown(e, IDP_SESSION_CREATE) || Shown(e, IDP_HTTP_CONNECT) || Shown(e, IDP_HTTP_OPEN))
        return "the HTTP layer could not prepare the request to " + Url(http);
    if (Shown(e, IDP_SEND_REQUEST) || Shown(e, IDP_QUERY_STATUS)) return ExplainSendFailure(http);
    if (Shown(e, IDP_BAD_STATUS))
        return "the server answered HTTP " + http["status"] + " for " + Url(http) +
               ": check the URL's path (flb-host settings --show)";
    if (Shown(e, IDP_RECEIVE))
        return http["error"].empty() ? "the server at " + Url(http) + " sent an empty answer, or one over 512 MiB"
                                     : "the answer from " + Url(http) + " broke off (" + http["text"] + ")";
    if (Shown(e, IDP_AD_FILE_SAVE)) return ExplainFile(e);
    if (Shown(e, IDP_CATALOG_ACCESS))
        return "cannot write the catalogue file " + LastFailed(e, "file")["path"] +
               ": check that the ad folder is writable and has space";
    if (Shown(e, IDP_FOLDER_CREATE)) return "the ad folder cannot be created: its parent must exist and be writable";
    if (Shown(e, IDP_FOLDER_ACCESS)) return "the ad folder exists but cannot be read and written";
    if (Shown(e, IDP_ADS_COMM_ERROR) && http["step"] == "read" && http["error"] == "28")
        return "the answer from " + Url(http) + " stalled: under 1 KiB arrived in 30 s; check that the server is healthy";
    if (Shown(e, IDP_ADS_COMM_ERROR) && http["step"] == "read" && !http["error"].empty())
        return "the answer from " + Url(http) + " broke off (" + http["text"] + ")";
    if (Shown(e, IDP_ADS_COMM_ERROR))
        return "the ad server's answer was not in the expected form: check that the URLs point at an ad server";
    if (Shown(e, IDP_AVLS_COMM_ERROR))
        return "the log server did not confirm the view with its sealed OK: check that the notify URL points at a log server";
    if (Shown(e, IDP_UPDATE_RUNNING)) return "an update is still running in this process";
    if (Shown(e, IDP_NO_MEMORY)) return "the library ran out of memory";
    return "";
}

EvidenceLogs::EvidenceLogs() {
    SetUp("FLB_MESSAGE_LOG", m_messages);
    SetUp("FLB_DEBUG_LOG", m_debug);
}

EvidenceLogs::~EvidenceLogs() {
    for (const Log* log : {&m_messages, &m_debug})
        if (log->ours) unlink(log->path.c_str());
}

void EvidenceLogs::SetUp(const char* variable, Log& log) {
    if (const char* given = std::getenv(variable); given && *given) {
        log.path = given;
        return;
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string name = std::string(tmp && *tmp ? tmp : "/tmp") + "/flb-host-XXXXXX";
    const int fd = mkstemp(name.data());
    if (fd < 0) return;
    close(fd);
    log.path = name;
    log.ours = true;
    setenv(variable, name.c_str(), 1);
}

void EvidenceLogs::Begin() {
    for (Log* log : {&m_messages, &m_debug}) {
        struct stat st;
        log->offset = !log->path.empty() && stat(log->path.c_str(), &st) == 0 ? st.st_size : 0;
    }
}

Evidence EvidenceLogs::Collect() const {
    auto lines = [](const Log& log) {
        std::vector<std::string> out;
        std::ifstream in(log.path, std::ios::binary);
        in.seekg(log.offset);
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    };
    Evidence e;
    for (const std::string& line : lines(m_messages)) e.messages.push_back(static_cast<unsigned>(std::atoi(line.c_str())));
    e.debugLines = lines(m_debug);
    return e;
}

}  // namespace host
