#pragma once

#include <string>

namespace ads {

// Faults that bend the bytes of the answer itself: the server then makes every answer
// by hand and bends it the same way.
enum class RawFault { None, ResetHead, ResetBody, Garbage, InterimOnly, Continue, Mute, Trickle };

// Ways to misbehave on purpose, so that clients can be tested against them.
struct Faults {
    int listResult = 0;        // list-result=N: refuse the list with RESULT N
    int dataResult = 0;        // data-result=N: refuse every data request with RESULT N
    int emptyLists = 0;        // empty-list=N: the first N list answers are a lone line feed
    bool wrongCode = false;    // wrong-code: data answers name the next code
    bool cutPayload = false;   // cut-payload: half the payload, then the connection closes
    int slowPayloadMs = 0;     // slow-payload[=MS]: 1 KiB pieces MS apart (default 200)
    bool crlfItems = false;    // crlf-items: item lines end with CR LF
    bool badCabinet = false;   // bad-cabinet: cabinet ads get bytes that are no cabinet
    int cabinetFiles = 0;      // cabinet-files=N: cabinet ads get a cabinet of N files
    bool silentList = false;   // silent-list: list requests are taken and never answered
    bool stallPayload = false; // stall-payload: half the payload, then silence on an open connection
    int status = 0;            // status=N: every answer has HTTP status N
    bool hugeBody = false;     // huge-body: every answer announces 1 GiB and sends none of it
    int listItems = 0;         // list-items=N: N more ads, unknown to the data requests, head the list
    std::string itemTail;      // item-tail=TEXT: bytes after every item's extension (%XX for any byte)
    bool hugeMembers = false;  // huge-members: cabinet ads get members that declare 2 GiB each
    std::string memberName;    // member-name=NAME: cabinet ads get a thumbnail stored as NAME
    RawFault raw = RawFault::None;
    int trickleMs = 0;         // trickle[=MS]: the pause between two bytes
};

struct Options {
    std::string content;
    int port = 0;
    std::string bind = "127.0.0.1";
    std::string logFile;
    bool verbose = false;
    int threads = 0;         // 0: one per core
    int maxConnections = 0;  // 0: the engine's default
    bool utf8Names = false;
    bool help = false;
    bool helpFaults = false;
    Faults faults;
};

// False with a one-line reason on a bad command line.
bool ParseOptions(int argc, char** argv, Options* options, std::string* error);

std::string UsageText();
const char* FaultsText();

}  // namespace ads
