// The DLL in the field: no program from a server on the user's disk, and ad folders right
// up to the ANSI path limit, through WinInet, cabinet.dll and the system's file calls.
// What the shared code decides of them the native suite proves.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "CatalogueText.h"
#include "WinHost.h"
#include "res/resource.h"

namespace {

// Names in a folder (given with its separator), the lock files that stay after any change
// left out.
std::set<std::string> NamesIn(const std::string& folder) {
    std::set<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((folder + "*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        const std::string name = found.cFileName;
        if (name != "." && name != ".." && name != "Flyerbank.lock" && name != "Flyerbank.update.lock")
            names.insert(name);
    } while (FindNextFileA(find, &found));
    FindClose(find);
    return names;
}

using FieldSafety = HostTest;

TEST_F(FieldSafety, AProgramAsACabinetMovieIsRefusedAndNothingOfItStays) {
    const std::string planted = EnvOr("FLB_ADS_PLANTED_URL");
    if (planted.empty()) GTEST_SKIP() << "FLB_ADS_PLANTED_URL not set: the test script runs the servers";
    WriteBytes(ads.Path("0001001.png"), "held");
    WriteBytes(ads.Path("Flyerbank.dat"), CatalogueText({{1001, ads.Path("0001001.png")}}));
    ASSERT_EQ(1, lib.FLBSetFolder(ads.Folder().c_str()));
    const std::set<std::string> held = NamesIn(ads.Folder());

    const HostWindow::Completion done = Run(planted);
    EXPECT_EQ(1u, done.outcome);
    EXPECT_EQ(0, done.result);
    const auto shown = boxes.Shown();
    ASSERT_EQ(1u, shown.size());
    EXPECT_EQ(StringOf(IDP_ADS_COMM_ERROR), shown[0].text);
    EXPECT_EQ(held, NamesIn(ads.Folder()));
    EXPECT_EQ(nullptr, lib.FLBGetFileName(3001));
    EXPECT_EQ("held", ReadBytes(ads.Path("0001001.png")));
}

// A folder of exactly `length` bytes (no separator at its end) under `base`, all of it
// made but its last level.
std::string FolderOfLength(const std::string& base, size_t length) {
    std::string path = base;
    while (path.size() + 1 + 100 < length) {
        path += "\\" + std::string(99, 'd');
        CreateDirectoryA(path.c_str(), nullptr);
    }
    return path + "\\" + std::string(length - path.size() - 1, 'e');
}

TEST_F(FieldSafety, AFolderIsTakenExactlyWhenEveryPathMadeInItFits) {
    if (EnvOr("FLB_ADS_URL").empty()) GTEST_SKIP() << "FLB_ADS_URL not set: the test script runs the servers";
    // The longest name made in it: the catalogue's save, "Flyerbank.dat.<pid>-<serial>.tmp".
    const size_t longest = MAX_PATH - 1 - 1 - std::strlen("Flyerbank.dat.4294967295-4294967295.tmp");
    CreateDirectoryA(ads.Path("long").c_str(), nullptr);
    const std::string over = FolderOfLength(ads.Path("long"), longest + 1);
    boxes.Clear();
    EXPECT_EQ(0, lib.FLBSetFolder(over.c_str()));
    ASSERT_EQ(1u, boxes.Shown().size());
    EXPECT_EQ(StringOf(IDP_INVALID_ARGUMENT), boxes.Shown()[0].text);

    const std::string fits = FolderOfLength(ads.Path("long"), longest);
    ASSERT_EQ(1, lib.FLBSetFolder(fits.c_str()));
    const HostWindow::Completion done = Run(EnvOr("FLB_ADS_URL"));
    EXPECT_EQ(0u, done.outcome);
    EXPECT_TRUE(boxes.Shown().empty());
    EXPECT_EQ((std::set<std::string>{"0001001.png", "0001002.jpg", "0001003.png", "0002001.wmv", "0002001.jpg",
                                     "0002002.wmv", "0002002.jpg", "Flyerbank.dat"}),
              NamesIn(fits + "\\"));
}

}  // namespace
