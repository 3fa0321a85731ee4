// The profile layer must read and write Flyerbank.dat exactly as the Windows profile
// functions do (observed behaviour noted in the cases), so files move between the two.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/Files.h"
#include "platform/Profile.h"
#include "TestSupport.h"

namespace {

using platform::ProfileReader;
using platform::ProfileWriter;
using platform::WriteProfileString;

std::string Get(const ProfileReader& r, const char* section, const char* key, const char* def = "DEF",
                uint32_t size = 260) {
    std::vector<char> buf(size + 1, '#');
    uint32_t n = r.GetString(section, key, def, buf.data(), size);
    if (size == 0) {
        EXPECT_EQ(n, 0u);
        EXPECT_EQ(buf[0], '#') << "a buffer of size 0 must not be touched";
        return std::string();
    }
    EXPECT_LT(n, size);
    EXPECT_EQ(buf[n], '\0');
    EXPECT_EQ(std::strlen(buf.data()), n);
    EXPECT_EQ(buf[size], '#') << "wrote past the buffer";
    return std::string(buf.data(), n);
}

// Lines joined with the line end under test; the last one gets no line end.
std::string Join(const std::vector<std::string>& lines, const std::string& eol) {
    std::string text;
    for (size_t i = 0; i < lines.size(); ++i) text += lines[i] + (i + 1 < lines.size() ? eol : "");
    return text;
}

const std::vector<std::string> kSample = {
    "[Alpha]",
    "Key1=plain",
    "key2 =  spaced value  ",
    "Key13=\t tab\t",
    "Q1=\"quoted\"",
    "Q2='single'",
    "Q3=\" inner spaces \"",
    "Q4=  \"padded quotes\"  ",
    "U1=\"unbalanced",
    "U2=unbalanced\"",
    "U3=\"a\"b\"",
    "U4=\"'",
    "U5=\"",
    "E1=\"\"",
    "E2=",
    "Dup=first",
    "dup=second",
    "NoEquals",
    ";Comment=yes",
    "#Hash=yes",
    "Key10=value ; x",
    " Indented=yes",
    "",
    "[Beta",
    "AfterBeta=yes",
    "[alpha]",
    "Second=yes",
    "  [Epsilon]",
    "InEpsilon=yes",
    "[Delta] trailing",
    "InDelta=yes",
    "[ Gamma ]",
    "Last=no line end",
};

// The same file with each line end Windows reads alike.
class ProfileRead : public ::testing::TestWithParam<const char*> {
protected:
    TempFolder dir;
    std::unique_ptr<ProfileReader> reader;

    void SetUp() override {
        std::string eol = GetParam();
        std::string text = Join(kSample, eol == std::string("bom") ? "\n" : eol);
        if (eol == std::string("bom")) text = "\xEF\xBB\xBF" + text;
        WriteText(dir.Path("p.ini"), text);
        reader.reset(new ProfileReader(dir.Path("p.ini")));
    }
    std::string Get(const char* section, const char* key, uint32_t size = 260) {
        return ::Get(*reader, section, key, "DEF", size);
    }
};

INSTANTIATE_TEST_SUITE_P(LineEnds, ProfileRead, ::testing::Values("\r\n", "\n", "bom"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param) == "bom" ? "Utf8Bom"
                                    : std::string(info.param) == "\n" ? "Lf" : "CrLf";
                         });

TEST_P(ProfileRead, NamesIgnoreCaseAndQueryBlanks) {
    EXPECT_EQ(Get("alpha", "KEY1"), "plain");
    EXPECT_EQ(Get(" Alpha ", "Key1"), "plain");
    EXPECT_EQ(Get("\tALPHA", " key1\t"), "plain");
    EXPECT_EQ(Get("Alpha", "KEY2"), "spaced value");
    EXPECT_EQ(Get("Alph", "Key1"), "DEF");
    EXPECT_EQ(Get("Alpha", "Key"), "DEF");
}

