// Updates end to end: the exported functions of the loaded library against the reference
// ad server run as a real program, with real pictures, cabinets made by a real tool, and
// every way the server can fail us.
#include <ctime>

#include "UpdateFixture.h"

namespace {

TEST_F(Update, FirstUpdateFetchesEveryAdAndTheNextOneNothing) {
    WriteManifest();
    StartServer();
    HostWindow::Record r = Run();
    EXPECT_EQ(r.wParam, kDone);
    EXPECT_EQ(r.lParam, 0u);
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(Requests(), "POST /ads/getlist.php3 CLNT_VER=1.0&USER_ID=u1 200\n"
                          "POST /ads/getdata.php3 CONTS_CODE=0000201 200\n"
                          "POST /ads/getdata.php3 CONTS_CODE=0000101 200\n"
                          "POST /ads/getdata.php3 CONTS_CODE=0000102 200\n");
    // What the window said at each step, with every exchange and file step between.
    const std::string list = "http\tverb=POST\turl=SRV/ads/getlist.php3\tstep=done\tstatus=200\n";
    const std::string adStored = "http\tverb=POST\turl=SRV/ads/getdata.php3\tstep=done\tstatus=200\n"
                               "file\tstep=save catalogue\tpath=ADS/Flyerbank.dat\tok\n";
    auto picture = [](const std::string& name) {
        return "file\tstep=write\tpath=ADS/" + name.substr(0, 7) + ".part\tok\nfile\tstep=rename\tpath=ADS/" + name + "\tok\n";
    };
    EXPECT_EQ(Trail(), Status(0, 100, IDS_STATUS_UPDATING) + list + Status(0, 300, 1, "0000201.cab") +
                           "file\tstep=mkdir\tpath=ADS/0000201.unpack\tok\n"
                           "file\tstep=write\tpath=ADS/0000201.unpack/0000201.cab\tok\n"
                           "file\tstep=rename\tpath=ADS/0000201.asf\tok\nfile\tstep=rename\tpath=ADS/0000201.jpg\tok\n" +
                           adStored + Status(100, 300, 2, "0000101.jpg") + picture("0000101.jpg") + adStored +
                           Status(200, 300, 3, "0000102.png") + picture("0000102.png") + adStored +
                           Status(300, 300, IDS_STATUS_FINISHED));

    // The cabinet is gone; movie and thumbnail carry the ad's code.
    EXPECT_EQ(FilesIn(Ads()), (std::set<std::string>{"Flyerbank.dat", "0000101.jpg", "0000102.png", "0000201.asf",
                                                      "0000201.jpg"}));
    ExpectHeldPicturesWhole();
    EXPECT_EQ(ReadText(Ad("0000201.asf")), m_movie);
    EXPECT_EQ(ReadText(Ad("0000201.jpg")), m_thumb);
    platform::FileStatus movie;
    ASSERT_TRUE(platform::GetFileStatus(Ad("0000201.asf"), movie));
    std::tm stored = {};
    strptime("2001-02-03 04:05:06", "%Y-%m-%d %H:%M:%S", &stored);  // the cabinet's local time
    stored.tm_isdst = -1;
    EXPECT_EQ(movie.lastWriteTime, std::mktime(&stored));

    EXPECT_STREQ(flb.FLBGetName(101), kBlueSkyCp932);
    EXPECT_STREQ(flb.FLBGetURL(102), "http://example.test/102?a=b:c");
    EXPECT_EQ(std::string(flb.FLBGetFileName(201)), Ad("0000201.asf"));
    // A picture is its own thumbnail, a movie has the jpeg of its code.
    EXPECT_EQ(std::string(flb.FLBGetThumbnail(201)), Ad("0000201.jpg"));
    EXPECT_EQ(std::string(flb.FLBGetThumbnail(102)), Ad("0000102.png"));
    EXPECT_EQ(Listed(false), 2);
    EXPECT_EQ(Listed(true), 1);
    // Movies first, then the higher priority.
    EXPECT_EQ(Order(), (std::vector<uint32_t>{201, 101, 102}));
    const std::string saved = ReadText(Dat());
    EXPECT_NE(saved.find("Version=1.1\r\nCount=3\r\n"), std::string::npos);
    // The movie's record names the unpacked movie and keeps its size.
    auto record = StoredRecord(Dat(), 201);
    EXPECT_EQ(CSizeCodec().Decode(record["Size"]), std::to_string(m_movie.size()));
    record.erase("Size");
    EXPECT_EQ(record, (std::map<std::string, std::string>{{"Name", "\x93\xAE\x89\xE6"},  // 動画
                                                          {"File", Ad("0000201.asf")}, {"ID", "201"}, {"Type", "1"},
                                                          {"URL", "http://example.test/201"}, {"Time", "0"},
                                                          {"Favorite", "0"}, {"Priority", "13"}}));

    // Everything is held with its size, the movie's old date notwithstanding. Files with an
    // ad's name that no record names go (an update cut off between putting a file in place
    // and recording it left them, or scratch); any other stays.
    std::set<std::string> kept = FilesIn(Ads());
    for (const char* name : {"0000301.jpg", "0000302.WMV", "0000303.mp4", "0000304.cab", "0000305.part"})
        WriteText(Ad(name), name);
    for (const char* name : {"notes.txt", "123.jpg", "0001234.txt", "00012345.jpg", "0000306.jpg.bak"})
        WriteText(Ad(name), name), kept.insert(name);
    ASSERT_TRUE(platform::MakeDirectory(Ad("0000307.jpg")));
    kept.insert("0000307.jpg");
    r = Run();
    EXPECT_EQ(r.wParam, kDone);
    EXPECT_EQ(Requests(), "POST /ads/getlist.php3 CLNT_VER=1.0&USER_ID=u1 200\n");
    std::string swept;
    for (const char* name : {"0000301.jpg", "0000302.WMV", "0000303.mp4", "0000304.cab"})
        swept += std::string("file\tstep=remove orphan\tpath=ADS/") + name + "\n";
    EXPECT_EQ(Trail(), swept + Status(0, 100, IDS_STATUS_UPDATING) + list);
    EXPECT_EQ(Order().size(), 3u);
    EXPECT_EQ(ReadText(Dat()), saved);
    EXPECT_EQ(FilesIn(Ads()), kept);
    ASSERT_EQ(std::remove(Ad("0000201.jpg").c_str()), 0);
    EXPECT_EQ(flb.FLBGetThumbnail(201), nullptr);

    // A catalogue file of a version this build cannot read says nothing of whose a file is.
    WriteText(Dat(), "[Flyerbank]\r\nVersion=2.0\r\n");
    WriteText(Ad("0000301.jpg"), "kept");
    EXPECT_EQ(Run().wParam, kDone);
    EXPECT_EQ(ReadText(Ad("0000301.jpg")), "kept");
}

TEST_F(Update, ListTwoModeSendsTheHeldCodesInEnumerationOrder) {
    WriteManifest();
    StartServer();
    EXPECT_EQ(Run(1).wParam, kDone);
    EXPECT_EQ(Requests().rfind("POST /ads/getlist2.php3 USER_ID=u1&CONTS_CODE_LIST= 200\nPOST", 0), 0u);
    EXPECT_EQ(Run(1).wParam, kDone);
    // In the order the catalogue enumerates its codes.
    EXPECT_EQ(Requests(), "POST /ads/getlist2.php3 USER_ID=u1&CONTS_CODE_LIST=0000102,0000101,0000201 200\n");

    // The user id is kept to 40 bytes.
    const std::string longId(45, 'x');
    EXPECT_EQ(Run(0, longId).wParam, kDone);
    EXPECT_NE(ReadText(ServerLog()).find("CLNT_VER=1.0&USER_ID=" + longId.substr(0, 40) + " "), std::string::npos)
        << ReadText(ServerLog());
}

TEST_F(Update, EveryFaultOrRefusalFailsTheUpdateAndLeavesEarlierAdsWhole) {
    WriteManifest(false);
    StartServer();
    ASSERT_EQ(Run().wParam, kDone);
    const std::set<std::string> held = FilesIn(Ads());

    WriteManifest(true, true);
    // A result the server gives reaches the host with its number and no message.
    const std::pair<const char*, unsigned> faults[] = {
        {"crlf-items", 0},      {"wrong-code", 0},      {"cut-payload", 0},   {"bad-cabinet", 0}, {"cabinet-files=1", 0},
        {"cabinet-files=3", 0}, {"empty-list=10", 0},   {"list-result=7", 7}, {"data-result=5", 5}};
    for (auto [fault, result] : faults) {
        SCOPED_TRACE(fault);
        StartServer({fault});
        HostWindow::Record r = Run();
        EXPECT_EQ(r.wParam, kFailed);
        EXPECT_EQ(r.lParam, result);
        EXPECT_EQ(Messages(), result ? std::vector<unsigned>{} : std::vector<unsigned>{IDP_ADS_COMM_ERROR});
        EXPECT_EQ(FilesIn(Ads()), held);  // nothing half-written, nothing unpacked left behind
        ExpectHeldPicturesWhole();
        EXPECT_EQ(Listed(false), 2);
        EXPECT_EQ(Listed(true), 0);
    }

    // A few empty answers are asked again.
    WriteManifest(false);
    StartServer({"empty-list=3"});
    EXPECT_EQ(Run().wParam, kDone);
    EXPECT_EQ(Count(ReadText(ServerLog()), "getlist.php3"), 1 + 8 + 10 + 4);
    ExpectHeldPicturesWhole();
}

TEST_F(Update, CancelDuringASlowDownloadKeepsWhatWasStored) {
    WriteManifest(false);
    StartServer();
    ASSERT_EQ(Run().wParam, kDone);
    EXPECT_EQ(flb.FLBUpdateCancel(), 0);  // none running

    WriteManifest(true, true);
    StartServer({"slow-payload=100"});
    StartUpdateUntilData();

    // While it runs, everything but the cancel refuses.
    uint32_t* codes = nullptr;
    int32_t n = 0;
    EXPECT_EQ(flb.FLBUpdate("u1", m_window.Handle(), 0, "1.0"), 0);
    EXPECT_EQ(flb.FLBNotifyAVLS(101, 1, "x"), 0);
    EXPECT_EQ(flb.FLBSetFolder(Ads().c_str()), 0);
    EXPECT_EQ(flb.FLBGetOrder(&codes, &n), 0);
    EXPECT_EQ(flb.FLBGetPictureList(&codes, &n), 0);
    EXPECT_EQ(flb.FLBGetMovieList(&codes, &n), 0);
    EXPECT_EQ(flb.FLBGetName(101), nullptr);
    EXPECT_EQ(flb.FLBGetFavoriteFlag(101), 0);
    EXPECT_EQ(flb.FLBGetFileName(101), nullptr);
    EXPECT_EQ(flb.FLBGetThumbnail(101), nullptr);
    EXPECT_EQ(flb.FLBGetURL(101), nullptr);
    EXPECT_EQ(flb.FLBSetName(101, "x"), 0);
    EXPECT_EQ(flb.FLBSetFavoriteFlag(101, 1), 0);
    EXPECT_EQ(flb.FLBRemove(101), 0);
    EXPECT_EQ(Messages(), std::vector<unsigned>(14, IDP_UPDATE_RUNNING));

    EXPECT_EQ(flb.FLBUpdateCancel(), 1);
    HostWindow::Record r = m_window.Wait(10000);
    EXPECT_TRUE(r.arrived);
    EXPECT_EQ(r.wParam, kCancelled);
    EXPECT_EQ(Messages().size(), 14u);  // a cancel shows nothing
    EXPECT_EQ(flb.FLBUpdateCancel(), 0);
    ExpectHeldPicturesWhole();
    EXPECT_EQ(Listed(false), 2);
    EXPECT_EQ(Listed(true), 0);
}

TEST_F(Update, OnlyWebLinksAreKept) {
    // A host opens the link with the shell: the first three are web pages, any other is none.
    const std::vector<std::string> links = {"http://example.test/a", "HTTPS://x/b?c:d", "hTtP://x", "",
                                            "file:///C:/Windows/System32/calc.exe", "\\\\server\\share\\x.exe",
                                            "C:\\x.exe", "javascript:alert(1)", "ms-settings:", " http://x/c",
                                            "http:\\\\x", "https:/x", "/usr/bin/xterm"};
    std::string manifest;
    for (uint32_t i = 0; i < links.size(); ++i)
        manifest += std::to_string(301 + i) + "\tjpg\t0\tn\t" + links[i] + "\tpic101.jpg\n";
    WriteText(Content("manifest.txt"), manifest);
    StartServer();
    ASSERT_EQ(Run().wParam, kDone);
    for (uint32_t i = 0; i < links.size(); ++i) {
        const std::string kept = i < 3 ? links[i] : "";
        EXPECT_STREQ(flb.FLBGetURL(301 + i), kept.c_str()) << links[i];
        EXPECT_EQ(StoredRecord(Dat(), 301 + i)["URL"], kept) << links[i];
    }
}

TEST_F(Update, ACancelDuringTheUnpackLeavesNoFileWithoutARecord) {
    MakeCabinet(Content("big.cab"), {{"movie.asf", Bytes('m', 40 << 20)}, {"thumb.jpg", m_thumb}});
    WriteText(Content("manifest.txt"), "201\tcab\t3\tbig\thttp://example.test/201\tbig.cab\n");
    StartServer();
    ASSERT_EQ(flb.FLBUpdate("u1", m_window.Handle(), 0, "1.0"), 1);
    ASSERT_TRUE(Eventually([&] { return platform::Exists(Ad("0000201.unpack/0000201.asf")); }));
    EXPECT_EQ(flb.FLBUpdateCancel(), 1);
    EXPECT_EQ(m_window.Wait(10000).wParam, kCancelled);
    // Stored with both its files, or neither file is left.
    const std::set<std::string> stored{"Flyerbank.dat", "0000201.asf", "0000201.jpg"};
    EXPECT_EQ(FilesIn(Ads()), StoredRecord(Dat(), 201).empty() ? std::set<std::string>{} : stored);
}

// A host whose pipe is full when the update ends loses the completion, which the debug
// log names, and still unloads: nothing waits on the host.
TEST_F(Update, HostMayUnloadTheLibraryOnTheCompletionOrWithAFullPipe) {
    WriteManifest();
    StartServer();
    for (const char* mode : {"", "full"}) {
        SCOPED_TRACE(mode);
        platform::RemoveFolderAndFiles(Ads());
        const std::string log = m_root.Path(std::string("debug") + mode + ".log");
        EXPECT_EQ(Program({UNLOAD_HOST, FLB_LIBRARY, Ads(), mode}, false, {{"FLB_DEBUG_LOG", log}}).Wait(60000), 0)
            << "above 128: killed by a signal";
        EXPECT_EQ(ReadText(Ad("0000201.asf")), m_movie);
        const std::string lines = ReadText(log);
        EXPECT_EQ(lines.find("\tmessage=32769\twParam=0\tlParam=0\tlost\tos_error=11\n") != std::string::npos, *mode != '\0')
            << lines;
    }
}

}  // namespace
