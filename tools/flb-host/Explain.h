// After a failure, one English line for the developer: what happened and what to do,
// from the message ids the library showed and the lines of its debug log.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace host {

struct Evidence {
    std::vector<unsigned> messages;      // ids, in the order shown
    std::vector<std::string> debugLines;  // the library's FLB_DEBUG_LOG lines
    uint32_t serverResult = 0;           // an update's refusal by the ad server
};

// "" when there is nothing to explain.
std::string Explain(const Evidence& evidence);

// Collects the evidence of one step: the two logs' new lines since Begin. Uses the
// files the environment names, else private ones it sets up (and removes at the end).
class EvidenceLogs {
public:
    EvidenceLogs();
    ~EvidenceLogs();
    EvidenceLogs(const EvidenceLogs&) = delete;
    EvidenceLogs& operator=(const EvidenceLogs&) = delete;
    void Begin();
    Evidence Collect() const;

private:
    struct Log {
        std::string path;
        bool ours = false;
        long long offset = 0;
    };
    static void SetUp(const char* variable, Log& log);
    Log m_messages, m_debug;
};

}  // namespace host
