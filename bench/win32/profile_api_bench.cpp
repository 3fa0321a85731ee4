// The catalogue file of a full catalogue (200 pictures, 40 movies) on Windows: our save and
// load, against the system's profile functions writing and reading the same keys one call
// at a time, as a catalogue built on them does; and the two exports that touch the whole
// file, against what the same change or reload costs on the system's functions.
// Prints rows for scripts/bench: name|measured|baseline|ratio|goal.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "SystemProfile.h"
#include "frame/App.h"

// As the exports are defined: flyerbank.h would bring windows.h along.
extern "C" {
int32_t FLBSetFolder(const char* path);
int32_t FLBSetFavoriteFlag(uint32_t code, int32_t flag);
int32_t FLBGetPictureList(uint32_t** codes, int32_t* count);
}

namespace {

// Best of `runs`, in microseconds: the least disturbed by whatever else the machine does.
template <class F>
double BestUs(int runs, F f) {
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        f();
        const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

std::string TimeText(double us) {
    char text[32];
    if (us >= 1e6) std::snprintf(text, sizeof text, "%.2f s", us / 1e6);
    else if (us >= 1e4) std::snprintf(text, sizeof text, "%.1f ms", us / 1e3);
    else std::snprintf(text, sizeof text, us < 100 ? "%.1f µs" : "%.0f µs", us);
    return text;
}

void Row(const char* name, double ours, double api, const char* what) {
    std::printf("Wine: %s|%s|%s API %s|%.3g|< 1\n", name, TimeText(ours).c_str(), TimeText(api).c_str(), what,
                ours / api);
}

}  // namespace

int main() {
    bench::AdFolder folder;
    bench::WriteCatalogue(folder.Path(), 240, false);
    if (!FLBSetFolder(folder.Path().c_str()) || theApp.m_catalogue.GetCount() != 240) return 1;
    CAdCatalog& catalogue = theApp.m_catalogue;
    if (!catalogue.Save()) return 1;
    const std::string path = catalogue.GetPath();
    const std::vector<bench::Key> keys = bench::KeysOf(path);
    const std::string api = folder.Path() + "api.dat";

    const double apiSave = BestUs(3, [&] {
        SystemDeleteFile(api.c_str());
        for (const bench::Key& k : keys) SystemProfileWrite(k.section.c_str(), k.name.c_str(), k.value.c_str(), api.c_str());
        SystemProfileFlush(api.c_str());
    });
    const double apiLoad = BestUs(3, [&] {
        char buf[260];
        for (const bench::Key& k : keys) SystemProfileRead(k.section.c_str(), k.name.c_str(), buf, sizeof buf, api.c_str());
    });
    const double save = BestUs(20, [&] { catalogue.Save(); });
    const double load = BestUs(20, [&] { catalogue.Load(); });
    int32_t flag = 0;
    const double favourite = BestUs(20, [&] { FLBSetFavoriteFlag(1000002, flag ^= 2); });
    const double pictures = BestUs(20, [&] {
        uint32_t* codes = nullptr;
        int32_t count = 0;
        FLBGetPictureList(&codes, &count);
        std::free(codes);
    });
    if (catalogue.GetCount() != 240) return 1;
    Row("catalogue save", save, apiSave, "per key");
    Row("catalogue load", load, apiLoad, "per key");
    Row("FLBSetFavoriteFlag", favourite, apiSave, "save");
    Row("FLBGetPictureList", pictures, apiLoad, "load");
    return 0;
}
