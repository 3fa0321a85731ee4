#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>


#include "catalogue/AdCatalog.h"
#include "frame/App.h"
#include "platform/Files.h"
#include "platform/Profile.h"
#include "TestSupport.h"

namespace {

class Catalog : public ::testing::Test {
protected:
    TempFolder dir;
    MessageRecorder messages;
    CAdCatalog catalogue;

    void SetUp() override { ASSERT_TRUE(catalogue.Load(dir.Folder().c_str())); }

    // A record whose payload file exists, with a creation time of our choosing.
    CAdRecord Ad(DWORD code, int32_t type, uint32_t created, int32_t favorite = 0) {
        char name[32];
        std::snprintf(name, sizeof name, "%07u.%s", code, type == AD_TYPE_MOVIE ? "wmv" : "jpg");
        CAdRecord r(code);
        r.Type = type;
        r.File = dir.Path(name);
        r.CreationTime = created;
        r.Favorite = favorite;
        WriteText(r.File, "x");
        return r;
    }
    std::string Dat() const { return dir.Path("Flyerbank.dat"); }
};

TEST_F(Catalog, SaveWritesHeaderAndNineKeysInOrder) {
    CAdRecord a = Ad(5, AD_TYPE_PICTURE, 1);
    a.Name = "five";
    a.URL = "http://x/5";
    a.Priority = 7;
    a.Size = 1234;
    ASSERT_TRUE(catalogue.Put(a));
    std::string text = ReadText(Dat());
    EXPECT_EQ(text.rfind("[Flyerbank]\r\nVersion=1.1\r\nCount=1\r\n[AD0000]\r\nName=five\r\nFile=" + a.File +
                             "\r\nID=5\r\nType=0\r\nURL=http://x/5\r\nTime=0\r\nFavorite=0\r\nPriority=7\r\nSize=0",
                         0),
              0u)
        << text;

    CAdCatalog again;
    ASSERT_TRUE(again.Load(dir.Folder().c_str()));
    CAdRecord back;
    ASSERT_TRUE(again.Lookup(5, back));
    EXPECT_EQ(back.Size, 1234);
    EXPECT_EQ(back.Priority, 7);
    EXPECT_NE(back.CreationTime, 0u);
}

TEST_F(Catalog, PruningKeepsFavouritesAndNewest) {
    // 203 pictures, the 3 oldest favourites: the 4th to 6th oldest go.
    for (DWORD i = 1; i <= 203; ++i) catalogue.Put(Ad(i, AD_TYPE_PICTURE, 1000 + i, i <= 3));
    EXPECT_EQ(catalogue.GetCount(), 200u);
    CAdRecord r;
    for (DWORD i : {1u, 2u, 3u, 7u, 203u}) EXPECT_TRUE(catalogue.Lookup(i, r)) << i;
    for (DWORD i : {4u, 5u, 6u}) {
        EXPECT_FALSE(catalogue.Lookup(i, r)) << i;
        EXPECT_FALSE(platform::Exists(dir.Path("000000" + std::to_string(i) + ".jpg")));
    }
    EXPECT_TRUE(messages.Ids().empty());
}

TEST_F(Catalog, AllFavouritesAreNeverPruned) {
    for (DWORD i = 1; i <= 45; ++i) catalogue.Put(Ad(i, AD_TYPE_MOVIE, 50, 1));
    EXPECT_EQ(catalogue.GetCount(), 45u);
}

TEST_F(Catalog, EqualCreationTimesPruneTheLowerCodeFirst) {
    for (DWORD i = 1; i <= 41; ++i) catalogue.Put(Ad(100 + i, AD_TYPE_MOVIE, 77));
    CAdRecord r;
    EXPECT_FALSE(catalogue.Lookup(101, r));
    EXPECT_TRUE(catalogue.Lookup(102, r));
}

TEST_F(Catalog, FailedSaveLeavesTheOldFileWhole) {
    ASSERT_TRUE(catalogue.Put(Ad(1, AD_TYPE_PICTURE, 1)));
    const std::string before = ReadText(Dat());
    // A file-size limit below the new file makes its write fail, for root as well.
    CAdRecord second = Ad(2, AD_TYPE_PICTURE, 2);
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit tight = saved;
    tight.rlim_cur = 16;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
    const BOOL put = catalogue.Put(second);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(put);
    EXPECT_EQ(messages.Ids(), std::vector<unsigned>{20002});
    EXPECT_EQ(ReadText(Dat()), before);
    CAdRecord r;
    EXPECT_TRUE(catalogue.Lookup(2, r));  // the change stays in memory
}

TEST_F(Catalog, LongTextsSurviveWholeAndAreHandedOutCut) {
    std::string name(300, 'n');
    name.replace(258, 2, "\x82\xA0");  // a double-byte character across the 259-byte cut
    CAdRecord a = Ad(1, AD_TYPE_PICTURE, 1);
    a.Name = name;
    ASSERT_TRUE(catalogue.Put(a));
    CAdCatalog again;
    again.Load(dir.Folder().c_str());
    CAdRecord back;
    ASSERT_TRUE(again.Lookup(1, back));
    EXPECT_EQ(back.Name, name);
    const char* shown = again.GetName(1);
    EXPECT_EQ(std::string(shown), name.substr(0, 258));
}

TEST_F(Catalog, TextsWithOuterBlanksOrQuotesReadBackAsTheyWere) {
    const std::vector<std::string> texts = {" abc", "abc\t", "\"Sale\"", "'x'", "\"", "a\"b\"", " \"q\" ", "\"'"};
    for (DWORD code = 1; code <= texts.size(); ++code) {
        CAdRecord a = Ad(code, AD_TYPE_PICTURE, 1);
        a.Name = a.URL = texts[code - 1];
        ASSERT_TRUE(catalogue.Put(a));
    }
    CAdCatalog again;
    ASSERT_TRUE(again.Load(dir.Folder().c_str()));
    for (DWORD code = 1; code <= texts.size(); ++code) {
        CAdRecord back;
        ASSERT_TRUE(again.Lookup(code, back));
        EXPECT_EQ(back.Name, texts[code - 1]);
        EXPECT_EQ(back.URL, texts[code - 1]);
    }
}

TEST_F(Catalog, HugeCountIsBoundedBySectionsPresent) {
    CAdRecord a = Ad(3, AD_TYPE_PICTURE, 1);
    WriteText(Dat(), "[Flyerbank]\r\nVersion=1.1\r\nCount=4294967295\r\n[AD0000]\r\nFile=" + a.File +
                         "\r\nID=3\r\nType=0\r\nSize=" + std::string(5000, 'o') + "\r\n");
    ASSERT_TRUE(catalogue.Load(dir.Folder().c_str()));  // at once, not after four billion reads
    EXPECT_EQ(catalogue.GetCount(), 1u);
}

TEST_F(Catalog, EntriesAfterAGapInTheSectionsAreStillRead) {
    CAdRecord a = Ad(3, AD_TYPE_PICTURE, 1), b = Ad(4, AD_TYPE_PICTURE, 1);
    WriteText(Dat(), "[Flyerbank]\nVersion=1.1\nCount=3\n[AD0000]\nFile=" + a.File + "\nID=3\n[AD0002]\nFile=" +
                         b.File + "\nID=4\n");
    ASSERT_TRUE(catalogue.Load(dir.Folder().c_str()));
    EXPECT_EQ(catalogue.GetCount(), 2u);
}

TEST_F(Catalog, MissingOrUnknownVersionLoadsEmptyAndLeavesTheFile) {
    for (std::string text : {"[Flyerbank]\r\nCount=1\r\n", "[Flyerbank]\r\nVersion=1.10\r\n"}) {
        WriteText(Dat(), text);
        EXPECT_FALSE(catalogue.Load(dir.Folder().c_str()));
        EXPECT_EQ(catalogue.GetCount(), 0u);
        EXPECT_EQ(ReadText(Dat()), text);
    }
}

TEST_F(Catalog, LoadWithNoValidEntryDeletesTheFile) {
    WriteText(Dat(), "[Flyerbank]\r\nVersion=1.1\r\nCount=1\r\n[AD0000]\r\nFile=" + dir.Path("gone.jpg") + "\r\n");
    EXPECT_TRUE(catalogue.Load(dir.Folder().c_str()));
    EXPECT_FALSE(platform::Exists(Dat()));
}

TEST_F(Catalog, HostSideOperationsRefuseWhileAnUpdateRuns) {
    catalogue.Put(Ad(1, AD_TYPE_PICTURE, 1));
    CWinThread worker;
    theApp.m_pUpdateThread = &worker;
    DWORD* codes = nullptr;
    int count = 0;
    EXPECT_EQ(catalogue.GetName(1), nullptr);
    EXPECT_FALSE(catalogue.SetFavorite(1, 1));
    EXPECT_FALSE(catalogue.Remove(1));
    EXPECT_FALSE(catalogue.ListCodes(AD_TYPE_PICTURE, &codes, &count));
    EXPECT_TRUE(catalogue.Put(Ad(2, AD_TYPE_PICTURE, 2)));  // the update's own store is not guarded
    theApp.m_pUpdateThread = nullptr;
    EXPECT_EQ(messages.Ids(), (std::vector<unsigned>{20006, 20006, 20006, 20006}));
    EXPECT_TRUE(platform::Exists(dir.Path("0000001.jpg")));
}

TEST_F(Catalog, ThumbnailOfPathsWithAndWithoutDots) {
    char path[260];
    std::snprintf(path, sizeof path, "%s", dir.Path("0000123.asf").c_str());
    ThumbnailPathOf(path);
    EXPECT_STREQ(path, "");
    WriteText(dir.Path("0000123.jpg"), "t");
    std::snprintf(path, sizeof path, "%s", dir.Path("0000123.asf").c_str());
    ThumbnailPathOf(path);
    EXPECT_EQ(std::string(path), dir.Path("0000123.jpg"));
    std::snprintf(path, sizeof path, "%s", "no-dot-here");
    ThumbnailPathOf(path);
    EXPECT_STREQ(path, "");
    EXPECT_EQ(AdTypeOfExtension("JPG"), AD_TYPE_PICTURE);
    EXPECT_EQ(AdTypeOfExtension("Cab"), AD_TYPE_MOVIE);
    EXPECT_EQ(AdTypeOfExtension("gif"), AD_TYPE_NONE);
    EXPECT_EQ(AdTypeOfExtension(""), AD_TYPE_NONE);
}

}  // namespace
