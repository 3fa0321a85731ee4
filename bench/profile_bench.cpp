// Reading the catalogue file: parse a catalogue of N entries and read every key once,
// against a baseline of 250 entries in the same run. A reader that scanned every
// section for each lookup would show a ratio near 100 for ten times the entries;
// one that indexes its sections shows about 10.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

#include "platform/Profile.h"

namespace {

double ParseAndReadAll(const std::string& path, uint32_t ads) {
    static const char* const keys[] = {"Name", "File", "ID", "Type", "URL", "Time", "Favorite", "Priority", "Size"};
    std::string text = "[Flyerbank]\r\nVersion=1.1\r\nCount=" + std::to_string(ads) + "\r\n";
    char section[16];
    for (uint32_t i = 0; i < ads; ++i) {
        std::snprintf(section, sizeof section, "AD%04u", i);
        text += "[" + std::string(section) + "]\r\n";
        for (const char* k : keys) text += std::string(k) + "=" + std::to_string(i) + " some text of a usual length\r\n";
    }
    std::ofstream(path, std::ios::binary) << text;
    double best = 1e30;
    for (int run = 0; run < 5; ++run) {
        const auto start = std::chrono::steady_clock::now();
        platform::ProfileReader r(path);
        uint64_t sum = 0;
        for (uint32_t i = 0; i < ads; ++i) {
            std::snprintf(section, sizeof section, "ad%04u", i);
            for (const char* k : keys) sum += r.GetInt(section, k, 0);
        }
        const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
        if (sum != 9ull * ads * (ads - 1) / 2) std::abort();
        best = std::min(best, took.count());
    }
    return best;
}

}  // namespace

int main() {
    char name[] = "/tmp/flb-bench-XXXXXX";
    const std::string dir = mkdtemp(name);
    const std::string path = dir + "/Flyerbank.dat";
    const double baseline = ParseAndReadAll(path, 250);
    std::printf("catalogue of 250 entries: baseline (%.3f ms)\n", baseline);
    for (uint32_t ads : {1000u, 2500u}) {
        const double t = ParseAndReadAll(path, ads);
        std::printf("catalogue of %u entries: %.1f x baseline\n", ads, t / baseline);
    }
    unlink(path.c_str());
    rmdir(dir.c_str());
    return 0;
}
