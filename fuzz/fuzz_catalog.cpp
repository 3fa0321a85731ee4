// Any bytes as "Flyerbank.dat" in an ad folder holding three ads' files. What the load
// keeps names files that exist; what the save writes loads back as the same catalogue;
// and no file outside the ad folder, nor one of its ads that the catalogue keeps, goes.
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <tuple>

#include "FuzzSupport.h"
#include "catalogue/AdCatalog.h"
#include "platform/Files.h"

namespace {

using Record = std::tuple<CString, CString, DWORD, int32_t, CString, uint32_t, int32_t, int32_t, int32_t>;

// A CR inside a text would end its line; the save stores a blank instead.
CString Stored(CString text) {
    for (char& c : text)
        if (c == '\r') c = ' ';
    return text;
}

std::map<DWORD, Record> Records(const CAdCatalog& catalogue) {
    std::map<DWORD, Record> out;
    catalogue.ForEach([&](DWORD code, const CAdRecord& r) {
        out[code] = Record(Stored(r.Name), r.File, r.ID, r.Type, Stored(r.URL), r.Time, r.Favorite, r.Priority, r.Size);
    });
    return out;
}

// For the reproducer's report: what each load kept.
void Print(const char* what, const std::map<DWORD, Record>& records) {
    for (const auto& [code, r] : records)
        std::fprintf(stderr, "%s %u: Name=[%s] File=[%s] Type=%d URL=[%s] Time=%u Favorite=%d Priority=%d Size=%d\n",
                     what, code, std::get<0>(r).c_str(), std::get<1>(r).c_str(), std::get<3>(r), std::get<4>(r).c_str(),
                     std::get<5>(r), std::get<6>(r), std::get<7>(r), std::get<8>(r));
}

const char* const kAdFiles[] = {"0000001.jpg", "0000002.asf", "0000003.png"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string folder = fuzz::EmptyFolder("ads");
    const std::string outside = fuzz::Scratch() + "outside.jpg";
    fuzz::WriteFile(outside, "outside");
    for (const char* name : kAdFiles) fuzz::WriteFile(folder + name, name);
    fuzz::WriteFile(folder + "Flyerbank.dat", std::string(reinterpret_cast<const char*>(data), size));

    CAdCatalog catalogue;
    const bool loaded = catalogue.Load(folder.c_str());
    const auto first = Records(catalogue);
    for (const auto& [code, r] : first) {
        FUZZ_CHECK(std::get<2>(r) == code);
        FUZZ_CHECK(platform::Exists(std::get<1>(r)));
    }
    FUZZ_CHECK(loaded || first.empty());

    const bool saved = catalogue.Save();
    FUZZ_CHECK(saved);
    CAdCatalog again;
    FUZZ_CHECK(again.Load(folder.c_str()));
    if (Records(again) != first) {
        Print("loaded", first);
        Print("saved and loaded", Records(again));
        FUZZ_CHECK(Records(again) == first);
    }

    // Three ads are far below the limits, so nothing may have been pruned.
    FUZZ_CHECK(fuzz::ReadFile(outside) == "outside");
    for (const char* name : kAdFiles) FUZZ_CHECK(fuzz::ReadFile(folder + name) == name);
    return 0;
}
