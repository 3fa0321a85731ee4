// A catalogue the posix build wrote, in a folder moved since, loads in the Windows build
// with the same records, cp932 names and sizes; what the Windows build then changes is
// read back by the posix build (the other half of the test, run by the test script).
#include <gtest/gtest.h>

#include <cstdlib>

#include "WinHost.h"
#include "catalogue/SizeCodec.h"

namespace {

// cp932: 春のセール as the ad server names ad 1001, and ソファ (trail byte 0x5C).
const char kSpring[] = "\x8F\x74\x82\xCC\x83\x5A\x81\x5B\x83\x8B";
const char kSofa[] = "\x83\x5C\x83\x74\x83\x40";

std::vector<uint32_t> Sorted(int32_t (*list)(uint32_t**, int32_t*)) {
    uint32_t* codes = nullptr;
    int32_t count = 0;
    EXPECT_EQ(1, list(&codes, &count));
    std::vector<uint32_t> out(codes, codes + count);
    std::free(codes);
    std::sort(out.begin(), out.end());
    return out;
}

// Each stored Size, decoded, against the size of the file the record names.
void ExpectSizesMatchFiles(const std::string& folder) {
    const std::string dat = folder + "Flyerbank.dat";
    char text[64];
    GetPrivateProfileStringA("Flyerbank", "Count", "0", text, sizeof text, dat.c_str());
    const int count = std::atoi(text);
    ASSERT_EQ(5, count);
    for (int i = 0; i < count; ++i) {
        char section[16], file[MAX_PATH];
        std::snprintf(section, sizeof section, "AD%04d", i);
        GetPrivateProfileStringA(section, "Size", "", text, sizeof text, dat.c_str());
        GetPrivateProfileStringA(section, "File", "", file, sizeof file, dat.c_str());
        const std::string name = std::string(file).substr(std::string(file).find_last_of("\\/") + 1);
        WIN32_FILE_ATTRIBUTE_DATA data;
        ASSERT_TRUE(GetFileAttributesExA((folder + name).c_str(), GetFileExInfoStandard, &data)) << name;
        EXPECT_EQ(static_cast<int>(data.nFileSizeLow), std::atoi(CSizeCodec().Decode(text).c_str())) << name;
    }
}

TEST(CrossBackend, LoadsWhatThePosixBuildWroteAndChangesIt) {
    const std::string folder = EnvOr("FLB_CROSS_DIR");
    if (folder.empty()) GTEST_SKIP() << "FLB_CROSS_DIR not set: the test script prepares it";
    Library& lib = Library::Get();
    ASSERT_EQ(1, lib.FLBSetFolder(folder.c_str()));
    EXPECT_EQ((std::vector<uint32_t>{1001, 1002, 1003}), Sorted(lib.FLBGetPictureList));
    EXPECT_EQ((std::vector<uint32_t>{2001, 2002}), Sorted(lib.FLBGetMovieList));
    EXPECT_STREQ(kSpring, lib.FLBGetName(1001));
    ASSERT_NE(nullptr, lib.FLBGetFileName(1001));
    EXPECT_EQ(folder + "0001001.png", lib.FLBGetFileName(1001)) << "re-pointed into the moved folder";
    ASSERT_NE(nullptr, lib.FLBGetThumbnail(2001));
    EXPECT_TRUE(FileExists(lib.FLBGetThumbnail(2001)));

    ASSERT_EQ(1, lib.FLBSetName(1002, kSofa));
    ASSERT_EQ(1, lib.FLBSetFavoriteFlag(1003, 9));
    ExpectSizesMatchFiles(folder);
}

}  // namespace
