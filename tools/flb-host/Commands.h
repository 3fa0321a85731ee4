// The host's commands: each is parsed in full before any of them runs, so a mistake late
// in a chain leaves the catalogue untouched.
#pragma once
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Encoding.h"
#include "Library.h"

namespace host {

enum ExitCode : int {
    kExitOk = 0,
    kExitRefused = 1,
    kExitUsage = 2,
    kExitUpdateFailed = 3,
    kExitUpdateCancelled = 4,
    kExitNoLibrary = 5,
};

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Host {
    Library& lib;
    const Encoding& text;
    bool updated = false;       // an update ran in this process
    uint32_t serverResult = 0;  // the ad server's refusal of the last update
};

using Args = std::vector<std::string>;
using Action = std::function<int(Host&)>;

struct Command {
    const char* name;
    const char* synopsis;  // the arguments, after the name
    const char* summary;
    const char* details;
    bool usesLibrary;
    Action (*parse)(const Args& args, const Encoding& text);
};

const std::vector<Command>& AllCommands();
const Command* FindCommand(const std::string& name);
std::string ProgramHelp();
std::string CommandHelp(const Command& command);

// Strict decimal numbers: no sign, blanks or junk; out of range is an error.
uint32_t ParseCode(const std::string& text, const char* what);
int32_t ParseInt32(const std::string& text, const char* what);

// Runs an update to its end and reports it; the result is the exit code. serverResult
// gets the ad server's refusal number, 0 when there was none.
int RunUpdate(Library& lib, const std::string& user, const std::string& version, bool list2, uint32_t& serverResult);

// The URL for one script below a base URL, its query kept after the script's name.
std::string JoinServerUrl(const std::string& base, const std::string& script);
// Why the library would refuse a URL, or "" when it would take it.
std::string UrlProblem(const std::string& url);

}  // namespace host
