// The catalogue on its own: its file, its pruning, and files damaged or of other versions.
#include <gtest/gtest.h>

#include "catalogue/AdCatalog.h"
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
        CAdRecord r(code);
        r.Type = type;
        r.File = dir.Path(Code7(code) + (type == AD_TYPE_MOVIE ? ".wmv" : ".jpg"));
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

    // A file of version 1.0 is saved as 1.1 as soon as it is loaded.
    WriteText(Dat(), CatalogueText({{5, a.File}}, "1.0"));
    ASSERT_TRUE(again.Load(dir.Folder().c_str()));
    EXPECT_EQ(ReadText(Dat()).rfind("[Flyerbank]\r\nVersion=1.1\r\nCount=1\r\n[AD0000]\r\nName=n\r\n", 0), 0u);
}

TEST_F(Catalog, PruningKeepsFavouritesAndNewest) {
    // 203 pictures, the 3 oldest favourites: the 4th to 6th oldest go.
    for (DWORD i = 1; i <= 203; ++i) catalogue.Put(Ad(i, AD_TYPE_PICTURE, 1000 + i, i <= 3));
    EXPECT_EQ(catalogue.GetCount(), 200u);
    CAdRecord r;
    for (DWORD i : {1u, 2u, 3u, 7u, 203u}) EXPECT_TRUE(catalogue.Lookup(i, r)) << i;
    for (DWORD i : {4u, 5u, 6u}) {
        EXPECT_FALSE(catalogue.Lookup(i, r)) << i;
        EXPECT_FALSE(platform::Exists(dir.Path(Code7(i) + ".jpg")));
    }
    EXPECT_TRUE(messages.Ids().empty());

    // Movies of equal creation times: the lower code goes first; favourites never go.
    for (DWORD i = 1; i <= 41; ++i) catalogue.Put(Ad(1000 + i, AD_TYPE_MOVIE, 77));
    EXPECT_FALSE(catalogue.Lookup(1001, r));
    EXPECT_TRUE(catalogue.Lookup(1002, r));
    for (DWORD i = 1; i <= 45; ++i) catalogue.Put(Ad(2000 + i, AD_TYPE_MOVIE, 50, 1));
    EXPECT_EQ(catalogue.GetCount(), 245u);

    // A load prunes on its own, before any save: a file that holds 203 pictures of one age.
    TempFolder other;
    std::vector<CatalogueAd> ads;
    for (DWORD i = 1; i <= 203; ++i) {
        ads.push_back({i, other.Path(Code7(i) + ".jpg")});
        WriteText(ads.back().file, "x");
    }
    WriteText(other.Path("Flyerbank.dat"), CatalogueText(ads));
    CAdCatalog loaded;
    ASSERT_TRUE(loaded.Load(other.Folder().c_str()));
    EXPECT_EQ(loaded.GetCount(), 200u);
    for (DWORD i : {1u, 2u, 3u, 4u}) EXPECT_EQ(platform::Exists(other.Path(Code7(i) + ".jpg")), i == 4) << i;
}

// Texts read back as they were: long ones whole (though handed out cut), and ones with
// outer blanks or quotes that a reader would strip; but a link that is no web page's, as
// an older build kept it, reads back as none.
TEST_F(Catalog, TextsReadBackAsTheyWere) {
    std::string longName(300, 'n');
    longName.replace(258, 2, "\x82\xA0");  // a double-byte character across the 259-byte cut
    const std::vector<std::string> texts = {longName, " abc", "abc\t", "\"Sale\"", "'x'", "\"", "a\"b\"", " \"q\" ", "\"'"};
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
        EXPECT_EQ(back.URL, "");
    }
    EXPECT_EQ(std::string(again.GetName(1)), longName.substr(0, 258));
}

TEST_F(Catalog, DamagedFilesLoadWhatTheyHoldAtOnce) {
    enum class After { Any, Kept, Gone };
    const std::string a = Ad(3, AD_TYPE_PICTURE, 1).File, b = Ad(4, AD_TYPE_PICTURE, 1).File;
    const struct {
        std::string text;
        BOOL loads;
        size_t count;
        After file;
    } cases[] = {
        // A huge count: the sections present bound it, not four billion reads.
        {"[Flyerbank]\r\nVersion=1.1\r\nCount=4294967295\r\n[AD0000]\r\nFile=" + a + "\r\nID=3\r\nType=0\r\nSize=" +
             std::string(5000, 'o') + "\r\n",
         TRUE, 1, After::Any},
        // Entries after a gap in the sections.
        {"[Flyerbank]\nVersion=1.1\nCount=3\n[AD0000]\nFile=" + a + "\nID=3\n[AD0002]\nFile=" + b + "\nID=4\n", TRUE, 2,
         After::Any},
        // A missing or unknown version: nothing loaded, the file left as it is.
        {"[Flyerbank]\r\nCount=1\r\n", FALSE, 0, After::Kept},
        {"[Flyerbank]\r\nVersion=1.10\r\n", FALSE, 0, After::Kept},
        {"[Flyerbank]\r\nVersion=1.1\r\nCount=1\r\n[AD0000]\r\nFile=" + dir.Path("gone.jpg") + "\r\n", TRUE, 0,
         After::Gone},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 60));
        WriteText(Dat(), c.text);
        EXPECT_EQ(catalogue.Load(dir.Folder().c_str()), c.loads);
        EXPECT_EQ(catalogue.GetCount(), c.count);
        if (c.file != After::Any) {
            EXPECT_EQ(platform::Exists(Dat()), c.file == After::Kept);
            EXPECT_EQ(ReadText(Dat()), c.file == After::Kept ? c.text : "");
        }
    }
}

}  // namespace
