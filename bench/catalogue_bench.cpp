// The catalogue file of a full catalogue (200 pictures, 40 movies): our save and load,
// against the same keys written and read one call at a time through the profile layer,
// each call re-reading (and rewriting) the file as the system's profile functions do; and
// the two exports that touch the whole file, against the save and the load they contain.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "flyerbank.h"
#include "frame/App.h"

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    bench::AdFolder folder;
    bench::WriteCatalogue(folder.Path(), 240, false);
    if (!FLBSetFolder(folder.Path().c_str()) || theApp.m_catalogue.GetCount() != 240) std::abort();
    CAdCatalog& catalogue = theApp.m_catalogue;
    if (!catalogue.Save()) std::abort();
    const std::string path = catalogue.GetPath();
    const std::vector<bench::Key> keys = bench::KeysOf(path);
    const std::string perKey = folder.Path() + "per-key.dat";

    benchmark::RegisterBenchmark("catalogue/save", [&](benchmark::State& state) {
        for (auto _ : state)
            if (!catalogue.Save()) state.SkipWithError("save failed");
    });
    benchmark::RegisterBenchmark("catalogue/save_per_key", [&](benchmark::State& state) {
        for (auto _ : state) {
            platform::RemoveFile(perKey);
            for (const bench::Key& k : keys)
                if (!platform::WriteProfileString(k.section.c_str(), k.name.c_str(), k.value.c_str(), perKey))
                    state.SkipWithError("write failed");
        }
    })->Iterations(1);
    benchmark::RegisterBenchmark("catalogue/load", [&](benchmark::State& state) {
        for (auto _ : state)
            if (!catalogue.Load() || catalogue.GetCount() != 240) state.SkipWithError("load failed");
    });
    benchmark::RegisterBenchmark("catalogue/load_per_key", [&](benchmark::State& state) {
        char buf[260];
        for (auto _ : state)
            for (const bench::Key& k : keys) {
                platform::ProfileReader file(path);
                benchmark::DoNotOptimize(file.GetString(k.section.c_str(), k.name.c_str(), "", buf, sizeof buf));
            }
    })->Iterations(1);
    benchmark::RegisterBenchmark("catalogue/set_favorite_flag", [&](benchmark::State& state) {
        int32_t flag = 0;
        for (auto _ : state)
            if (!FLBSetFavoriteFlag(1000002, flag ^= 2)) state.SkipWithError("FLBSetFavoriteFlag failed");
    });
    benchmark::RegisterBenchmark("catalogue/get_picture_list", [&](benchmark::State& state) {
        for (auto _ : state) {
            uint32_t* codes = nullptr;
            int32_t count = 0;
            if (!FLBGetPictureList(&codes, &count) || count != 200) state.SkipWithError("FLBGetPictureList failed");
            std::free(codes);
        }
    });
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
