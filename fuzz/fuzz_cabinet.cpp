// Any bytes as a downloaded cabinet. Unpacked on their own into a scratch folder, they
// may only ever leave plain files directly in it, and every member reported is one of
// them. Taken by the update job as cabinet ad 1234, they either end as exactly the ad's
// movie, a video, and its thumbnail, or are refused with nothing left in the ad folder.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "catalogue/AdRecord.h"
#include "frame/App.h"
#include "frame/Exceptions.h"
#include "update/Cabinet.h"
#include "update/UpdateJob.h"

namespace {

void UnpackAlone(const std::string& bytes) {
    const std::string folder = fuzz::EmptyFolder("box");
    const std::string cabinet = folder + "0000001.cab";
    fuzz::WriteFile(cabinet, bytes);
    std::vector<CString> names;
    const bool unpacked = CCabinet().Extract(cabinet.c_str(), &names);

    std::set<std::string> made;
    for (const auto& [name, kind] : fuzz::Entries(folder)) {
        FUZZ_CHECK(kind == 'f');
        made.insert(folder + name);
    }
    if (unpacked) {
        for (const CString& n : names) FUZZ_CHECK(made.count(n) == 1);
        made.erase(cabinet);
        for (const CString& n : names) made.erase(n);
        FUZZ_CHECK(made.empty());
    }
}

void UnpackAsAd(const std::string& bytes) {
    static CUpdateJob job;
    const std::string folder = fuzz::EmptyFolder("ads");
    theApp.m_strFolder = folder;
    const std::string answer = "0\r\nRESULT:0\r\nCONTS_CODE:0001234\r\nCONTS_NAME:\r\nPRIORITY:0\r\nJUMPHTTP:\r\n" + bytes;
    auto* block = static_cast<unsigned char*>(std::malloc(answer.size()));
    std::memcpy(block, answer.data(), answer.size());
    job.SetAnswer(block, static_cast<DWORD>(answer.size()));
    CAdRecord record(1234);
    record.Cabinet = 1;
    record.File = folder + "0001234.cab";
    bool taken = true;
    try {
        job.TakeDataAnswer(record);
    } catch (const CUserException&) {
        taken = false;
    }

    const auto entries = fuzz::Entries(folder);
    if (!taken) {
        FUZZ_CHECK(entries.empty());
        return;
    }
    FUZZ_CHECK(entries.size() == 2);
    FUZZ_CHECK(entries.count("0001234.jpg") && entries.at("0001234.jpg") == 'f');
    FUZZ_CHECK(record.File.compare(0, folder.size(), folder) == 0);
    const std::string movie = record.File.substr(folder.size());
    FUZZ_CHECK(movie != "0001234.jpg" && movie.compare(0, 8, "0001234.") == 0);
    FUZZ_CHECK(IsMovieFileExtension(movie.c_str() + 8) && FileFitsType(record.File, AD_TYPE_MOVIE));
    FUZZ_CHECK(entries.count(movie) && entries.at(movie) == 'f');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    UnpackAlone(bytes);
    UnpackAsAd(bytes);
    // Nothing may have appeared beside the two folders.
    const auto root = fuzz::Entries(fuzz::Scratch());
    for (const auto& [name, kind] : root) FUZZ_CHECK((name == "box" || name == "ads") && kind == 'd');
    return 0;
}
