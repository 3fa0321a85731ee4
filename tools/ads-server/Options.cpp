#include "Options.h"

#include <cstdlib>

namespace ads {

namespace {

bool ParseInt(const std::string& text, long low, long high, int* value) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const long n = std::strtol(text.c_str(), nullptr, 10);
    if (n < low || n > high) return false;
    *value = static_cast<int>(n);
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
    if (name == "list-result") return number(1, 999999, &f->listResult);
    if (name == "data-result") return number(1, 999999, &f->dataResult);
    if (name == "empty-list") return number(1, 1000, &f->emptyLists);
    if (name == "wrong-code") return flag(&f->wrongCode);
    if (name == "cut-payload") return flag(&f->cutPayload);
    if (name == "crlf-items") return flag(&f->crlfItems);
    if (name == "bad-cabinet") return flag(&f->badCabinet);
    if (name == "silent-list") return flag(&f->silentList);
    if (name == "stall-payload") return flag(&f->stallPayload);
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
    if (!options->help && options->content.empty()) {
        *error = "--content DIR is required";
        return false;
    }
    return true;
}

const char* UsageText() {
    return "usage: ads-server --content DIR [options]\n"
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
           "  --port N        port to listen on; 0 (the default) picks a free one\n"
           "  --bind ADDR     address to listen on (default 127.0.0.1)\n"
           "  --log FILE      also append each request line to FILE (which must open)\n"
           "  --utf8-names    send the names as the manifest has them\n"
           "  --fault F       misbehave on purpose (may be repeated):\n"
           "                    list-result=N    the list answer is RESULT:N\n"
           "                    data-result=N    every data answer has RESULT:N\n"
           "                    empty-list=N     the first N list answers are a lone line feed\n"
           "                    wrong-code       data answers name the next code\n"
           "                    cut-payload      half the payload, then the connection closes\n"
           "                    slow-payload[=MS] the payload in 1 KiB pieces MS apart (200)\n"
           "                    crlf-items       item lines end with CR LF\n"
           "                    bad-cabinet      cabinet ads get bytes that are no cabinet\n"
           "                    cabinet-files=N  cabinet ads get a cabinet of N files (1 or 3),\n"
           "                                     made at start with gcab\n"
           "                    silent-list      list requests are taken and never answered\n"
           "                    stall-payload    half the payload, then silence; the connection stays\n"
           "  --help          this text\n"
           "\n"
           "Each request is logged on stderr as one line. Once listening, the first line on\n"
           "stdout is exactly \"listening on HOST:PORT\". SIGINT or SIGTERM stops it (exit 0).\n"
           "exit status: 0 done, 1 cannot listen or make a cabinet, 2 bad arguments, manifest or log\n";
}

}  // namespace ads
