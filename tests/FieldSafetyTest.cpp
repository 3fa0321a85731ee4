// What the library must hold to in the field whatever the server sends: no program on the
// user's disk, ad folders right up to the path limit, and payloads that go to the disk as
// they arrive.
#include <cstring>

#include <map>

#include "frame/App.h"
#include "frame/Exceptions.h"
#include "update/UpdateJob.h"
#include "CabinetBuilder.h"
#include "UpdateFixture.h"

namespace {

using FieldSafety = Update;

// The data answer of ad 42, `head` and `payload`, taken by the update job in pieces of
// `piece` bytes, as they may arrive, into a fresh ad folder; its files, or nothing when
// it is refused.
struct Taken {
    bool accepted = true;
    CAdRecord record{42};
    std::map<std::string, std::string> files;
    std::vector<unsigned> messages;
};
const std::string kHead = "7\r\nRESULT:0\r\nCONTS_CODE:0000042\r\nCONTS_NAME: a:b\r\nPRIORITY:4\r\n"
                          "JUMPHTTP:http://x.test/a:b\r\n";
Taken TakeAnswer(const std::string& payload, bool cabinet, size_t piece = SIZE_MAX, const std::string& head = kHead) {
    TempFolder root;
    platform::MakeDirectory(root.Path("ads"));
    theApp.m_strFolder = root.Path("ads/");
    MessageRecorder messages;
    CUpdateJob job;
    const std::string answer = head + payload;
    job.SetAnswer(AnswerBlock(answer), static_cast<DWORD>(answer.size()));
    Taken t;
    t.record.Cabinet = cabinet;
    t.record.File = theApp.m_strFolder + (cabinet ? "0000042.cab" : "0000042.jpg");
    try {
        job.TakeDataAnswer(t.record, piece);
    } catch (const CUserException&) {
        t.accepted = false;
    }
    for (const std::string& name : FilesIn(theApp.m_strFolder)) t.files[name] = ReadText(theApp.m_strFolder + name);
    t.messages = messages.Ids();
    theApp.m_strFolder.clear();
    return t;
}

TEST(FieldSafetyUnits, ACabinetMovieMustBeAVideo) {
    for (const char* movie : {"evil.exe", "run.bat", "run.cmd", "saver.scr", "go.lnk", "page.hta", "x.js", "x.vbs",
                              "setup.msi", "x.pif", "x.com", "x.url", "movie.wmv.exe", "movie.exe.", "movie.wmv ",
                              "movie", "song.wma", "movie.cab"}) {
        const Taken t = TakeAnswer(BuildCabinet({{movie, "MZ"}, {"thumb.jpg", "t"}}), true);
        EXPECT_FALSE(t.accepted) << movie;
        EXPECT_TRUE(t.files.empty()) << movie;
        EXPECT_EQ(t.messages, std::vector<unsigned>{IDP_ADS_COMM_ERROR}) << movie;
    }
    for (const char* movie : {"clip.mp4", "CLIP.WMV", "a.b.mpeg", "x.webm", "x.avi", "x.mov", "x.mkv", "x.m4v"}) {
        const Taken t = TakeAnswer(BuildCabinet({{"thumb.jpg", "t"}, {movie, movie}}), true);
        const std::string name = "0000042" + std::string(movie).substr(std::string(movie).rfind('.'));
        EXPECT_TRUE(t.accepted) << movie;
        EXPECT_EQ(t.files, (std::map<std::string, std::string>{{name, movie}, {"0000042.jpg", "t"}})) << movie;
    }
}

TEST(FieldSafetyUnits, AnAnswerInAnyPiecesIsTakenAsAWholeOne) {
    const std::string cabinet = BuildCabinet({{"movie.asf", Bytes('m', 3000)}, {"thumb.jpg", "t"}});
    for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{13}, size_t{64}, SIZE_MAX}) {
        for (bool isCabinet : {false, true}) {
            const Taken t = TakeAnswer(isCabinet ? cabinet : "picture\r\n", isCabinet, piece);
            ASSERT_TRUE(t.accepted) << piece;
            EXPECT_EQ(t.record.Name, " a:b");
            EXPECT_EQ(t.record.URL, "http://x.test/a:b");
            EXPECT_EQ(t.record.Priority, 4);
            if (isCabinet) EXPECT_EQ(t.files.at("0000042.asf"), Bytes('m', 3000)) << piece;
            else EXPECT_EQ(t.files, (std::map<std::string, std::string>{{"0000042.jpg", "picture\r\n"}})) << piece;
        }
        // Cut in its lines, or lines that never end: nothing is written.
        for (const std::string& bad : {std::string("7\r\nRESULT:0\r\nCONTS_CODE:0000042\r\n"), std::string(2 << 20, 'x')}) {
            const Taken t = TakeAnswer(bad, false, std::max<size_t>(piece, 4096), "");
            EXPECT_FALSE(t.accepted) << piece;
            EXPECT_EQ(t.messages, std::vector<unsigned>{IDP_ADS_COMM_ERROR});
            EXPECT_TRUE(t.files.empty());
        }
    }
}

