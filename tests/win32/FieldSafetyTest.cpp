// The DLL in the field: no program from a server on the user's disk, and ad folders right
// up to the ANSI path limit, through WinInet, cabinet.dll and the system's file calls.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

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

class FieldSafety : public ::testing::Test {
protected:
    // Runs one update from the server at `base` to its completion.
    HostWindow::Completion Run(const std::string& base) {
        SetServerUrls(base + "/getlist.php3", base + "/getlist2.php3", base + "/getdata.php3", "");
        boxes.Clear();
        EXPECT_EQ(1, lib.FLBUpdate("user1", host.Handle(), 0, "1.0"));
        boxes.HookNewThreads();
        const size_t before = host.Completions().size();
        EXPECT_TRUE(host.WaitForCompletions(before + 1, 60000));
        ClearServerUrls();
        return host.Completions().size() > before ? host.Completions()[before] : HostWindow::Completion{9, 9};
    }

    Library& lib = Library::Get();
    TempFolder root;
    HostWindow host;
    BoxRecorder boxes;
};

TEST_F(FieldSafety, AProgramAsACabinetMovieIsRefusedAndAnOldRecordOfOneIsDropped) {
    const std::string planted = EnvOr("FLB_ADS_PLANTED_URL");
    if (planted.empty()) GTEST_SKIP() << "FLB_ADS_PLANTED_URL not set: the test script runs the servers";
    const std::string ads = root.Folder();
    WriteBytes(ads + "0001001.png", "held");
    WriteBytes(ads + "Flyerbank.dat", "[Flyerbank]\r\nVersion=1.1\r\nCount=1\r\n[AD0000]\r\nName=n\r\nFile=" + ads +
                                          "0001001.png\r\nID=1001\r\nType=0\r\nSize=\r\n");
    ASSERT_EQ(1, lib.FLBSetFolder(ads.c_str()));
    const std::set<std::string> held = NamesIn(ads);

    const HostWindow::Completion done = Run(planted);
    EXPECT_EQ(1u, done.outcome);
    EXPECT_EQ(0, done.result);
    const auto shown = boxes.Shown();
    ASSERT_EQ(1u, shown.size());
    EXPECT_EQ(StringOf(IDP_ADS_COMM_ERROR), shown[0].text);
    EXPECT_EQ(held, NamesIn(ads));
    EXPECT_EQ(nullptr, lib.FLBGetFileName(3001));
    EXPECT_EQ("held", ReadBytes(ads + "0001001.png"));

    // What an older build left: the program recorded as the ad's movie.
    WriteBytes(ads + "0003001.exe", "MZ");
    WriteBytes(ads + "Flyerbank.dat", "[Flyerbank]\r\nVersion=1.1\r\nCount=1\r\n[AD0000]\r\nName=n\r\nFile=" + ads +
                                          "0003001.exe\r\nID=3001\r\nType=1\r\nSize=\r\n");
    ASSERT_EQ(1, lib.FLBSetFolder(ads.c_str()));
    EXPECT_EQ(nullptr, lib.FLBGetFileName(3001));
    uint32_t* codes = nullptr;
    int32_t count = -1;
    EXPECT_EQ(1, lib.FLBGetMovieList(&codes, &count));
    EXPECT_EQ(0, count);
    EXPECT_FALSE(FileExists(ads + "0003001.exe"));
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
    CreateDirectoryA(root.Path("long").c_str(), nullptr);
    const std::string over = FolderOfLength(root.Path("long"), longest + 1);
    boxes.Clear();
    EXPECT_EQ(0, lib.FLBSetFolder(over.c_str()));
    ASSERT_EQ(1u, boxes.Shown().size());
    EXPECT_EQ(StringOf(IDP_INVALID_ARGUMENT), boxes.Shown()[0].text);

    const std::string fits = FolderOfLength(root.Path("long"), longest);
    ASSERT_EQ(1, lib.FLBSetFolder(fits.c_str()));
    const HostWindow::Completion done = Run(EnvOr("FLB_ADS_URL"));
    EXPECT_EQ(0u, done.outcome);
    EXPECT_TRUE(boxes.Shown().empty());
    EXPECT_EQ((std::set<std::string>{"0001001.png", "0001002.jpg", "0001003.png", "0002001.wmv", "0002001.jpg",
                                     "0002002.wmv", "0002002.jpg", "Flyerbank.dat"}),
              NamesIn(fits + "\\"));
    EXPECT_EQ(1, lib.FLBSetName(2001, "renamed"));
    EXPECT_EQ(1, lib.FLBRemove(1001));
    ASSERT_EQ(1, lib.FLBSetFolder(fits.c_str()));
    EXPECT_STREQ("renamed", lib.FLBGetName(2001));
    EXPECT_EQ(nullptr, lib.FLBGetFileName(1001));
    EXPECT_TRUE(boxes.Shown().empty());
}

}  // namespace
