// The profile layer must read and write Flyerbank.dat exactly as the Windows profile
// functions do (observed behaviour noted in the cases), so files move between the two.
#include <gtest/gtest.h>
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

const std::string kLong(300, 'v');
// cp932 text whose second bytes include "\" and "|": no byte may be taken apart.
const std::string kCp932 = "\x83\x5c\x83\x74\x83\x67\x7c";

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
    "Long=" + kLong,
    "",
    "[Beta",
    "AfterBeta=yes",
    "[alpha]",
    "Second=yes",
    "[\xC4" "bc]",
    "Name=" + kCp932,
    "\x82\xa0=\xff\xfe",
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
        const bool bom = GetParam() == std::string("bom");
        const std::string eol = bom ? "\n" : GetParam();
        std::string text = bom ? "\xEF\xBB\xBF" : "";
        for (const std::string& line : kSample) text += line + eol;
        text.resize(text.size() - eol.size());  // the last line has no line end
        WriteText(dir.Path("p.ini"), text);
        reader.reset(new ProfileReader(dir.Path("p.ini")));
    }
};

INSTANTIATE_TEST_SUITE_P(LineEnds, ProfileRead, ::testing::Values("\r\n", "\n", "bom"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param) == "bom" ? "Utf8Bom"
                                    : std::string(info.param) == "\n" ? "Lf" : "CrLf";
                         });

TEST_P(ProfileRead, EachLookupGivesWhatWindowsGives) {
    const struct {
        const char *section, *key;
        std::string expected;
        uint32_t size = 260;
        const char* def = "DEF";
    } cases[] = {
        // Names ignore case and the blanks around them in the query; bytes above 0x7F
        // are compared exactly.
        {"alpha", "KEY1", "plain"}, {" Alpha ", "Key1", "plain"}, {"\tALPHA", " key1\t", "plain"},
        {"Alph", "Key1", "DEF"}, {"Alpha", "Key", "DEF"}, {"\xC4" "BC", "name", kCp932},
        {"\xE4" "bc", "Name", "DEF"}, {"\xC4" "bc", "\x82\xa0", "\xff\xfe"}, {"\xC4" "bc", "\x82\x80", "DEF"},
        // Values lose their outer blanks and one pair of quotes; empty ones are found.
        {"Alpha", "KEY2", "spaced value"}, {"Alpha", "Key13", "tab"}, {"Alpha", "Q1", "quoted"},
        {"Alpha", "Q2", "single"}, {"Alpha", "Q3", " inner spaces "}, {"Alpha", "Q4", "padded quotes"},
        {"Alpha", "U1", "\"unbalanced"}, {"Alpha", "U2", "unbalanced\""}, {"Alpha", "U3", "a\"b"},
        {"Alpha", "U4", "\"'"}, {"Alpha", "U5", "\""}, {"Alpha", "E1", ""}, {"Alpha", "E2", ""},
        // The first key and the first section of a name win.
        {"Alpha", "DUP", "first"}, {"ALPHA", "Second", "DEF"},
        // Only lines with "=" are keys; nothing is a comment.
        {"Alpha", "NoEquals", "DEF"}, {"Alpha", "Comment", "DEF"}, {"Alpha", ";Comment", "yes"},
        {"Alpha", "#Hash", "yes"}, {"Alpha", "Key10", "value ; x"},
        // A header needs only an opening and a closing bracket; "[Beta" opens nothing.
        {"Alpha", "Indented", "yes"}, {"Epsilon", "InEpsilon", "yes"}, {"Delta", "InDelta", "yes"},
        {"Gamma", "Last", "no line end"}, {"Beta", "AfterBeta", "DEF"}, {"[Beta", "AfterBeta", "DEF"},
        {"Alpha", "AfterBeta", "yes"},
        // The result is cut to the buffer, and only there.
        {"Alpha", "Q1", "quo", 4}, {"Alpha", "Key1", "pl", 3}, {"Alpha", "Key1", "", 1}, {"Alpha", "Key1", "", 0},
        {"Alpha", "Key1", "plain", 6}, {"Alpha", "Key1", "plai", 5}, {"Alpha", "Long", kLong.substr(0, 259)},
        {"Alpha", "Long", kLong, 301}, {"Alpha", "Long", kLong, 400},
        // The default loses its trailing blanks and is cut too.
        {"Alpha", "Missing", "  def with blanks", 260, "  def with blanks  "},
        {"Missing", "Key1", "  def with blanks", 260, "  def with blanks  "}, {"Alpha", "Missing", "", 260, nullptr},
        {"Alpha", "Missing", "def", 4, "default"}, {"Alpha", "Missing", "", 260, "   "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.section) + " " + c.key + " " + std::to_string(c.size));
        EXPECT_EQ(Get(*reader, c.section, c.key, c.def, c.size), c.expected);
    }
    EXPECT_EQ(reader->SectionCount(), 6u);
    EXPECT_EQ(reader->SectionNames(),
              (std::vector<std::string>{"Alpha", "alpha", "\xC4" "bc", "Epsilon", "Delta", "Gamma"}));
}