TEST_P(ProfileRead, ValuesLoseOuterBlanksAndOnePairOfQuotes) {
    EXPECT_EQ(Get("Alpha", "key2"), "spaced value");
    EXPECT_EQ(Get("Alpha", "Key13"), "tab");
    EXPECT_EQ(Get("Alpha", "Q1"), "quoted");
    EXPECT_EQ(Get("Alpha", "Q2"), "single");
    EXPECT_EQ(Get("Alpha", "Q3"), " inner spaces ");
    EXPECT_EQ(Get("Alpha", "Q4"), "padded quotes");
    EXPECT_EQ(Get("Alpha", "U1"), "\"unbalanced");
    EXPECT_EQ(Get("Alpha", "U2"), "unbalanced\"");
    EXPECT_EQ(Get("Alpha", "U3"), "a\"b");
    EXPECT_EQ(Get("Alpha", "U4"), "\"'");
    EXPECT_EQ(Get("Alpha", "U5"), "\"");
}

TEST_P(ProfileRead, EmptyValuesAreFoundNotDefaulted) {
    std::vector<char> buf(8, '#');
    EXPECT_EQ(reader->GetString("Alpha", "E1", "DEF", buf.data(), 8), 0u);
    EXPECT_STREQ(buf.data(), "");
    EXPECT_EQ(reader->GetString("Alpha", "E2", "DEF", buf.data(), 8), 0u);
    EXPECT_STREQ(buf.data(), "");
    std::string full = "x";
    EXPECT_TRUE(reader->GetFullString("Alpha", "E1", full));
    EXPECT_EQ(full, "");
}

TEST_P(ProfileRead, FirstKeyAndFirstSectionWin) {
    EXPECT_EQ(Get("Alpha", "DUP"), "first");
    EXPECT_EQ(Get("ALPHA", "Second"), "DEF");
}

TEST_P(ProfileRead, OnlyLinesWithEqualsAreKeys) {
    EXPECT_EQ(Get("Alpha", "NoEquals"), "DEF");
    EXPECT_EQ(Get("Alpha", "Comment"), "DEF");
    EXPECT_EQ(Get("Alpha", ";Comment"), "yes");
    EXPECT_EQ(Get("Alpha", "#Hash"), "yes");
    EXPECT_EQ(Get("Alpha", "Key10"), "value ; x");
}

TEST_P(ProfileRead, HeadersNeedOnlyAnOpeningAndAClosingBracket) {
    EXPECT_EQ(Get("Alpha", "Indented"), "yes");
    EXPECT_EQ(Get("Epsilon", "InEpsilon"), "yes");
    EXPECT_EQ(Get("Delta", "InDelta"), "yes");
    EXPECT_EQ(Get("Gamma", "Last"), "no line end");
    // "[Beta" opens nothing, so what follows still belongs to Alpha.
    EXPECT_EQ(Get("Beta", "AfterBeta"), "DEF");
    EXPECT_EQ(Get("[Beta", "AfterBeta"), "DEF");
    EXPECT_EQ(Get("Alpha", "AfterBeta"), "yes");
    EXPECT_EQ(reader->SectionCount(), 5u);
    EXPECT_EQ(reader->SectionNames(), (std::vector<std::string>{"Alpha", "alpha", "Epsilon", "Delta", "Gamma"}));
}

TEST_P(ProfileRead, ResultIsCutToTheBuffer) {
    EXPECT_EQ(Get("Alpha", "Q1", 4), "quo");
    EXPECT_EQ(Get("Alpha", "Key1", 3), "pl");
    EXPECT_EQ(Get("Alpha", "Key1", 1), "");
    EXPECT_EQ(Get("Alpha", "Key1", 0), "");
    EXPECT_EQ(Get("Alpha", "Key1", 6), "plain");
    EXPECT_EQ(Get("Alpha", "Key1", 5), "plai");
}

TEST_P(ProfileRead, DefaultLosesTrailingBlanksAndIsCutToo) {
    EXPECT_EQ(::Get(*reader, "Alpha", "Missing", "  def with blanks  "), "  def with blanks");
    EXPECT_EQ(::Get(*reader, "Missing", "Key1", "  def with blanks  "), "  def with blanks");
    EXPECT_EQ(::Get(*reader, "Alpha", "Missing", nullptr), "");
    EXPECT_EQ(::Get(*reader, "Alpha", "Missing", "default", 4), "def");
    EXPECT_EQ(::Get(*reader, "Alpha", "Missing", "   "), "");
}

TEST_P(ProfileRead, FullStringIsUncutAndTellsMissingApart) {
    std::string v;
    EXPECT_TRUE(reader->GetFullString("alpha", "q4", v));
    EXPECT_EQ(v, "padded quotes");
    v = "stale";
    EXPECT_FALSE(reader->GetFullString("Alpha", "Missing", v));
    EXPECT_EQ(v, "");
    EXPECT_FALSE(reader->GetFullString("Alpha", nullptr, v));
    EXPECT_FALSE(reader->GetFullString(nullptr, "Key1", v));
}

