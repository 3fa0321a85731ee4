// The ad server's manifest reader on any bytes, in a content folder with a payload, a
// subfolder and links that lead out of it. An ad it takes has a code the library reads
// back, an extension the library knows and a payload that is a plain file inside the
// folder; and its list line and data answer, made as the server makes them, are read by
// the update job as that same ad.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "Manifest.h"
#include "frame/App.h"
#include "frame/Exceptions.h"
#include "update/UpdateJob.h"

namespace {

std::string Code7(uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "%07u", code);
    return text;
}

// Real path of the content folder, made once.
const std::string& Content() {
    static const std::string real = [] {
        const std::string folder = fuzz::EmptyFolder("content");
        fuzz::WriteFile(folder + "a.jpg", "picture");
        fuzz::WriteFile(fuzz::Scratch() + "secret.jpg", "outside");
        mkdir((folder + "sub").c_str(), 0700);
        fuzz::WriteFile(folder + "sub/m.cab", "MSCF");
        (void)!symlink((fuzz::Scratch() + "secret.jpg").c_str(), (folder + "out.jpg").c_str());
        (void)!symlink("sub/m.cab", (folder + "in.cab").c_str());
        char resolved[4096];
        if (!realpath(folder.c_str(), resolved)) std::abort();
        return std::string(resolved);
    }();
    return real;
}

// The list and data answers of one ad, read back by the update job.
void ReadAsTheLibrary(const ads::Ad& ad) {
    static CUpdateJob job;
    theApp.m_strFolder = fuzz::Scratch();
    theApp.m_announcedAds.clear();
    CString list = "RESULT:0\n" + Code7(ad.code) + "." + ad.extension + "\n";
    std::vector<CAdRecord> downloads;
    try {
        job.ParseList(list, downloads);
    } catch (const CException&) {
        FUZZ_CHECK(!"the list line of an ad taken is read");
    }
    FUZZ_CHECK(downloads.size() == 1 && downloads[0].ID == ad.code);

    const std::string answer = std::to_string(ad.payloadSize) + "\r\nRESULT:0\r\nCONTS_CODE:" + Code7(ad.code) +
                               "\r\nCONTS_NAME:" + ad.name + "\r\nPRIORITY:" + std::to_string(ad.priority) +
                               "\r\nJUMPHTTP:" + ad.link + "\r\n";
    auto* block = static_cast<unsigned char*>(std::malloc(answer.size()));
    std::memcpy(block, answer.data(), answer.size());
    job.SetAnswer(block, static_cast<DWORD>(answer.size()));
    CAdRecord record = downloads[0];
    try {
        FUZZ_CHECK(job.ParseDataAnswer(record) == job.m_pAnswer + job.m_nAnswerSize);
    } catch (const CException&) {
        FUZZ_CHECK(!"the data answer of an ad taken is read");
    }
    FUZZ_CHECK(record.Name == ad.name && record.Priority == ad.priority && record.URL == LinkToKeep(ad.link));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string& folder = Content();
    fuzz::WriteFile(folder + "/manifest.txt", std::string(reinterpret_cast<const char*>(data + 1), size - 1));
    std::vector<ads::Ad> ads;
    std::string error;
    if (!ads::LoadManifest(folder, data[0] & 1, &ads, &error)) {
        FUZZ_CHECK(!error.empty());
        return 0;
    }
    std::set<uint32_t> codes;
    for (const ads::Ad& ad : ads) {
        FUZZ_CHECK(ad.code >= 1 && ad.code <= 9999999 && codes.insert(ad.code).second);
        FUZZ_CHECK(AdTypeOfExtension(ad.extension.c_str()) != AD_TYPE_NONE);
        FUZZ_CHECK(ad.payloadPath.compare(0, folder.size() + 1, folder + "/") == 0);
        struct stat st;
        FUZZ_CHECK(lstat(ad.payloadPath.c_str(), &st) == 0 && S_ISREG(st.st_mode));
        FUZZ_CHECK(static_cast<uint64_t>(st.st_size) == ad.payloadSize);
        ReadAsTheLibrary(ad);
    }
    return 0;
}
