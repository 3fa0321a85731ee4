#pragma once

#include <string>

namespace avls {

// Ways the server can misbehave on purpose, so clients can be tested against them.
enum class Fault {
    None,
    PlainOk,     // 200 with "OK" unsealed
    Empty,       // 200 with an empty body
    Status500,   // status 500 around the answer that would have been given
    Close,       // headers and body sent, connection closed short of Content-Length
    Slow,        // the usual answer after a delay
    Newline,     // the usual answer followed by CR LF
    Ng,          // the sealed "NG" to every notice
};

struct Options {
    int port = 0;
    std::string db = "avls.db";
    std::string bind = "127.0.0.1";
    std::string logFile;    // a line per request there
    bool verbose = false;   // a line per request on stderr
    int threads = 0;        // 0: one per core
    int maxConnections = 0; // 0: the engine's default
    bool dump = false;
    bool noStore = false;   // answer as if stored, keep nothing: the server's cost without SQLite
    bool help = false;
    Fault fault = Fault::None;
    int delayMs = 2000;
};

// False with a one-line reason on a bad command line.
bool ParseOptions(int argc, char** argv, Options* options, std::string* error);

std::string UsageText();

} // namespace avls
