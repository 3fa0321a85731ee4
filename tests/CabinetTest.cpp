#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <ctime>

#include "platform/Files.h"
#include "update/Cabinet.h"
#include "CabinetBuilder.h"
#include "TestSupport.h"

namespace {

class Cabinet : public ::testing::Test {
protected:
    TempFolder dir;
    std::vector<CString> names;
    bool Unpack(const std::string& bytes) {
        WriteText(dir.Path("0000001.cab"), bytes);
        return CCabinet().Extract(dir.Path("0000001.cab").c_str(), &names);
    }
};

TEST_F(Cabinet, UnpacksMembersInOrderWithStoredTimeAndReadOnly) {
    ASSERT_TRUE(Unpack(BuildCabinet({{"a.asf", "movie"}, {"b.jpg", "thumb", 0x21 | 0x40 | 0x80}})));
    EXPECT_EQ(names, (std::vector<CString>{dir.Path("a.asf"), dir.Path("b.jpg")}));
    EXPECT_EQ(ReadText(dir.Path("a.asf")), "movie");
    struct stat a, b;
    ASSERT_EQ(stat(dir.Path("a.asf").c_str(), &a), 0);
    ASSERT_EQ(stat(dir.Path("b.jpg").c_str(), &b), 0);
    std::tm local = {};
    char stored[32];
    std::strftime(stored, sizeof stored, "%F %T", localtime_r(&a.st_mtime, &local));
    EXPECT_STREQ(stored, "2001-02-03 04:05:06");
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(a.st_mode & 0777, 0666u & ~mask);  // as any file the process makes
    EXPECT_EQ(b.st_mode & 0777, 0400u);  // read-only kept; the executable bit is not
}

TEST_F(Cabinet, ReplacesExistingFilesWholeAndNeverWritesThroughALink) {
    TempFolder outside;
    WriteText(outside.Path("victim"), "keep");
    ASSERT_EQ(symlink(outside.Path("victim").c_str(), dir.Path("a.asf").c_str()), 0);
    WriteText(dir.Path("b.jpg"), std::string(1000, 'x'));
    chmod(dir.Path("b.jpg").c_str(), 0400);
    ASSERT_TRUE(Unpack(BuildCabinet({{"a.asf", "new"}, {"b.jpg", "short"}})));
    EXPECT_EQ(ReadText(outside.Path("victim")), "keep");
    EXPECT_EQ(ReadText(dir.Path("a.asf")), "new");
    EXPECT_EQ(ReadText(dir.Path("b.jpg")), "short");
}

TEST_F(Cabinet, NamesThatLeaveTheFolderRefuseTheWholeCabinet) {
    for (const char* bad : {"../x", "..", "sub/x", "sub\\x", "/etc/x", "C:x", "\\x", ""}) {
        names.clear();
        EXPECT_FALSE(Unpack(BuildCabinet({{"ok.asf", "m"}, {bad, "t"}}))) << bad;
        EXPECT_FALSE(platform::Exists(dir.Path("ok.asf"))) << bad;
    }
    // A double-byte name whose second byte is 0x5C stays in the folder.
    EXPECT_TRUE(CCabinet::IsSafeMemberName("\x95\x5C.jpg"));
    EXPECT_FALSE(CCabinet::IsSafeMemberName("a\\\x95\x5C"));
}

TEST_F(Cabinet, NotACabinetOrNoPathGivesFalseBeforeWriting) {
    EXPECT_FALSE(Unpack("\x89PNG\r\n\x1a\n not a cabinet"));
    EXPECT_FALSE(Unpack(""));
    EXPECT_FALSE(CCabinet().Extract(nullptr, &names));
    EXPECT_FALSE(CCabinet().Extract(dir.Path("missing.cab").c_str(), &names));
    EXPECT_TRUE(names.empty());
}

}  // namespace