TEST_P(ProfileRead, FullStringIsUncutAndTellsMissingApart) {
    std::string v;
    EXPECT_TRUE(reader->GetFullString("alpha", "q4", v));
    EXPECT_EQ(v, "padded quotes");
    EXPECT_TRUE(reader->GetFullString("Alpha", "Long", v));
    EXPECT_EQ(v, kLong);
    EXPECT_TRUE(reader->GetFullString("Alpha", "E1", v));
    EXPECT_EQ(v, "");
    v = "stale";
    EXPECT_FALSE(reader->GetFullString("Alpha", "Missing", v));
    EXPECT_EQ(v, "");
    EXPECT_FALSE(reader->GetFullString("Alpha", nullptr, v));
    EXPECT_FALSE(reader->GetFullString(nullptr, "Key1", v));
}

// Files no writer of ours makes: NUL bytes end their line, keys before any header belong
// to no section (not even the empty one), and a huge line or a file whose last line never
// ends reads whole.
TEST(ProfileReadLimits, OddFilesReadAsWindowsReadsThem) {
    static const char nul[] = "[S]\r\nK=ab\0cd\r\n[T\0]\r\nL=x\r\n\0\0\0\r\nM=y";
    const std::string huge(3 << 20, 'h');
    const struct {
        std::string text;
        std::vector<std::pair<const char*, const char*>> sectionAndKey;
        std::vector<const char*> values;  // nullptr: not found
    } files[] = {
        {std::string(nul, sizeof nul - 1), {{"S", "K"}, {"T", "L"}, {"S", "L"}, {"S", "M"}}, {"ab", nullptr, "x", "y"}},
        {"Loose=1\r\n[]\r\nEmpty=2\r\n", {{"", "Loose"}, {"", "Empty"}}, {nullptr, "2"}},
        {"[S]\nBig=" + huge + "\n[" + std::string(100000, 'n'), {{"S", "Big"}}, {huge.c_str()}},
    };
    for (const auto& f : files) {
        TempFolder dir;
        WriteText(dir.Path("p.ini"), f.text);
        ProfileReader r(dir.Path("p.ini"));
        EXPECT_EQ(r.SectionCount(), 1u);
        for (size_t i = 0; i < f.values.size(); ++i) {
            std::string v;
            EXPECT_EQ(r.GetFullString(f.sectionAndKey[i].first, f.sectionAndKey[i].second, v), f.values[i] != nullptr);
            EXPECT_TRUE(v == (f.values[i] ? f.values[i] : "")) << f.sectionAndKey[i].second;
        }
    }
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
    const std::string fifo = dir.Path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& file : {path, fifo}) {
        EXPECT_FALSE(WriteProfileString("A", "K", "1", file)) << file;
        struct stat st;
        ASSERT_EQ(lstat(file.c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode) || S_ISFIFO(st.st_mode)) << file;
    }
    EXPECT_EQ(FilesIn(dir.Folder()), (std::set<std::string>{"p.ini", "fifo"}));
    close(fd);
}

