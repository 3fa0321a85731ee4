// What a host meets in real use, end to end: ad folders named relatively, moved or copied, records
// naming files elsewhere, a cabinet whose movie changes its kind, the rights of the files
// made, arguments that would change the wire texts, and announced lists that went stale.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "UpdateFixture.h"

namespace {

class HostUse : public Update {
protected:
    // Restores the working folder the test moved away from.
    struct InFolder {
        explicit InFolder(const std::string& folder) {
            if (!getcwd(saved, sizeof saved)) saved[0] = '\0';
            EXPECT_EQ(chdir(folder.c_str()), 0);
        }
        ~InFolder() {
            if (saved[0]) (void)!chdir(saved);
        }
        char saved[PATH_MAX];
    };

    std::string StoredFile(uint32_t code) { return StoredRecord(Dat(), code)["File"]; }
};

TEST_F(HostUse, ARelativeAdFolderIsKeptAsAFullPath) {
    WriteManifest();
    StartServer();
    {
        InFolder in(m_parent.Path(""));
        ASSERT_EQ(flb.FLBSetFolder("./ads/../ads"), 1);
        EXPECT_EQ(Run().wParam, kDone);
        EXPECT_EQ(std::string(flb.FLBGetFileName(101)), Ad("0000101.jpg"));
        EXPECT_EQ(StoredFile(101), Ad("0000101.jpg"));
        ASSERT_EQ(flb.FLBSetFavoriteFlag(102, 1), 1);
    }
    // Loaded again from another working folder, nothing is lost.
    InFolder elsewhere("/");
    ASSERT_EQ(flb.FLBSetFolder(Ads().c_str()), 1);
    EXPECT_EQ(Listed(false), 2);
    EXPECT_EQ(Listed(true), 1);
    EXPECT_EQ(flb.FLBGetFavoriteFlag(102), 1);
    EXPECT_STREQ(flb.FLBGetName(101), kBlueSkyCp932);
}

TEST_F(HostUse, ARecordIsRepointedOnlyToItsOwnNameInTheAdFolder) {
    // One record names another ad's file name, one a name outside the table of
    // extensions: neither may borrow a file that lies in the folder.
    ASSERT_TRUE(platform::MakeDirectory(Ads() + "/sub"));
    WriteText(Ad("0000005.jpg"), "five");
    WriteText(Ad("0000006.jpg"), "six");
    WriteText(Ad("0000007.gif"), "seven");
    WriteText(Ad("0000008.png"), "eight");
    WriteText(Ad("0000004.png"), "four");
    WriteText(Dat(), CatalogueText({{5, "/gone/0000005.jpg"}, {9, "/gone/0000006.jpg"}, {7, "/gone/0000007.gif"},
                                    {8, "/gone/sub/../0000008.png"},
                                    // A folder the Windows build saved names its files the Windows way.
                                    {4, "Z:\\\x83\\\\ads\\0000004.png"}}));
    ASSERT_EQ(flb.FLBSetFolder(Ads().c_str()), 1);
    EXPECT_EQ(std::string(flb.FLBGetFileName(5)), Ad("0000005.jpg"));
    EXPECT_EQ(std::string(flb.FLBGetFileName(8)), Ad("0000008.png"));
    ASSERT_NE(flb.FLBGetFileName(4), nullptr);
    EXPECT_EQ(std::string(flb.FLBGetFileName(4)), Ad("0000004.png"));
    EXPECT_EQ(flb.FLBGetFileName(9), nullptr);
    EXPECT_EQ(flb.FLBGetFileName(7), nullptr);
    // The next save stores where the files are now.
    ASSERT_EQ(flb.FLBSetFavoriteFlag(5, 1), 1);
    EXPECT_EQ(StoredFile(5), Ad("0000005.jpg"));
    EXPECT_EQ(StoredFile(4), Ad("0000004.png"));
}

TEST_F(HostUse, ACopiedFolderIsTheOnlyHomeOfItsAdsAndTheOriginalIsNeverTouched) {
    WriteManifest();
    StartServer();
    ASSERT_EQ(Run().wParam, kDone);
    const std::string copy = m_parent.Path("copy"), dat = ReadText(Dat());
    ASSERT_EQ(std::system(("cp -a '" + Ads() + "' '" + copy + "' && rm '" + copy + "/0000102.png'").c_str()), 0);
    ASSERT_EQ(flb.FLBSetFolder(copy.c_str()), 1);
    EXPECT_EQ(std::string(flb.FLBGetFileName(101)), copy + "/0000101.jpg");
    EXPECT_EQ(std::string(flb.FLBGetThumbnail(201)), copy + "/0000201.jpg");
    EXPECT_EQ(flb.FLBGetFileName(102), nullptr);  // its file is in the original alone
    EXPECT_EQ(flb.FLBRemove(201), 1);
    EXPECT_EQ(FilesIn(copy), (std::set<std::string>{"Flyerbank.dat", "0000101.jpg"}));
    EXPECT_EQ(StoredRecord(copy + "/Flyerbank.dat", 101)["File"], copy + "/0000101.jpg");
    EXPECT_EQ(ReadText(Dat()), dat);
    ExpectHeldPicturesWhole();
    EXPECT_EQ(ReadText(Ad("0000201.asf")) + ReadText(Ad("0000201.jpg")), m_movie + m_thumb);
}

TEST_F(HostUse, ARecordThatNamesAFileOutsideTheFolderIsDroppedAndTouchesNothingThere) {
    const std::string outside = m_parent.Path("elsewhere/");
    ASSERT_TRUE(platform::MakeDirectory(outside));
    for (const char* name : {"0000001.jpg", "0000002.asf", "0000002.jpg"}) WriteText(outside + name, name);
    chmod((outside + "0000001.jpg").c_str(), 0444);
    ASSERT_EQ(symlink(outside.c_str(), Ad("link").c_str()), 0);
    // Through "..", through a link, and a path of its own.
    WriteText(Dat(), CatalogueText({{1, Ads() + "/../elsewhere/0000001.jpg"}, {3, Ad("link/0000001.jpg")},
                                    {2, outside + "0000002.asf", "movie", 1}}));
    ASSERT_EQ(flb.FLBSetFolder(Ads().c_str()), 1);
    for (uint32_t code : {1u, 2u, 3u}) {
        EXPECT_EQ(flb.FLBGetName(code), nullptr) << code;
        EXPECT_EQ(flb.FLBRemove(code), 0) << code;
    }
    EXPECT_EQ(FilesIn(outside), (std::set<std::string>{"0000001.jpg", "0000002.asf", "0000002.jpg"}));
    struct stat st;
    ASSERT_EQ(stat((outside + "0000001.jpg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0444u) << "not even made writable";
}

TEST_F(HostUse, EveryFileMadeHasTheUsualRights) {
    const mode_t old = umask(022);
    WriteManifest();
    StartServer();
    EXPECT_EQ(Run().wParam, kDone);
    ASSERT_EQ(flb.FLBSetName(101, "renamed"), 1);
    ASSERT_EQ(flb.FLBSetFolder(Ads().c_str()), 1);  // a load, and then a save
    ASSERT_EQ(flb.FLBSetName(101, "again"), 1);
    umask(old);
    for (const std::string& name : FilesIn(Ads())) {
        struct stat st;
        ASSERT_EQ(stat(Ad(name.c_str()).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0644u) << name;
    }
}

TEST_F(HostUse, TextsThatWouldChangeTheWireFormsAreRefused) {
    WriteManifest();
    StartServer();
    const std::pair<const char*, const char*> refused[] = {
        {"evil,0009999,7", "1.0"}, {"u1&CONTS_CODE_LIST=1", "1.0"}, {"tab\there", "1.0"}, {"line\nbreak", "1.0"},
        {"del\x7f", "1.0"}, {"u1", "1.0&USER_ID=x"}, {"u1", "1,0"}, {"u1", "1.0\r"}};
    for (auto [user, version] : refused) {
        SCOPED_TRACE(std::string(user) + " " + version);
        std::remove(MessageLog().c_str());
        EXPECT_EQ(flb.FLBUpdate(user, m_window.Handle(), 0, version), 0);
        EXPECT_EQ(Messages(), (std::vector<unsigned>{IDP_INVALID_ARGUMENT}));
    }
    EXPECT_TRUE(m_window.Quiet(100));
    EXPECT_EQ(ReadText(ServerLog()), "");
    // Blanks, dots, and text in code page 932 are ordinary ids.
    EXPECT_EQ(Run(0, std::string("user one.") + kBlueSkyCp932).wParam, kDone);
}

TEST_F(HostUse, TheOrderLeavesOutAdsNoLongerHeld) {
    WriteManifest(true, true);
    StartServer();
    ASSERT_EQ(Run().wParam, kDone);
    EXPECT_EQ(Order().size(), 4u);
    ASSERT_EQ(flb.FLBRemove(101), 1);
    EXPECT_EQ(Order(), (std::vector<uint32_t>{201, 102, 103}));
    ASSERT_EQ(flb.FLBRemove(201), 1);
    ASSERT_EQ(flb.FLBRemove(102), 1);
    ASSERT_EQ(flb.FLBRemove(103), 1);
    EXPECT_EQ(Order(), std::vector<uint32_t>{});
}

}  // namespace
