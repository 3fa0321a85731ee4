#include "Options.h"

#include <cctype>
#include <cstdlib>

#include "../common/Bounds.h"

namespace ads {

namespace {

bool ParseInt(const std::string& text, long low, long high, int* value) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const long n = std::strtol(text.c_str(), nullptr, 10);
    if (n < low || n > high) return false;
    *value = static_cast<int>(n);
    return true;
}

// "%XX" stands for the byte XX, so that a fault can carry bytes no command line can.
bool Unescape(const std::string& text, std::string* bytes) {
    bytes->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            *bytes += text[i];
            continue;
        }
        if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 2])))
            return false;
        *bytes += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
        i += 2;
    }
    return true;
}

bool ParseFault(const std::string& text, Faults* f, std::string* error) {
    const size_t eq = text.find('=');
    const std::string name = text.substr(0, eq);
    const bool hasValue = eq != std::string::npos;
    const std::string value = hasValue ? text.substr(eq + 1) : "";
    auto number = [&](int low, int high, int* target) {
        if (hasValue && ParseInt(value, low, high, target)) return true;
        *error = "--fault " + name + " wants =N (" + std::to_string(low) + " to " + std::to_string(high) + ")";
        return false;
    };
    auto flag = [&](bool* target) {
        if (!hasValue) return *target = true;
        *error = "--fault " + name + " takes no value";
        return false;
    };
    auto bytes = [&](std::string* target) {
        if (hasValue && !value.empty() && Unescape(value, target)) return true;
        *error = "--fault " + name + " wants =TEXT (%XX for a byte)";
        return false;
    };
    auto raw = [&](RawFault fault) {
        if (f->raw != RawFault::None) {
            *error = "--fault " + name + ": only one fault that answers by hand at a time";
            return false;
        }
        f->raw = fault;
        return true;
    };
    if (name == "list-result") return number(1, 999999, &f->listResult);
    if (name == "data-result") return number(1, 999999, &f->dataResult);
    if (name == "empty-list") return number(1, 1000, &f->emptyLists);
    if (name == "wrong-code") return flag(&f->wrongCode);
    if (name == "cut-payload") return flag(&f->cutPayload);
    if (name == "crlf-items") return flag(&f->crlfItems);
    if (name == "bad-cabinet") return flag(&f->badCabinet);
    if (name == "silent-list") return flag(&f->silentList);
    if (name == "stall-payload") return flag(&f->stallPayload);
    if (name == "status") return number(300, 599, &f->status);
    if (name == "huge-body") return flag(&f->hugeBody);
    if (name == "list-items") return number(1, 1000000, &f->listItems);
    if (name == "item-tail") return bytes(&f->itemTail);
    if (name == "huge-members") return flag(&f->hugeMembers);
    if (name == "member-name") return bytes(&f->memberName);
    static const struct {
        const char* name;
        RawFault fault;
    } kRaw[] = {{"reset-head", RawFault::ResetHead}, {"reset-body", RawFault::ResetBody},
                {"garbage", RawFault::Garbage},      {"interim-only", RawFault::InterimOnly},
                {"continue", RawFault::Continue},    {"mute", RawFault::Mute}};
    for (const auto& r : kRaw) {
        bool given = false;
        if (name == r.name) return flag(&given) && raw(r.fault);
    }
    if (name == "trickle") {
        if (!raw(RawFault::Trickle)) return false;
        if (!hasValue) {
            f->trickleMs = 50;
            return true;
        }
        return number(1, 60000, &f->trickleMs);
    }
    if (name == "slow-payload") {
        if (!hasValue) {
            f->slowPayloadMs = 200;
            return true;
        }
        return number(1, 60000, &f->slowPayloadMs);
    }
    if (name == "cabinet-files") {
        if (!number(1, 3, &f->cabinetFiles)) return false;
        if (f->cabinetFiles != 2) return true;
        *error = "--fault cabinet-files wants 1 or 3 (2 is the good case)";
        return false;
    }
    *error = "unknown fault '" + name + "'";
    return false;
}

}  // namespace

bool ParseOptions(int argc, char** argv, Options* options, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string* target) {
            if (i + 1 < argc) {
                *target = argv[++i];
                return true;
            }
            *error = arg + " needs a value";
            return false;
        };
        std::string text;
        if (arg == "--help" || arg == "-h") {
            options->help = true;
        } else if (arg == "--help-faults") {
            options->helpFaults = true;
        } else if (arg == "--verbose") {
            options->verbose = true;
        } else if (arg == "--threads") {
            if (!value(&text)) return false;
            if (!ParseInt(text, 1, 1024, &options->threads)) {
                *error = "--threads wants a number from 1 to 1024";
                return false;
            }
        } else if (arg == "--max-connections") {
            if (!value(&text)) return false;
            if (!ParseInt(text, 1, 1000000, &options->maxConnections)) {
                *error = "--max-connections wants a number from 1 to 1000000";
                return false;
            }
        } else if (arg == "--content") {
            if (!value(&options->content)) return false;
        } else if (arg == "--port") {
            if (!value(&text)) return false;
            if (!ParseInt(text, 0, 65535, &options->port)) {
                *error = "--port wants a number from 0 to 65535";
                return false;
            }
        } else if (arg == "--bind") {
            if (!value(&options->bind)) return false;
        } else if (arg == "--log") {
            if (!value(&options->logFile)) return false;
        } else if (arg == "--utf8-names") {
            options->utf8Names = true;
        } else if (arg == "--fault") {
            if (!value(&text) || !ParseFault(text, &options->faults, error)) return false;
        } else {
            *error = "unknown argument '" + arg + "'";
            return false;
        }
    }
    if (!options->help && !options->helpFaults && options->content.empty()) {
        *error = "--content DIR is required";
        return false;
    }
    return true;
}

