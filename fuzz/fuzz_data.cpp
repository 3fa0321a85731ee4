// Any bytes as the ad server's data answer for ad 1234, taken by the update job as
// FetchAd takes it once the answer has arrived: the six lines into the record, then the
// payload into the ad's file or its cabinet unpacked. The first byte chooses a new or a
// held ad and a picture or a cabinet. Afterwards the ad folder holds exactly the ad's
// file (and, for a cabinet, its thumbnail), or, when the answer was refused, what it held
// before, untouched.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "frame/App.h"
#include "frame/Exceptions.h"
#include "update/UpdateJob.h"

namespace {

const char kHeldText[] = "held before";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static CUpdateJob job;
    const bool cabinet = data[0] & 1, held = data[0] & 2;
    const std::string folder = fuzz::EmptyFolder("ads");
    theApp.m_strFolder = folder;

    CAdRecord record(1234);
    record.Cabinet = cabinet;
    record.Type = cabinet ? AD_TYPE_MOVIE : AD_TYPE_PICTURE;
    record.File = folder + (cabinet ? (held ? "0001234.wmv" : "0001234.cab") : "0001234.jpg");
    if (held) {
        fuzz::WriteFile(record.File, kHeldText);
        if (cabinet) fuzz::WriteFile(folder + "0001234.jpg", kHeldText);
    }
    const auto before = fuzz::Entries(folder);

    auto* answer = static_cast<unsigned char*>(std::malloc(size));
    std::memcpy(answer, data + 1, size - 1);
    job.SetAnswer(answer, static_cast<DWORD>(size - 1));
    bool taken = false;
    try {
        job.TakeDataAnswer(record);
        taken = true;
    } catch (const CUserException&) {
    } catch (const CADSException& e) {
        FUZZ_CHECK(e.m_nResult != 0);
    }

    const auto after = fuzz::Entries(folder);
    if (!taken) {
        FUZZ_CHECK(after == before);
        for (const auto& [name, kind] : before) FUZZ_CHECK(fuzz::ReadFile(folder + name) == kHeldText);
        return 0;
    }
    // The payload is what follows the sixth CR LF.
    size_t at = 0;
    const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    for (int line = 0; line < 6; ++line) at = bytes.find("\r\n", at) + 2;
    const std::string payload = bytes.substr(at);
    FUZZ_CHECK(record.File.compare(0, folder.size(), folder) == 0);
    const std::string name = record.File.substr(folder.size());
    FUZZ_CHECK(after.count(name) && after.at(name) == 'f');
    FUZZ_CHECK(static_cast<size_t>(record.Size) == fuzz::ReadFile(record.File).size());
    if (!cabinet) {
        FUZZ_CHECK(after.size() == 1);
        FUZZ_CHECK(fuzz::ReadFile(record.File) == payload);
    } else {
        // A movie and its thumbnail, both named after the ad; the cabinet itself is gone.
        FUZZ_CHECK(after.size() == 2);
        FUZZ_CHECK(name != "0001234.jpg" && name.compare(0, 7, "0001234") == 0);
        FUZZ_CHECK(after.count("0001234.jpg") && after.at("0001234.jpg") == 'f');
    }
    return 0;
}
