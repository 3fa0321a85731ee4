// FLBGetOrder of n announced ads, all held in the catalogue (favourites beyond a full one,
// as a user may keep), so the order refreshes and sorts every one of them. The host calls
// it again after every update; each call starts from the order the last one left.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "BenchSupport.h"
#include "flyerbank.h"
#include "frame/App.h"

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    std::srand(1);
    // Made once: the bench runs each case more than once to settle its iteration count.
    std::vector<std::unique_ptr<bench::AdFolder>> folders;
    for (unsigned n : {240u, 1000u, 100000u}) {
        folders.emplace_back(new bench::AdFolder);
        const std::string folder = folders.back()->Path();
        bench::WriteCatalogue(folder, n, n > 240, true);
        benchmark::RegisterBenchmark(("order/" + std::to_string(n)).c_str(), [n, folder](benchmark::State& state) {
            if (theApp.m_strFolder != folder) {
                if (!FLBSetFolder(folder.c_str()) || theApp.m_catalogue.GetCount() != n) {
                    state.SkipWithError("catalogue not loaded");
                    return;
                }
                // As the list exchange leaves it: code, type and priority, nothing else known.
                theApp.m_announcedAds.clear();
                for (unsigned i = 0; i < n; ++i) {
                    const CAdRecord held = bench::Ad(folder, i);
                    CAdRecord r(held.ID);
                    r.Type = held.Type;
                    r.Priority = held.Priority;
                    theApp.m_announcedAds.push_back(r);
                }
            }
            for (auto _ : state) {
                uint32_t* codes = nullptr;
                int32_t count = 0;
                if (!FLBGetOrder(&codes, &count) || count != static_cast<int32_t>(n))
                    state.SkipWithError("FLBGetOrder failed");
                std::free(codes);
            }
        })->Unit(benchmark::kMicrosecond);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