TEST(ProfileReadLimits, LongValuesAreCutAtTheBufferOnly) {
    TempFolder dir;
    const std::string value(300, 'v');
    WriteText(dir.Path("p.ini"), "[S]\r\nLong=" + value + "\r\n");
    ProfileReader r(dir.Path("p.ini"));
    EXPECT_EQ(Get(r, "S", "Long", "DEF", 260), value.substr(0, 259));
    EXPECT_EQ(Get(r, "S", "Long", "DEF", 301), value);
    EXPECT_EQ(Get(r, "S", "Long", "DEF", 400), value);
    std::string full;
    ASSERT_TRUE(r.GetFullString("S", "Long", full));
    EXPECT_EQ(full, value);
}

TEST(ProfileReadLimits, HugeLinesAndFilesWithoutLineEnds) {
    TempFolder dir;
    const std::string value(3 << 20, 'h');
    WriteText(dir.Path("p.ini"), "[S]\nBig=" + value + "\n[" + std::string(100000, 'n'));
    ProfileReader r(dir.Path("p.ini"));
    std::string full;
    ASSERT_TRUE(r.GetFullString("S", "Big", full));
    EXPECT_EQ(full.size(), value.size());
    EXPECT_EQ(r.SectionCount(), 1u);
}

TEST(ProfileReadLimits, NulBytesEndTheirLine) {
    TempFolder dir;
    static const char text[] = "[S]\r\nK=ab\0cd\r\n[T\0]\r\nL=x\r\n\0\0\0\r\nM=y";
    WriteText(dir.Path("p.ini"), std::string(text, sizeof text - 1));
    ProfileReader r(dir.Path("p.ini"));
    EXPECT_EQ(Get(r, "S", "K"), "ab");
    std::string full;
    ASSERT_TRUE(r.GetFullString("S", "K", full));
    EXPECT_EQ(full, "ab");
    EXPECT_EQ(Get(r, "T", "L"), "DEF");
    EXPECT_EQ(Get(r, "S", "L"), "x");
    EXPECT_EQ(Get(r, "S", "M"), "y");
}

TEST(ProfileReadLimits, CodePageBytesAreKeptAndComparedExactly) {
    TempFolder dir;
    // cp932 text whose second bytes include "\" and "|": no byte may be taken apart.
    const std::string text = "\x83\x5c\x83\x74\x83\x67\x7c";
    WriteText(dir.Path("p.ini"), "[\xC4" "bc]\r\nName=" + text + "\r\n\x82\xa0=\xff\xfe\r\n");
    ProfileReader r(dir.Path("p.ini"));
    EXPECT_EQ(Get(r, "\xC4" "BC", "name"), text);
    EXPECT_EQ(Get(r, "\xE4" "bc", "Name"), "DEF");
    EXPECT_EQ(Get(r, "\xC4" "bc", "\x82\xa0"), "\xff\xfe");
    EXPECT_EQ(Get(r, "\xC4" "bc", "\x82\x80"), "DEF");
}

TEST(ProfileReadLimits, MissingOrUnreadableFileReadsAsEmpty) {
    TempFolder dir;
    // Nothing writes into the FIFO: reading it would wait for ever.
    ASSERT_EQ(mkfifo(dir.Path("fifo").c_str(), 0600), 0);
    for (std::string path : {dir.Path("none.ini"), dir.Path("no/such/folder.ini"), dir.Path(""), std::string(),
                             dir.Path("fifo")}) {
        ProfileReader r(path);
        EXPECT_EQ(Get(r, "S", "K"), "DEF") << path;
        EXPECT_EQ(r.GetInt("S", "K", -1), 4294967295u);
        EXPECT_EQ(r.SectionCount(), 0u);
        EXPECT_TRUE(r.SectionNames().empty());
    }
}

TEST(ProfileReadLimits, KeysBeforeAnySectionBelongToNone) {
    TempFolder dir;
    WriteText(dir.Path("p.ini"), "Loose=1\r\n[]\r\nEmpty=2\r\n");
    ProfileReader r(dir.Path("p.ini"));
    EXPECT_EQ(Get(r, "", "Loose"), "DEF");
    EXPECT_EQ(Get(r, "", "Empty"), "2");
    EXPECT_EQ(r.SectionCount(), 1u);
}