TEST_F(FieldSafety, ACatalogueNamingAProgramAsAnAdHandsItToNobody) {
    const std::string planted[] = {"0003001.exe", "0003003.scr", "0003004.jpg.bat"};
    for (const std::string& name : planted) WriteText(Ad(name), "MZ");
    WriteText(Ad("0003002.wmv"), "movie");
    WriteText(Ad("0000005.png"), "another ad's");
    WriteText(Dat(), CatalogueText({{3001, Ad(planted[0]), "n", 1, "", 1},
                                    {3002, Ad("0003002.wmv"), "n", 1, "", 1},
                                    {3003, Ad(planted[1]), "n", 0, "", 1},
                                    {3004, Ad(planted[2]), "n", 1, "", 1},
                                    {3005, Ad("0003002.wmv"), "n", 0, "", 1},     // a movie as a picture
                                    {3006, Ad("0000005.png"), "n", 1, "", 1}}));  // a picture as a movie

    ASSERT_EQ(flb.FLBSetFolder(Ads().c_str()), 1);
    for (uint32_t code : {3001u, 3003u, 3004u, 3005u, 3006u}) EXPECT_EQ(flb.FLBGetFileName(code), nullptr) << code;
    EXPECT_EQ(flb.FLBGetFileName(3002), Ad("0003002.wmv"));
    EXPECT_EQ(Listed(true), 1);
    EXPECT_EQ(Listed(false), 0);
    // The programs under the ads' own names go; another ad's file stays.
    EXPECT_EQ(FilesIn(Ads()), (std::set<std::string>{"0003002.wmv", "0000005.png", "Flyerbank.dat"}));
}

// A folder of exactly `length` bytes (without its separator) under the scratch root,
// every level but the last made.
std::string FolderOfLength(const std::string& base, size_t length) {
    std::string path = base;
    platform::MakeDirectory(path);
    while (path.size() + 1 + 100 < length) {
        path += "/" + std::string(99, 'd');
        platform::MakeDirectory(path);
    }
    return path + "/" + std::string(length - path.size() - 1, 'e');
}

TEST_F(FieldSafety, AFolderIsTakenExactlyWhenEveryPathMadeInItFits) {
    // The longest: the catalogue's save, "Flyerbank.dat.4294967295-4294967295.tmp".
    const size_t longest = 260 - 1 - 1 - std::strlen("Flyerbank.dat.4294967295-4294967295.tmp");
    const std::string over = FolderOfLength(m_root.Path("long"), longest + 1);
    std::remove(MessageLog().c_str());
    EXPECT_EQ(flb.FLBSetFolder(over.c_str()), 0);
    EXPECT_EQ(flb.FLBSetFolder((over + "/").c_str()), 0);
    EXPECT_EQ(Messages(), (std::vector<unsigned>{IDP_INVALID_ARGUMENT, IDP_INVALID_ARGUMENT}));
    EXPECT_FALSE(platform::Exists(over));

    const std::string fits = FolderOfLength(m_root.Path("long"), longest);
    ASSERT_EQ(flb.FLBSetFolder(fits.c_str()), 1);
    WriteManifest();
    StartServer();
    ASSERT_EQ(Run().wParam, kDone);
    EXPECT_EQ(FilesIn(fits), (std::set<std::string>{"0000101.jpg", "0000102.png", "0000201.asf", "0000201.jpg",
                                                    "Flyerbank.dat"}));
    EXPECT_EQ(ReadText(fits + "/0000201.asf"), m_movie);
    EXPECT_EQ(flb.FLBSetName(201, "renamed"), 1);
    EXPECT_EQ(flb.FLBRemove(101), 1);
    ASSERT_EQ(flb.FLBSetFolder(fits.c_str()), 1);
    EXPECT_EQ(std::string(flb.FLBGetName(201)), "renamed");
    EXPECT_EQ(flb.FLBGetFileName(101), nullptr);
    EXPECT_TRUE(Messages().empty());
}

TEST_F(FieldSafety, APayloadReachesTheDiskWhileItArrives) {
    WriteManifest();
    StartServer({"slow-payload=5"});
    std::remove(MessageLog().c_str());
    ASSERT_EQ(flb.FLBUpdate("u1", m_window.Handle(), 0, "1.0"), 1);
    // The cabinet is written as it comes, not once it is whole.
    const std::string scratch = Ad("0000201.unpack/0000201.cab");
    const uint64_t whole = ReadText(Content("movie201.cab")).size();
    uint64_t seen = 0;
    for (int i = 0; i < 20000 && m_window.Quiet(5); ++i) {
        platform::FileStatus status;
        if (platform::GetFileStatus(scratch, status) && status.size < whole) seen = std::max(seen, status.size);
    }
    HostWindow::Record r = m_window.Wait();
    EXPECT_EQ(r.wParam, kDone);
    EXPECT_GT(seen, 0u);
    EXPECT_EQ(ReadText(Ad("0000201.asf")), m_movie);
    EXPECT_FALSE(platform::Exists(Ad("0000201.unpack")));
}

}  // namespace