std::string UsageText() {
    return std::string(
               "usage: ads-server --content DIR [options]\n"
               "\n"
               "Reference ad server. Serves the ads of DIR/manifest.txt (UTF-8, one ad per line:\n"
               "code, extension, priority, name, link, payload file; separated by tabs; '#'\n"
               "starts a comment line). Answers POST on paths ending in:\n"
               "  getlist.php3, getlist2.php3   \"RESULT:0\\n\" and a line \"%07u.ext\\n\" per ad\n"
               "  getdata.php3                  for CONTS_CODE=%07u: six lines ended by CR LF\n"
               "                                (payload size, RESULT:0, CONTS_CODE:%07u,\n"
               "                                CONTS_NAME:name, PRIORITY:n, JUMPHTTP:link),\n"
               "                                then the payload; an unknown code gets RESULT:3\n"
               "Names go out in code page 932. The extension must be one of jpg, png, asf, wmv,\n"
               "cab, and the payload a file inside DIR; payloads are read from disk as they are\n"
               "sent. A method other than POST gets 405 at once.\n"
               "\n"
               "options:\n"
               "  --port N       port to listen on; 0 (the default) picks a free one\n"
               "  --bind ADDR    address to listen on (default 127.0.0.1)\n"
               "  --utf8-names   send the names as the manifest has them\n"
               "  --fault F      misbehave on purpose, for testing clients (see --help-faults)\n"
               "  --help         this text\n"
               "  --help-faults  the fault modes\n") +
           tools::BoundsHelp(64 * 1024) +
           "/metrics counts requests by kind (list, list2, data, other), payload bytes sent,\n"
           "open connections and dropped log lines. A --log FILE line is: time (UTC), client\n"
           "address, method, path, body (escaped), status.\n"
           "\n"
           "Once listening, the first line on stdout is exactly \"listening on HOST:PORT\".\n"
           "SIGINT or SIGTERM stops it within a second (exit 0).\n"
           "exit status: 0 done, 1 cannot listen, start or make a cabinet, 2 bad arguments,\n"
           "manifest or log\n";
}

const char* FaultsText() {
    return "usage: ads-server --content DIR --fault F [--fault F...]\n"
           "\n"
           "Ways to misbehave on purpose, for testing clients (--fault may be repeated):\n"
           "  list-result=N    the list answer is RESULT:N\n"
           "  data-result=N    every data answer has RESULT:N\n"
           "  empty-list=N     the first N list answers are a lone line feed\n"
           "  wrong-code       data answers name the next code\n"
           "  cut-payload      half the payload, then the connection closes\n"
           "  slow-payload[=MS] the payload in 1 KiB pieces MS apart (200)\n"
           "  crlf-items       item lines end with CR LF\n"
           "  bad-cabinet      cabinet ads get bytes that are no cabinet\n"
           "  cabinet-files=N  cabinet ads get a cabinet of N files (1 or 3),\n"
           "                   made at start with gcab\n"
           "  silent-list      list requests are taken and never answered\n"
           "  stall-payload    half the payload, then silence; the connection stays\n"
           "  status=N         every answer has status N (300 to 599); a 3xx has a\n"
           "                   Location of the path asked for\n"
           "  huge-body        every answer announces 1 GiB and sends none of it\n"
           "  list-items=N     N more ads (codes 1000000 on) head the list; data\n"
           "                   requests do not know them (RESULT:3)\n"
           "  item-tail=TEXT   TEXT follows every item's extension (%XX: any byte)\n"
           "  huge-members     cabinet ads get a cabinet whose two members declare\n"
           "                   2 GiB each and carry a few bytes\n"
           "  member-name=NAME cabinet ads get a cabinet of movie.asf and NAME (%XX)\n"
           "At most one of these; every answer then goes out by hand, and\n"
           "cut-payload, slow-payload, stall-payload, status, huge-body do not apply:\n"
           "  reset-head       half the status line and headers, then a reset\n"
           "  reset-body       the headers and half the body, then a reset\n"
           "  garbage          bytes that are no HTTP, then the connection closes\n"
           "  interim-only     \"100 Continue\" and nothing after it; the connection closes\n"
           "  continue         \"100 Continue\", then the answer\n"
           "  mute             reads the request and never answers; the connection stays\n"
           "  trickle[=MS]     the whole answer a byte at a time, MS apart (50)\n"
           "Every fault changes only what it names: requests are still read, checked and\n"
           "logged as usual.\n";
}

}  // namespace ads
