// The catalogue exports of the DLL on a folder prepared as an earlier client left it, and
// the file they write read back through the system's own profile functions.
#include <gtest/gtest.h>

#include <map>

#include "CatalogueText.h"
#include "WinHost.h"

namespace {

// cp932: 春のセール, 新刊, 予告編, and a name with a trail byte 0x5C (ソ = 83 5C).
const char kSpring[] = "\x8F\x74\x82\xCC\x83\x5A\x81\x5B\x83\x8B";
const char kBooks[] = "\x90\x56\x8A\xA7";
const char kTrailer[] = "\x97\x5C\x8D\x90\x95\xD2";
const char kSofa[] = "\x83\x5C\x83\x74\x83\x40";

std::string Profile(const std::string& file, const std::string& section, const char* key) {
    char buf[512];
    GetPrivateProfileStringA(section.c_str(), key, "<none>", buf, sizeof buf, file.c_str());
    return buf;
}

class CatalogueExports : public HostTest {
protected:
    void SetUp() override {
        WriteBytes(ads.Path("0001001.png"), "png bytes");
        WriteBytes(ads.Path("0001002.jpg"), "jpg bytes");
        WriteBytes(ads.Path("0002001.wmv"), "movie bytes");
        WriteBytes(ads.Path("0002001.jpg"), "thumbnail bytes");
        // A 1.0 file, as an earlier client left it; the load upgrades it to 1.1.
        WriteBytes(ads.Path("Flyerbank.dat"),
                   CatalogueText({{1001, ads.Path("0001001.png"), kSpring, 0, "http://shop.example.test/spring", 0, 1},
                                  {1002, ads.Path("0001002.jpg"), kBooks, 0, "http://books.example.test/", 0, 1},
                                  {2001, ads.Path("0002001.wmv"), kTrailer, 1, "http://cinema.example.test/", 0, 1}},
                                 "1.0"));
        ASSERT_EQ(1, lib.FLBSetFolder(ads.Folder().c_str()));
    }
};

TEST_F(CatalogueExports, PreparedFolderAnswersEveryQuery) {
    EXPECT_EQ((std::vector<uint32_t>{1001, 1002}), Codes(lib.FLBGetPictureList));
    EXPECT_EQ((std::vector<uint32_t>{2001}), Codes(lib.FLBGetMovieList));
    EXPECT_STREQ(kSpring, lib.FLBGetName(1001));
    EXPECT_EQ(ads.Path("0002001.wmv"), lib.FLBGetFileName(2001));
    EXPECT_EQ(ads.Path("0002001.jpg"), lib.FLBGetThumbnail(2001));
    EXPECT_EQ(ads.Path("0001002.jpg"), lib.FLBGetThumbnail(1002));
    EXPECT_STREQ("http://cinema.example.test/", lib.FLBGetURL(2001));
}

TEST_F(CatalogueExports, ChangesReadBackThroughTheProfileFunctions) {
    const std::string dat = ads.Path("Flyerbank.dat");
    EXPECT_EQ("1.1", Profile(dat, "Flyerbank", "Version"));  // upgraded by the load
    ASSERT_EQ(1, lib.FLBSetName(1001, kSofa));
    ASSERT_EQ(1, lib.FLBSetFavoriteFlag(1002, 7));

    EXPECT_EQ("3", Profile(dat, "Flyerbank", "Count"));
    std::map<std::string, std::string> byId;  // the save may order the records its own way
    for (int i = 0; i < 3; ++i) {
        const std::string section = AdSection(i);
        byId[Profile(dat, section, "ID")] = Profile(dat, section, "Name") + "/" + Profile(dat, section, "Favorite");
        EXPECT_NE("<none>", Profile(dat, section, "Size")) << section;
    }
    EXPECT_EQ((std::map<std::string, std::string>{{"1001", std::string(kSofa) + "/0"},
                                                   {"1002", std::string(kBooks) + "/7"},
                                                   {"2001", std::string(kTrailer) + "/0"}}),
              byId);
}

TEST_F(CatalogueExports, RemovingAMovieDeletesItAndItsThumbnail) {
    ASSERT_EQ(1, lib.FLBRemove(2001));
    EXPECT_FALSE(FileExists(ads.Path("0002001.wmv")));
    EXPECT_FALSE(FileExists(ads.Path("0002001.jpg")));
    EXPECT_TRUE(Codes(lib.FLBGetMovieList).empty());
    EXPECT_EQ(nullptr, lib.FLBGetFileName(2001));
}

TEST_F(CatalogueExports, ARecordWhoseFileIsGoneDropsAtTheNextList) {
    ASSERT_TRUE(DeleteFileA(ads.Path("0001002.jpg").c_str()));
    EXPECT_EQ((std::vector<uint32_t>{1001}), Codes(lib.FLBGetPictureList));
}

TEST_F(CatalogueExports, AFolderGivenWithOrWithoutItsSeparatorIsTheSame) {
    std::string bare = ads.Folder();
    bare.pop_back();
    ASSERT_EQ(1, lib.FLBSetFolder(bare.c_str()));
    EXPECT_EQ(ads.Path("0001001.png"), lib.FLBGetFileName(1001));
}

}  // namespace
