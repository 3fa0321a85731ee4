// Every limit the reference servers put on a client, in one place: the engine enforces
// them and --help names them from here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tools {

constexpr size_t kMaxHeadBytes = 16 * 1024;     // request line and headers; more gets 431
constexpr int kHeadSeconds = 10;                // from the head's first byte to its end
constexpr int kBodySeconds = 10;                // for the body, plus a second per...
constexpr uint64_t kBodyBytesPerSecond = 64 * 1024;  // ...this much it announces
constexpr int kIdleSeconds = 60;                // a kept connection's wait for its next request
constexpr int kWriteSeconds = 30;               // for the client to take each piece of an answer
constexpr size_t kDefaultMaxConnections = 10000;
constexpr size_t kMaxLogLines = 10000;          // queued for the log writer; more are dropped

// The seconds a body of this many bytes may take to arrive.
inline int BodySeconds(uint64_t bytes) {
    return kBodySeconds + static_cast<int>(bytes / kBodyBytesPerSecond);
}

// The bounds and the options shared by both servers, for --help.
inline std::string BoundsHelp(size_t maxBody) {
    const std::string body = maxBody % 1024 == 0 && maxBody >= 1024 * 1024
                                 ? std::to_string(maxBody / (1024 * 1024)) + " MiB"
                                 : std::to_string(maxBody / 1024) + " KiB";
    return "  --threads N    threads serving the connections (default: one per core)\n"
           "  --max-connections N\n"
           "                 connections open at once (default " + std::to_string(kDefaultMaxConnections) +
           "); when full, the\n"
           "                 one idle longest is closed for the newcomer\n"
           "  --log FILE     append a line per request to FILE\n"
           "  --verbose      write a line per request to stderr\n"
           "\n"
           "Bounds on every client, refused without reading further: the request line and\n"
           "headers at most " + std::to_string(kMaxHeadBytes / 1024) +
           " KiB (431, then the connection closes), whole within " + std::to_string(kHeadSeconds) +
           " s of\n"
           "their first byte; a body at most " + body + " (" + std::to_string(maxBody) +
           " bytes; 413 from the length it\n"
           "announces, before any of it is read), whole within " + std::to_string(kBodySeconds) +
           " s more plus a second\n"
           "per " + std::to_string(kBodyBytesPerSecond / 1024) +
           " KiB announced; a kept connection waits at most " + std::to_string(kIdleSeconds) +
           " s for its next request;\n"
           "each piece of an answer must be taken within " + std::to_string(kWriteSeconds) +
           " s. The listen backlog is the\n"
           "system's largest (SOMAXCONN). Log lines queue for one writer; when the reader\n"
           "stalls, lines past " + std::to_string(kMaxLogLines) +
           " waiting are dropped, counted and the count logged later.\n"
           "\n"
           "GET /health answers 200 \"ok\" when the server can serve, 503 otherwise;\n"
           "GET /metrics gives its counters in the Prometheus text format. Other GETs\n"
           "and other methods get 405 at once.\n";
}

}  // namespace tools
