// The posix half of the cross-backend check: the test script updates a folder with this
// build, moves it, lets the Windows build load and change it, and then runs this test on
// what the Windows build wrote.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "UpdateFixture.h"

namespace {

const char kSofa[] = "\x83\x5C\x83\x74\x83\x40";  // ソファ, as the Windows build stored it

std::vector<uint32_t> Sorted(int32_t (*list)(uint32_t**, int32_t*)) {
    uint32_t* codes = nullptr;
    int32_t count = 0;
    EXPECT_EQ(1, list(&codes, &count));
    std::vector<uint32_t> out(codes, codes + count);
    std::free(codes);
    std::sort(out.begin(), out.end());
    return out;
}

TEST(CrossBackend, ReadsWhatTheWindowsBuildWrote) {
    const char* folder = std::getenv("FLB_CROSS_DIR");
    if (!folder || !*folder) GTEST_SKIP() << "FLB_CROSS_DIR not set: the Windows test script prepares it";
    const std::string dir = folder;
    Library& lib = Library::Get();
    ASSERT_EQ(1, lib.FLBSetFolder(dir.c_str()));
    EXPECT_EQ((std::vector<uint32_t>{1001, 1002, 1003}), Sorted(lib.FLBGetPictureList));
    EXPECT_EQ((std::vector<uint32_t>{2001, 2002}), Sorted(lib.FLBGetMovieList));
    EXPECT_STREQ(kSofa, lib.FLBGetName(1002));
    EXPECT_EQ(9, lib.FLBGetFavoriteFlag(1003));
    ASSERT_NE(nullptr, lib.FLBGetFileName(1002));
    EXPECT_EQ(dir + "/0001002.jpg", lib.FLBGetFileName(1002)) << "the Windows path re-pointed here";

    // The sizes the Windows build encoded decode to the files' sizes here.
    for (uint32_t code : {1001u, 1002u, 1003u, 2001u, 2002u}) {
        std::map<std::string, std::string> stored = StoredRecord(dir + "/Flyerbank.dat", code);
        const std::string name = stored["File"].substr(stored["File"].find_last_of("\\/") + 1);
        platform::FileStatus status;
        ASSERT_TRUE(platform::GetFileStatus(dir + "/" + name, status)) << name;
        EXPECT_EQ(status.size, std::stoull(CSizeCodec().Decode(stored["Size"]))) << name;
    }
}

}  // namespace
