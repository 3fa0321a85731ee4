// The catalogue file on Windows: a full catalogue (200 pictures, 40 movies, nine keys
// each) saved and read back through our profile layer, against the system's profile
// functions doing the same key by key, as a catalogue on them would, in the same run.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "platform/Profile.h"

namespace {

const char* const kKeys[] = {"Name", "File", "ID", "Type", "URL", "Time", "Favorite", "Priority", "Size"};
constexpr unsigned kRecords = 240;

std::string Value(unsigned record, unsigned key) {
    return std::to_string(record * 9 + key) + " C:\\Ads\\" + std::to_string(1000000 + record) + ".jpg";
}

template <class F>
double BestMs(int runs, F f) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        f();
        const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

void SaveOurs(const std::string& path) {
    platform::ProfileWriter w(path);
    w.Write("Flyerbank", "Version", "1.1");
    w.Write("Flyerbank", "Count", std::to_string(kRecords).c_str());
    char section[16];
    for (unsigned r = 0; r < kRecords; ++r) {
        std::snprintf(section, sizeof section, "AD%04u", r);
        for (unsigned k = 0; k < 9; ++k) w.Write(section, kKeys[k], Value(r, k).c_str());
    }
    if (!w.Commit()) std::abort();
}

void SaveSystem(const std::string& path) {
    DeleteFileA(path.c_str());
    WritePrivateProfileStringA("Flyerbank", "Version", "1.1", path.c_str());
    WritePrivateProfileStringA("Flyerbank", "Count", std::to_string(kRecords).c_str(), path.c_str());
    char section[16];
    for (unsigned r = 0; r < kRecords; ++r) {
        std::snprintf(section, sizeof section, "AD%04u", r);
        for (unsigned k = 0; k < 9; ++k) WritePrivateProfileStringA(section, kKeys[k], Value(r, k).c_str(), path.c_str());
    }
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, path.c_str());  // flush the system's cache
}

void LoadOurs(const std::string& path) {
    platform::ProfileReader reader(path);
    char buf[260], section[16];
    for (unsigned r = 0; r < kRecords; ++r) {
        std::snprintf(section, sizeof section, "AD%04u", r);
        for (unsigned k = 0; k < 9; ++k) reader.GetString(section, kKeys[k], "", buf, sizeof buf);
    }
}

void LoadSystem(const std::string& path) {
    char buf[260], section[16];
    for (unsigned r = 0; r < kRecords; ++r) {
        std::snprintf(section, sizeof section, "AD%04u", r);
        for (unsigned k = 0; k < 9; ++k) GetPrivateProfileStringA(section, kKeys[k], "", buf, sizeof buf, path.c_str());
    }
}

}  // namespace

int main() {
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string ours = std::string(temp) + "flb-bench-ours.dat", system = std::string(temp) + "flb-bench-api.dat";
    const double saveSystem = BestMs(3, [&] { SaveSystem(system); });
    const double saveOurs = BestMs(3, [&] { SaveOurs(ours); });
    const double loadSystem = BestMs(3, [&] { LoadSystem(system); });
    const double loadOurs = BestMs(3, [&] { LoadOurs(ours); });
    std::printf("| catalogue of %u records, under Wine | system profile API (baseline) | our profile layer |\n", kRecords);
    std::printf("|---|---|---|\n");
    std::printf("| save whole file | 1 (%.1f ms) | %.3f x |\n", saveSystem, saveOurs / saveSystem);
    std::printf("| load every key | 1 (%.1f ms) | %.3f x |\n", loadSystem, loadOurs / loadSystem);
    DeleteFileA(ours.c_str());
    DeleteFileA(system.c_str());
    return 0;
}
