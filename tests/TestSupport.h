// Shared helpers of the tests: a scratch folder and a presenter that records messages.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/MessageBox.h"

class TempFolder {
public:
    TempFolder() {
        char name[] = "/tmp/flb-test-XXXXXX";
        m_path = mkdtemp(name);
    }
    ~TempFolder() { (void)!system(("rm -rf '" + m_path + "'").c_str()); }
    // The folder with its separator, as the catalogue wants it.
    std::string Folder() const { return m_path + "/"; }
    std::string Path(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

struct ShownMessage {
    unsigned id;
    unsigned type;
};

// Records every message shown while it lives.
class MessageRecorder {
public:
    MessageRecorder() {
        m_old = platform::SetMessagePresenter(
            [this](unsigned id, unsigned type, const std::string&) { m_shown.push_back({id, type}); });
    }
    ~MessageRecorder() { platform::SetMessagePresenter(m_old); }
    std::vector<unsigned> Ids() const {
        std::vector<unsigned> ids;
        for (const auto& m : m_shown) ids.push_back(m.id);
        return ids;
    }
    const std::vector<ShownMessage>& Shown() const { return m_shown; }
    void Clear() { m_shown.clear(); }

private:
    platform::MessagePresenter m_old;
    std::vector<ShownMessage> m_shown;
};

// An ad's code as its file names and the server's forms write it.
inline std::string Code7(uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "%07u", static_cast<unsigned>(code));
    return text;
}

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Sends `request` as raw bytes to 127.0.0.1:port and returns what the server sends
// until it closes, or what has come when it stays silent for `silenceMs`.
inline std::string RawHttp(int port, const std::string& request, int silenceMs = 10000) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        struct pollfd p = {fd, POLLIN, 0};
        char buf[4096];
        ssize_t n;
        while (poll(&p, 1, silenceMs) > 0 && (n = read(fd, buf, sizeof buf)) > 0) answer.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return answer;
}
