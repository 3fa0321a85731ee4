// A catalogue the posix build wrote, in a folder moved since, loads in the Windows build
// with the same records and cp932 names; what the Windows build then changes, and the
// sizes it stores, are read back by the posix build (the other half of the test, run by
// the test script).
#include <gtest/gtest.h>

#include "WinHost.h"

namespace {

// cp932: 春のセール as the ad server names ad 1001, and ソファ (trail byte 0x5C).
const char kSpring[] = "\x8F\x74\x82\xCC\x83\x5A\x81\x5B\x83\x8B";
const char kSofa[] = "\x83\x5C\x83\x74\x83\x40";

TEST(CrossBackend, LoadsWhatThePosixBuildWroteAndChangesIt) {
    const std::string folder = EnvOr("FLB_CROSS_DIR");
    if (folder.empty()) GTEST_SKIP() << "FLB_CROSS_DIR not set: the test script prepares it";
    Library& lib = Library::Get();
    ASSERT_EQ(1, lib.FLBSetFolder(folder.c_str()));
    EXPECT_EQ((std::vector<uint32_t>{1001, 1002, 1003}), Codes(lib.FLBGetPictureList));
    EXPECT_EQ((std::vector<uint32_t>{2001, 2002}), Codes(lib.FLBGetMovieList));
    EXPECT_STREQ(kSpring, lib.FLBGetName(1001));
    ASSERT_NE(nullptr, lib.FLBGetFileName(1001));
    EXPECT_EQ(folder + "0001001.png", lib.FLBGetFileName(1001)) << "re-pointed into the moved folder";
    ASSERT_NE(nullptr, lib.FLBGetThumbnail(2001));
    EXPECT_TRUE(FileExists(lib.FLBGetThumbnail(2001)));

    ASSERT_EQ(1, lib.FLBSetName(1002, kSofa));
    ASSERT_EQ(1, lib.FLBSetFavoriteFlag(1003, 9));
}

}  // namespace
