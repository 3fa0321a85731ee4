// The ad server's two answers as the update job reads them: any bytes as a list answer
// and as a data answer. Neither may overrun a buffer, and a refusal must be an
// exception of the library's own, never a crash.
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "frame/App.h"
#include "frame/Exceptions.h"
#include "platform/MessageBox.h"
#include "update/UpdateJob.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = [] {
        char name[] = "/tmp/flb-fuzz-XXXXXX";
        platform::SetMessagePresenter([](unsigned, unsigned, const std::string&) {});
        theApp.m_strFolder = std::string(mkdtemp(name)) + "/";
        return true;
    }();
    (void)ready;
    CUpdateJob job;

    CString list(reinterpret_cast<const char*>(data), size);
    std::vector<CAdRecord> downloads;
    try {
        job.ParseList(list, downloads);
    } catch (const CException&) {
    }
    theApp.m_announcedAds.clear();

    auto* answer = static_cast<unsigned char*>(std::malloc(size ? size : 1));
    std::memcpy(answer, data, size);
    job.SetAnswer(answer, static_cast<DWORD>(size));
    CAdRecord record(1234);
    try {
        const unsigned char* payload = job.ParseDataAnswer(record);
        if (payload < job.m_pAnswer || payload > job.m_pAnswer + job.m_nAnswerSize) std::abort();
    } catch (const CException&) {
    }
    return 0;
}