TEST_F(ProfileWrite, ReplacedFileKeepsItsAccessRights) {
    WriteText(path, "[A]\r\nK=1\r\n");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    Write("A", "K", "2");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// A session replaces the whole file with what it was given, in the order given.
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
    ProfileWriter empty(path);
    ASSERT_TRUE(empty.Commit());
    EXPECT_EQ(ReadText(path), "");
}

TEST(ProfileWriterSession, NothingChangesWithoutCommit) {
    TempFolder dir;
    const std::string path = dir.Path("p.ini");
    WriteText(path, "[Old]\r\nKept=1\r\n");
    for (const std::string& file : {path, dir.Path("fresh.ini")}) {
        ProfileWriter w(file);
        EXPECT_TRUE(w.Write("New", "K", "v"));
    }
    EXPECT_EQ(ReadText(path), "[Old]\r\nKept=1\r\n");
    EXPECT_EQ(FilesIn(dir.Folder()), std::set<std::string>{"p.ini"});
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
    EXPECT_EQ(FilesIn(dir.Folder()), std::set<std::string>{"p.ini"}) << "no temporary file left behind";
}

TEST(ProfileWriterSession, WhatIsWrittenReadsBack) {
    TempFolder dir;
    const std::string path = dir.Path("p.ini");
    const std::pair<std::string, std::string> values[] = {
        {"plain", "plain"}, {"\"quoted\"", "quoted"}, {"'x'", "x"}, {"a=b=c", "a=b=c"},
        {"; not a comment", "; not a comment"}, {"[x]", "[x]"}, {"\x83\x5c\x95\x5c", "\x83\x5c\x95\x5c"},
        {std::string(1000, 'L'), std::string(1000, 'L')}, {"", ""}, {"0x1F", "0x1F"},
    };
    ProfileWriter w(path);
    for (size_t i = 0; i < std::size(values); ++i)
        ASSERT_TRUE(w.Write(("S" + std::to_string(i % 3)).c_str(), ("K" + std::to_string(i)).c_str(),
                            values[i].first.c_str()));
    // Brackets in a section's name are its own.
    ASSERT_TRUE(w.Write("a]b", "K", "1"));
    ASSERT_TRUE(w.Write("[c]", "K", "2"));
    ASSERT_TRUE(w.Commit());
    ProfileReader r(path);
    EXPECT_EQ(r.SectionNames(), (std::vector<std::string>{"S0", "S1", "S2", "a]b", "[c]"}));
    for (size_t i = 0; i < std::size(values); ++i) {
        std::string v;
        ASSERT_TRUE(r.GetFullString(("s" + std::to_string(i % 3)).c_str(), ("k" + std::to_string(i)).c_str(), v));
        EXPECT_EQ(v, values[i].second) << i;
    }
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
    EXPECT_EQ(Get(ProfileReader(path), "big", "key7"), "7");
    EXPECT_EQ(Get(ProfileReader(path), "big", "key100"), "DEF");
    ASSERT_TRUE(WriteProfileString("BIG", "kEy7", "seven", path));
    ASSERT_TRUE(WriteProfileString("Big", "Key3", nullptr, path));
    ASSERT_TRUE(WriteProfileString("Big", "New", "n", path));
    const std::string after = ReadText(path);
    EXPECT_NE(after.find("\r\nKey2=2\r\nKey4=4\r\nKey5=5\r\nKey6=6\r\nKey7=seven\r\nKey8=8\r\n"), std::string::npos);
    const std::string tail = "KEY7=late\r\nNew=n\r\n";
    EXPECT_EQ(after.rfind(tail), after.size() - tail.size());

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