// Results of GetPrivateProfileIntA for the stored value, default 77.
TEST(ProfileInt, MatchesTheWindowsConversion) {
    struct Case {
        const char* value;
        uint32_t result;
    };
    const Case cases[] = {
        // Leading number only, one sign, decimal even with leading zeros.
        {"12abc", 12}, {"+5", 5}, {"007", 7}, {"010", 10}, {"09", 9},
        {"1.9", 1}, {"1e3", 1}, {"3 4", 3}, {"\" 7\"", 7}, {"\"42\"", 42}, {"'7'", 7},
        // Wrapping modulo 2^32 in both directions.
        {"-3", 4294967293u}, {"4294967295", 4294967295u}, {"4294967296", 0}, {"99999999999", 1215752191u},
        {"2147483648", 2147483648u}, {"-2147483649", 2147483647u},
        // Hex only behind a lower-case "0x".
        {"0x10", 16}, {"-0x10", 4294967280u}, {"0X1f", 0}, {"0x", 0}, {"0xZ", 0}, {"0x100000000", 0},
        {"0xffffffff", 4294967295u},
        // No number at all is 0, not the default.
        {"+-3", 0}, {"- 3", 0}, {"abc", 0}, {"-", 0}, {"\" \"", 0},
        // Nothing stored is the default.
        {"", 77}, {"   ", 77}, {"\"\"", 77}, {"''", 77},
    };
    TempFolder dir;
    std::string text = "[Int]\r\n";
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
        text += "K" + std::to_string(i) + "=" + cases[i].value + "\r\n";
    WriteText(dir.Path("p.ini"), text);
    ProfileReader r(dir.Path("p.ini"));
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
        EXPECT_EQ(r.GetInt("int", ("K" + std::to_string(i)).c_str(), 77), cases[i].result)
            << "value [" << cases[i].value << "]";
    EXPECT_EQ(r.GetInt("Int", "Missing", 77), 77u);
    EXPECT_EQ(r.GetInt("Int", "Missing", -2), 4294967294u);
    EXPECT_EQ(r.GetInt("Other", "K0", 5), 5u);
}

class ProfileWrite : public ::testing::Test {
protected:
    TempFolder dir;
    std::string path = dir.Path("p.ini");

    void Write(const char* section, const char* key, const char* value) {
        ASSERT_TRUE(WriteProfileString(section, key, value, path));
        EXPECT_FALSE(platform::Exists(path + ".tmp"));
    }
};

