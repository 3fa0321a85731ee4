// Any bytes as the ad server's list answer, read by the update job against a catalogue
// that holds two ads: one up to date, one naming a file outside the ad folder. A refusal must
// be one of the library's own exceptions; every ad taken must be one the job can fetch
// into the ad folder and nowhere else.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "catalogue/SizeCodec.h"
#include "frame/App.h"
#include "frame/Exceptions.h"
#include "platform/Files.h"
#include "update/UpdateJob.h"

namespace {

bool Held(const CAdRecord& announced) {
    CAdRecord stored;
    return theApp.m_catalogue.Lookup(announced.ID, stored) != FALSE;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::string folder = fuzz::EmptyFolder("ads");
    theApp.m_strFolder = folder;
    fuzz::WriteFile(folder + "0000005.jpg", "picture");
    fuzz::WriteFile(folder + "0000070.asf", "movie");
    fuzz::WriteFile(folder + "Flyerbank.dat",
                    "[Flyerbank]\r\nVersion=1.1\r\nCount=2\r\n"
                    "[AD0000]\r\nFile=" + folder + "0000005.jpg\r\nID=5\r\nType=0\r\nSize=" +
                        CSizeCodec().Encode("7") + "\r\n"
                    "[AD0001]\r\nFile=" + folder + "0000070.asf\r\nID=70\r\nType=1\r\nSize=" +
                        CSizeCodec().Encode("5") + "\r\n");
    if (!theApp.m_catalogue.Load(folder.c_str()) || theApp.m_catalogue.GetCount() != 2) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CUpdateJob job;
    CString answer(reinterpret_cast<const char*>(data), size);
    // What FetchList does with each answer before it reads it.
    if (!answer.empty() && answer[0] == '\n') answer.erase(0, 1);
    std::vector<CAdRecord> downloads;
    theApp.m_announcedAds.clear();
    try {
        job.ParseList(answer, downloads);
    } catch (const CUserException&) {
    } catch (const CADSException& e) {
        FUZZ_CHECK(e.m_nResult != 0);
    }

    const std::vector<CAdRecord>& announced = theApp.m_announcedAds;
    FUZZ_CHECK(downloads.size() <= announced.size());
    size_t next = 0;  // downloads keep the order of the announced list
    for (const CAdRecord& r : announced) {
        FUZZ_CHECK(r.ID >= 1 && r.ID <= 9999999);
        FUZZ_CHECK(r.Type == AD_TYPE_PICTURE || r.Type == AD_TYPE_MOVIE);
        FUZZ_CHECK(platform::IsDirectlyInside(r.File, theApp.m_strFolder));
        FUZZ_CHECK(r.File.find('\0') == CString::npos);
        const bool fetched = next < downloads.size() && downloads[next].ID == r.ID && downloads[next].File == r.File;
        if (fetched) ++next;
        // Only a held ad whose file is there with its stored size may be left alone.
        if (!fetched) FUZZ_CHECK(Held(r) && platform::Exists(r.File) && r.Size != 0);
    }
    FUZZ_CHECK(next == downloads.size());
    return 0;
}