// A file as it lies, the writes made to it, and the file they leave.
TEST_F(ProfileWrite, EachWriteLeavesTheFileTheWindowsCallWould) {
    struct Step {
        const char *section, *key, *value;
    };
    const struct {
        const char* name;
        std::string before;
        std::vector<Step> writes;
        std::string after;
    } cases[] = {
        {"a new file is CRLF without BOM or outer blanks", "",
         {{"Section", "Key", "  value  "}, {"Section", "Quoted", "\" kept \""}, {"Other", " Spaced ", "x"}},
         "[Section]\r\nKey=value\r\nQuoted=\" kept \"\r\n[Other]\r\nSpaced=x\r\n"},
        {"new keys go to the end of their section", "[A]\r\nOne=1\r\n;note\r\n[B]\r\nTwo=2\r\n",
         {{"a", "Three", "3"}, {"C", "Four", "4"}},
         "[A]\r\nOne=1\r\n;note\r\nThree=3\r\n[B]\r\nTwo=2\r\n[C]\r\nFour=4\r\n"},
        {"an existing key is replaced in place, keeping its spelling",
         "[MixedCase]\r\nMyKey=1\r\nOther=2\r\n[mixedcase]\r\nMyKey=old\r\n", {{"MIXEDCASE", "mykey", "9"}},
         "[MixedCase]\r\nMyKey=9\r\nOther=2\r\n[mixedcase]\r\nMyKey=old\r\n"},
        {"an existing key loses the value's outer blanks", "[A]\r\nK=1\r\n", {{"A", "K", "  two  "}}, "[A]\r\nK=two\r\n"},
        {"any write normalises the whole file",
         "\xEF\xBB\xBF" "Loose = 0\n\n  [ Gamma ]  tail\n  key  =  v  \n\n;c = d\nplain line \n\tx=1\n[Beta\nb=2",
         {{"Gamma", "y", "2"}}, "Loose=0\r\n[Gamma]\r\nkey=v\r\n;c=d\r\nplain line\r\nx=1\r\n[Beta\r\nb=2\r\ny=2\r\n"},
        {"a null value removes the key and a null key the section",
         "[A]\r\nK=1\r\nL=2\r\n[B]\r\nK=3\r\n[a]\r\nM=4\r\n", {{"A", "k", nullptr}, {"a", nullptr, nullptr}},
         "[B]\r\nK=3\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.before.empty()) std::remove(path.c_str());
        else WriteText(path, c.before);
        for (const Step& w : c.writes) Write(w.section, w.key, w.value);
        EXPECT_EQ(ReadText(path), c.after);
    }
    WriteText(path, "[S]\r\nQ=\" kept \"\r\n");
    EXPECT_EQ(Get(ProfileReader(path), "S", "Q"), " kept ");
}

TEST_F(ProfileWrite, RemovingFromAMissingFileCreatesNothing) {
    Write("A", "K", nullptr);
    Write("A", nullptr, nullptr);
    EXPECT_FALSE(platform::Exists(path));
}

TEST_F(ProfileWrite, RefusesWhatWouldBreakTheFile) {
    WriteText(path, "[A]\r\nK=1\r\n");
    EXPECT_FALSE(WriteProfileString("A", "K", "two\r\n[B]", path));
    EXPECT_FALSE(WriteProfileString("A", "K\n", "2", path));
    EXPECT_FALSE(WriteProfileString("A]\n", "K", "2", path));
    EXPECT_FALSE(WriteProfileString(nullptr, "K", "2", path));
    EXPECT_EQ(ReadText(path), "[A]\r\nK=1\r\n");
}

TEST_F(ProfileWrite, AnUnreadableFileIsNotReplaced) {
    // A socket cannot be opened even by root, yet a rename would replace it.
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof addr.sun_path);
    std::strcpy(addr.sun_path, path.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_FALSE(WriteProfileString("A", "K", "1", path));
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_FALSE(platform::Exists(path + ".tmp"));
    close(fd);

    const std::string fifo = dir.Path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(WriteProfileString("A", "K", "1", fifo));
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST_F(ProfileWrite, ReplacedFileKeepsItsAccessRights) {
    WriteText(path, "[A]\r\nK=1\r\n");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    Write("A", "K", "2");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ProfileWriter w(path);
    ASSERT_TRUE(w.Write("A", "K", "3"));
    ASSERT_TRUE(w.Commit());
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(ProfileWriterSession, BuildsANewFileInWriteOrder) {
    TempFolder dir;
    const std::string path = dir.Path("p.ini");
    WriteText(path, "[Old]\r\nGone=1\r\n");
    ProfileWriter w(path);
    EXPECT_TRUE(w.Write("Head", "Version", "1.1"));
    EXPECT_TRUE(w.Write("Head", "Count", "2"));
    EXPECT_TRUE(w.Write("AD0000", "Name", " first "));
    EXPECT_TRUE(w.Write("AD0001", "Name", "second"));
    EXPECT_TRUE(w.Write("head", "COUNT", "3"));
    EXPECT_TRUE(w.Write("AD0000", "Drop", "x"));
    EXPECT_TRUE(w.Write("AD0000", "drop", nullptr));
    EXPECT_TRUE(w.Write("Temp", "K", "v"));
    EXPECT_TRUE(w.Write("TEMP", nullptr, nullptr));
    EXPECT_FALSE(w.Write("AD0001", "URL", "a\nb"));
    EXPECT_FALSE(w.Write(nullptr, "K", "v"));
    ASSERT_TRUE(w.Commit());
    EXPECT_EQ(ReadText(path), "[Head]\r\nVersion=1.1\r\nCount=3\r\n[AD0000]\r\nName=first\r\n[AD0001]\r\nName=second\r\n");
    EXPECT_FALSE(platform::Exists(path + ".tmp"));
}

TEST(ProfileWriterSession, NothingChangesWithoutCommit) {
    TempFolder dir;
    const std::string path = dir.Path("p.ini");
    WriteText(path, "[Old]\r\nKept=1\r\n");
    {
        ProfileWriter w(path);
        EXPECT_TRUE(w.Write("New", "K", "v"));
    }
    EXPECT_EQ(ReadText(path), "[Old]\r\nKept=1\r\n");
    EXPECT_FALSE(platform::Exists(path + ".tmp"));
    {
        ProfileWriter w(dir.Path("fresh.ini"));
        EXPECT_TRUE(w.Write("New", "K", "v"));
    }
    EXPECT_FALSE(platform::Exists(dir.Path("fresh.ini")));
}

TEST(ProfileWriterSession, FailedCommitLeavesNothingBehind) {
    TempFolder dir;
    {
        ProfileWriter w(dir.Path("missing/p.ini"));
        EXPECT_TRUE(w.Write("S", "K", "v"));
        EXPECT_FALSE(w.Commit());
        EXPECT_FALSE(platform::Exists(dir.Path("missing")));
    }
    // The temp file is written, but the rename onto a folder fails.
    const std::string path = dir.Path("busy");
    ASSERT_TRUE(platform::MakeDirectory(path));
    WriteText(path + "/inside", "x");
    ProfileWriter w(path);
    EXPECT_TRUE(w.Write("S", "K", "v"));
    EXPECT_FALSE(w.Commit());
    EXPECT_FALSE(platform::Exists(path + ".tmp"));
    EXPECT_EQ(ReadText(path + "/inside"), "x");
}

TEST(ProfileWriterSession, StaleTempFileOrLinkIsNotWrittenThrough) {
    TempFolder dir;
    const std::string path = dir.Path("p.ini");
    WriteText(dir.Path("victim"), "untouched");
    // Links under every name this process could pick for its next writes.
    for (unsigned serial = 0; serial < 50; ++serial) {
        const std::string name = path + "." + std::to_string(getpid()) + "-" + std::to_string(serial) + ".tmp";
        ASSERT_EQ(symlink(dir.Path("victim").c_str(), name.c_str()), 0);
    }
    for (int i = 0; i < 3; ++i) {
        ProfileWriter w(path);
        EXPECT_TRUE(w.Write("S", "K", std::to_string(i).c_str()));
        ASSERT_TRUE(w.Commit());
        EXPECT_EQ(ReadText(path), "[S]\r\nK=" + std::to_string(i) + "\r\n");
        EXPECT_EQ(w.CommittedText(), ReadText(path));
    }
    EXPECT_EQ(ReadText(dir.Path("victim")), "untouched");
}

TEST(ProfileWriterSession, WritersInParallelNeverTakeEachOthersFile) {
    TempFolder dir;
    const std::string path = dir.Path("p.ini");
    std::vector<std::thread> writers;
    std::atomic<int> failed{0};
    for (int t = 0; t < 8; ++t)
        writers.emplace_back([&, t] {
            const std::string value(1000 + t, static_cast<char>('a' + t));
            for (int i = 0; i < 50; ++i) {
                ProfileWriter w(path);
                w.Write("S", "K", value.c_str());
                if (!w.Commit()) ++failed;
            }
        });
    bool whole = true;
    for (int i = 0; i < 200; ++i) {
        const std::string text = ReadText(path);
        if (!text.empty() && (text.size() < 1000 || text.compare(text.size() - 2, 2, "\r\n") != 0)) whole = false;
    }
    for (std::thread& w : writers) w.join();
    EXPECT_EQ(failed, 0);
    EXPECT_TRUE(whole);
    DIR* d = opendir(dir.Path("").c_str());
    int entries = 0;
    while (dirent* e = readdir(d)) entries += e->d_name[0] != '.';
    closedir(d);
    EXPECT_EQ(entries, 1);  // no temporary file left behind
}

TEST(ProfileWriterSession, EmptySessionCommitsAnEmptyFile) {
    TempFolder dir;
    const std::string path = dir.Path("p.ini");
    WriteText(path, "[Old]\r\nK=1\r\n");
    ProfileWriter w(path);
    ASSERT_TRUE(w.Commit());
    EXPECT_EQ(ReadText(path), "");
}

TEST(ProfileWriterSession, WhatIsWrittenReadsBack) {
    TempFolder dir;
    const std::string path = dir.Path("p.ini");
    const std::vector<std::string> values = {"plain", "\"quoted\"", "'x'", "a=b=c", "; not a comment", "[x]",
                                             "\x83\x5c\x95\x5c", std::string(1000, 'L'), "", "0x1F"};
    ProfileWriter w(path);
    for (size_t i = 0; i < values.size(); ++i)
        ASSERT_TRUE(w.Write(("S" + std::to_string(i % 3)).c_str(), ("K" + std::to_string(i)).c_str(),
                            values[i].c_str()));
    ASSERT_TRUE(w.Commit());
    ProfileReader r(path);
    EXPECT_EQ(r.SectionCount(), 3u);
    const std::vector<std::string> expected = {"plain", "quoted", "x", "a=b=c", "; not a comment", "[x]",
                                               "\x83\x5c\x95\x5c", std::string(1000, 'L'), "", "0x1F"};
    for (size_t i = 0; i < values.size(); ++i) {
        std::string v;
        ASSERT_TRUE(r.GetFullString(("s" + std::to_string(i % 3)).c_str(), ("k" + std::to_string(i)).c_str(), v));
        EXPECT_EQ(v, expected[i]) << i;
    }
}

TEST(ProfileWriterSession, SectionNamesWithBracketsReadBack) {
    TempFolder dir;
    const std::string path = dir.Path("p.ini");
    ProfileWriter w(path);
    ASSERT_TRUE(w.Write("a]b", "K", "1"));
    ASSERT_TRUE(w.Write("[c]", "K", "2"));
    ASSERT_TRUE(w.Commit());
    ProfileReader r(path);
    EXPECT_EQ(r.SectionNames(), (std::vector<std::string>{"a]b", "[c]"}));
    EXPECT_EQ(Get(r, "A]B", "k"), "1");
    EXPECT_EQ(Get(r, "[c]", "k"), "2");
}

// Sections with many keys are looked up another way than small ones; both must agree.
TEST(ProfileWriterSession, LargeSectionsKeepTheRules) {
    TempFolder dir;
    const std::string path = dir.Path("p.ini");
    std::string text = "[Big]\r\n";
    for (int i = 0; i < 100; ++i) text += "Key" + std::to_string(i) + "=" + std::to_string(i) + "\r\n";
    text += "KEY7=late\r\n";
    WriteText(path, text);
    {
        ProfileReader r(path);
        EXPECT_EQ(Get(r, "big", "key7"), "7");
        EXPECT_EQ(Get(r, "big", "key99"), "99");
        EXPECT_EQ(Get(r, "big", "key100"), "DEF");
    }
    ASSERT_TRUE(WriteProfileString("BIG", "kEy7", "seven", path));
    ASSERT_TRUE(WriteProfileString("Big", "Key3", nullptr, path));
    ASSERT_TRUE(WriteProfileString("Big", "New", "n", path));
    std::string after = ReadText(path);
    EXPECT_NE(after.find("\r\nKey6=6\r\nKey7=seven\r\nKey8=8\r\n"), std::string::npos);
    EXPECT_NE(after.find("\r\nKey2=2\r\nKey4=4\r\n"), std::string::npos);
    const std::string tail = "KEY7=late\r\nNew=n\r\n";
    EXPECT_EQ(after.rfind(tail), after.size() - tail.size());
    ProfileReader r(path);
    EXPECT_EQ(Get(r, "Big", "Key7"), "seven");
    EXPECT_EQ(Get(r, "Big", "Key3"), "DEF");
    EXPECT_EQ(Get(r, "Big", "Key4"), "4");

    // A session growing one section past the size where lookups change.
    ProfileWriter w(path);
    for (int i = 0; i < 60; ++i) ASSERT_TRUE(w.Write("S", ("K" + std::to_string(i)).c_str(), "a"));
    for (int i = 0; i < 60; i += 2) ASSERT_TRUE(w.Write("s", ("k" + std::to_string(i)).c_str(), "b"));
    ASSERT_TRUE(w.Write("S", "k0", nullptr));
    ASSERT_TRUE(w.Write("S", "K58", "c"));
    ASSERT_TRUE(w.Commit());
    ProfileReader back(path);
    EXPECT_EQ(Get(back, "S", "K0"), "DEF");
    for (int i = 1; i < 60; ++i)
        EXPECT_EQ(Get(back, "S", ("K" + std::to_string(i)).c_str()), i == 58 ? "c" : i % 2 ? "a" : "b") << i;
    const std::string written = ReadText(path);
    EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 60) << "one header and 59 keys";
}

}  // namespace
