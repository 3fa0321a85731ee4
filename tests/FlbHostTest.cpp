// The demo host run as a real program against the real library (and, for the update
// path, against a stand-in library that posts whatever completion the test asks for).
#ifdef FLB_HOST
#include <gtest/gtest.h>
#include <limits.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "UpdateFixture.h"

namespace {

struct Outcome {
    int exit = -1;
    std::string out, err;
};

class FlbHost : public ::testing::Test {
protected:
    FlbHost() {
        m_env["FLB_REGISTRY_DIR"] = m_temp.Path("registry");
        m_env["FLB_LIBRARY"] = FLB_LIBRARY;
        m_env["LC_ALL"] = "C.UTF-8";
        m_env["FLB_MESSAGE_LOG"] = "";
    }
    // Starts the host with its standard output and error read apart; an empty m_env value unsets.
    void Start(const std::vector<std::string>& args, const std::string& program = FLB_HOST) {
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), args.begin(), args.end());
        m_host.Start(argv, true, m_env);
    }
    Outcome Run(const std::vector<std::string>& args, const std::string& program = FLB_HOST) {
        Start(args, program);
        const int exit = m_host.Wait();
        return {exit, m_host.Out(), m_host.Err()};
    }
    // The reference ad server on the demo content, named in the settings as the server base.
    void ServeDemo(ServerRun& ads, std::vector<std::string> args = {}) {
        args.insert(args.begin(), {"--content", std::string(FLB_SOURCE_DIR) + "/tools/ads-server/demo/content"});
        ASSERT_TRUE(ads.Start(ADS_SERVER, args));
        m_env["no_proxy"] = "127.0.0.1";
        ASSERT_EQ(Run({"settings", "--server-base", ads.Url("ads/")}).exit, 0);
    }

    // flb-host copied into a folder of the test's, with the library beside it or not;
    // that folder is then the library's default ad folder.
    std::string CopyOfHost(bool withLibrary) {
        const std::string folder = m_temp.Path(withLibrary ? "with-library" : "alone");
        mkdir(folder.c_str(), 0700);
        const std::string copy = folder + "/flb-host";
        WriteText(copy, ReadText(FLB_HOST));
        chmod(copy.c_str(), 0700);
        if (withLibrary) (void)!symlink(FLB_LIBRARY, (folder + "/libflyerbank.so").c_str());
        return copy;
    }

    std::string Ads() const { return m_temp.Path("ads"); }
    std::string Catalogue() const { return m_temp.Path("ads/Flyerbank.dat"); }
    // One picture, code 7, whose name holds 広告 in code page 932 and a byte it lacks.
    void WriteCatalogue() {
        mkdir(Ads().c_str(), 0700);
        WriteText(m_temp.Path("ads/0000007.jpg"), "jpg");
        WriteText(Catalogue(), CatalogueText({{7, m_temp.Path("ads/0000007.jpg"), "\x8dL\x8d\x90 a\xff" "b", 0,
                                               "http://ads.example/7", 0, 1}}, "1.0"));
    }

    TempFolder m_temp;
    std::map<std::string, std::string> m_env;
    Program m_host;
};

TEST_F(FlbHost, BadCommandLinesExitTwoBeforeAnythingRuns) {
    const std::string fresh = m_temp.Path("fresh");
    const std::vector<std::vector<std::string>> cases = {
        {}, {"frobnicate"}, {"--bogus", "order"}, {"--library"}, {"--folder", fresh},
        {"order", "extra"}, {"order", "+"}, {"+", "order"}, {"order", "+", "+", "movies"},
        {"show"}, {"show", "12x"}, {"show", "4294967296"}, {"show", "99999999999999999999999"},
        {"show", "-1"}, {"show", "+1"}, {"show", " 1"}, {"show", ""},
        {"rename", "7"}, {"rename", "7", "\xF0\x9F\x98\x80"},  // no code page 932 form
        {"favorite", "7", "2"}, {"remove", "7", "8"},
        {"notify", "7", "one", "shown"}, {"notify", "7", "2147483648", "shown"},
        {"update", "--version", "1.0"}, {"update", "--user", "u1"}, {"update", "--user"},
        {"settings"}, {"settings", "--list"}, {"settings", "--lists", "http://x/"},
        {"folder", fresh, "+", "show", "12x"},  // the chain is checked whole: no folder is made
    };
    for (const auto& args : cases) {
        std::string line;
        for (const std::string& a : args) line += "[" + a + "]";
        Outcome o = Run(args);
        EXPECT_EQ(o.exit, 2) << line;
        EXPECT_EQ(o.out, "") << line;
        // One line: "flb-host: ... (see --help)".
        EXPECT_TRUE(o.err.rfind("flb-host: ", 0) == 0 && Count(o.err, "\n") == 1 && o.err.size() > 13 &&
                    o.err.compare(o.err.size() - 13, 13, "(see --help)\n") == 0)
            << line << ": " << o.err;
    }
    EXPECT_NE(access(fresh.c_str(), F_OK), 0);

    // The largest code parses; the library then finds no such ad.
    Outcome largest = Run({"--folder", Ads(), "show", "4294967295"});
    EXPECT_EQ(largest.exit, 1) << largest.err;
    EXPECT_NE(largest.err.find("4294967295"), std::string::npos);
}

TEST_F(FlbHost, LibraryIsFoundBesideTheProgramOrNamedAndElseExitsFiveButHelpNeedsNone) {
    Outcome missing = Run({"--library", "/nonexistent/libflyerbank.so", "pictures"});
    EXPECT_EQ(missing.exit, 5);
    EXPECT_NE(missing.err.find("/nonexistent/libflyerbank.so"), std::string::npos) << missing.err;
    // Help is shown without loading it.
    EXPECT_EQ(Run({"--library", "/nonexistent.so", "--help"}).out.rfind("usage: flb-host", 0), 0u);
    Outcome help = Run({"--library", "/nonexistent.so", "order", "+", "rename", "--help"});
    EXPECT_EQ(help.exit, 0) << help.err;
    EXPECT_EQ(help.out.rfind("usage: flb-host [OPTIONS] rename", 0), 0u) << help.out;

    Outcome foreign = Run({"--library", "libm.so.6", "pictures"});
    EXPECT_EQ(foreign.exit, 5);
    EXPECT_NE(foreign.err.find("lacks the export FLB"), std::string::npos) << foreign.err;

    m_env["FLB_LIBRARY"] = "";
    EXPECT_EQ(Run({"--folder", Ads(), "pictures"}, CopyOfHost(false)).exit, 5) << "nothing beside a lone copy";
    Outcome beside = Run({"--folder", Ads(), "pictures"}, CopyOfHost(true));
    EXPECT_EQ(beside.exit, 0) << beside.err;

    // The build's own flb-host: whatever its folder holds, the library answers.
    Outcome built = Run({"show", "1"});
    EXPECT_TRUE(built.exit == 0 || built.exit == 1) << built.exit << ": " << built.err;
    EXPECT_EQ(built.err.find("cannot load"), std::string::npos) << built.err;
}

TEST_F(FlbHost, SettingsWriteTheStandInThatShowReadsBackAndRefuseWhatTheLibraryWould) {
    const std::string file = m_temp.Path("registry/HKEY_CURRENT_USER.ini");
    Outcome none = Run({"settings", "--show"});
    EXPECT_EQ(none.exit, 0);
    EXPECT_EQ(none.out, file + "\nADS Get list: (not set)\nADS Get list 2: (not set)\nADS Get data: (not set)\n"
                               "AVLS Notify: (not set)\n");

    Outcome written = Run({"settings", "--server-base", "http://127.0.0.1:8080", "--notify", "http://log.example/n"});
    EXPECT_EQ(written.exit, 0) << written.err;
    EXPECT_EQ(written.out, file + "\n");
    const std::string ini = ReadText(file);
    EXPECT_EQ(ini.rfind("[Software\\QUILLMARK\\Tidewell Client]", 0), 0u) << ini;
    EXPECT_NE(ini.find("ADS Get list=http://127.0.0.1:8080/getlist.php3"), std::string::npos) << ini;
    EXPECT_NE(ini.find("AVLS Notify=http://log.example/n"), std::string::npos) << ini;

    EXPECT_EQ(Run({"settings", "--list2", "http://other/l2"}).exit, 0);
    EXPECT_EQ(Run({"settings", "--show"}).out,
              file + "\nADS Get list: http://127.0.0.1:8080/getlist.php3\nADS Get list 2: http://other/l2\n"
                     "ADS Get data: http://127.0.0.1:8080/getdata.php3\nAVLS Notify: http://log.example/n\n");

    for (const char* url : {"https://ads.test/", "ftp://ads.test/", "http://ads test/", " http://ads.test/",
                            "http:///path", "ads.test/getlist.php3", "http://ads.test/#top"}) {
        Outcome o = Run({"settings", "--list", url});
        EXPECT_EQ(o.exit, 2) << url;
        EXPECT_NE(o.err.find(std::string("'") + url + "'"), std::string::npos) << o.err;
    }
    // A query of the base stays after each script's name.
    EXPECT_EQ(Run({"settings", "--server-base", "http://ads.test/cgi?site=3", "--show"}).out,
              file + "\nADS Get list: http://ads.test/cgi/getlist.php3?site=3\n"
                     "ADS Get list 2: http://ads.test/cgi/getlist2.php3?site=3\nADS Get data: http://ads.test/cgi/getdata.php3?site=3\n"
                     "AVLS Notify: http://ads.test/cgi/log.php3?site=3\n");
}

TEST_F(FlbHost, ChainedCommandsShareTheFolderAnEmptyOneListsNothing) {
    Outcome o = Run({"folder", Ads(), "+", "pictures", "+", "movies", "+", "order"});
    EXPECT_EQ(o.exit, 0) << o.err;
    char resolved[PATH_MAX];
    ASSERT_TRUE(realpath(Ads().c_str(), resolved)) << "folder creates the ad folder";
    EXPECT_EQ(o.out, std::string(resolved) + "\n");

    WriteCatalogue();
    o = Run({"folder", Ads(), "+", "pictures", "+", "movies"});
    EXPECT_EQ(o.out, std::string(resolved) + "\n0000007\t\xE5\xBA\x83\xE5\x91\x8A a?b\t" + m_temp.Path("ads/0000007.jpg") + "\n");
    // The library's default folder is the program's: a copy of our own, left empty.
    EXPECT_EQ(Run({"pictures"}, CopyOfHost(true)).out, "") << "the folder holds only for its process";
}

TEST_F(FlbHost, CatalogueChangesReachTheFileInCodePage932AndARefusedNotifyExitsOne) {
    WriteCatalogue();
    const std::string picture = m_temp.Path("ads/0000007.jpg");
    Outcome shown = Run({"--folder", Ads(), "show", "0000007"});
    EXPECT_EQ(shown.exit, 0) << shown.err;
    EXPECT_EQ(shown.out, "code       0000007\nname       \xE5\xBA\x83\xE5\x91\x8A a?b\nfile       " + picture +
                             "\nthumbnail  " + picture + "\nurl        http://ads.example/7\nfavorite   0\n");

    Outcome renamed = Run({"--folder", Ads(), "rename", "7", "日本語名"});
    EXPECT_EQ(renamed.exit, 0) << renamed.err;
    EXPECT_NE(ReadText(Catalogue()).find("Name=\x93\xfa\x96\x7b\x8c\xea\x96\xbc\r\n"), std::string::npos);

    Outcome favourite = Run({"--folder", Ads(), "favorite", "7", "1", "+", "show", "7"});
    EXPECT_EQ(favourite.exit, 0) << favourite.err;
    EXPECT_NE(favourite.out.find("name       日本語名\n"), std::string::npos) << favourite.out;
    EXPECT_NE(favourite.out.find("favorite   1\n"), std::string::npos) << favourite.out;

    ASSERT_EQ(Run({"settings", "--notify", "http://127.0.0.1:1/log.php3"}).exit, 0);
    Outcome refused = Run({"--folder", Ads(), "notify", "7", "1", "shown"});
    EXPECT_EQ(refused.exit, 1);
    EXPECT_EQ(refused.out, "not notified\n");

    Outcome removed = Run({"--folder", Ads(), "remove", "7", "+", "pictures"});
    EXPECT_EQ(removed.exit, 0) << removed.err;
    EXPECT_EQ(removed.out, "removed 0000007\n");
    EXPECT_NE(access(picture.c_str(), F_OK), 0);
    EXPECT_EQ(Run({"--folder", Ads(), "show", "7"}).exit, 1);
    EXPECT_EQ(Run({"--folder", Ads(), "remove", "7"}).exit, 1);
}

// A whole run against the reference servers, with the demo content.
TEST_F(FlbHost, UpdateOrderAndNotifyAgainstTheServers) {
    ServerRun ads, avls;
    ServeDemo(ads);
    ASSERT_TRUE(avls.Start(AVLS_SERVER, {"--db", m_temp.Path("views.db")}));
    ASSERT_EQ(Run({"settings", "--notify", avls.Url("log.php3")}).exit, 0);

    Outcome o = Run({"--folder", Ads(), "update", "--user", "u1", "--version", "1.0", "+", "order", "+", "notify",
                     "2001", "1", "shown"});
    EXPECT_EQ(o.exit, 0) << o.err;
    // Movies first, then the higher priority; every field of each ad.
    const std::string a = "\t" + Ads() + "/";
    EXPECT_EQ(o.out, "update done\n"
                     "0002002\tmovie\t料理教室の紹介" + a + "0002002.wmv\thttp://cooking.example.test/class\n"
                     "0002001\tmovie\t映画の予告編" + a + "0002001.wmv\thttp://cinema.example.test/trailer\n"
                     "0001002\tpicture\tコーヒー割引" + a + "0001002.jpg\thttp://cafe.example.test/coupon?id=20\n"
                     "0001001\tpicture\t春のセール" + a + "0001001.png\thttp://shop.example.test/spring\n"
                     "0001003\tpicture\t新刊のお知らせ" + a + "0001003.png\thttp://books.example.test/new\nnotified\n");
    EXPECT_EQ(Run({"--folder", Ads(), "show", "2001"}).out,
              "code       0002001\nname       映画の予告編\nfile       " + Ads() + "/0002001.wmv\nthumbnail  " + Ads() +
                  "/0002001.jpg\nurl        http://cinema.example.test/trailer\nfavorite   0\n");
    // The view as the log server stored it, with the user id of the update before it.
    avls.Stop();
    Program dump({AVLS_SERVER, "--dump", "--db", m_temp.Path("views.db")});
    dump.Wait();
    const std::string row = dump.Out();
    EXPECT_EQ(row.rfind("u1\t0002001\t1\tshown\t20", 0), 0u) << row;
    EXPECT_EQ(row.find("\t127.0.0.1\n"), row.size() - 11) << row;
}

TEST_F(FlbHost, FailuresAreExplainedInOneEnglishLineAndTheDebugLogHasTheExchange) {
    m_env["FLB_DEBUG_LOG"] = m_temp.Path("debug.log");
    Outcome unset = Run({"--folder", Ads(), "update", "--user", "u1", "--version", "1.0"});
    EXPECT_EQ(unset.exit, 3);
    EXPECT_NE(unset.err.find("\nflb-host: the server URLs are not set: run flb-host settings"), std::string::npos)
        << unset.err;
    EXPECT_NE(unset.err.find("URLの解析に失敗しました"), std::string::npos) << "the library's own text stays";
    EXPECT_NE(ReadText(m_temp.Path("debug.log")).find("http\tverb=POST\turl=\tstep=url\tstatus=0\n"), std::string::npos);

    ServerRun ads;
    ServeDemo(ads, {"--fault", "list-result=5"});
    Outcome refused = Run({"--folder", Ads(), "update", "--user", "u1", "--version", "1.0", "+", "order"});
    EXPECT_EQ(refused.exit, 3);
    EXPECT_EQ(refused.out, "update failed (server result 5)\n") << "a failed command ends the chain";
    EXPECT_NE(refused.err.find("flb-host: the ad server refused with result 5"), std::string::npos) << refused.err;
    EXPECT_NE(ReadText(m_temp.Path("debug.log")).find("url=" + ads.Url("ads/getlist.php3") + "\tstep=done\tstatus=200"),
              std::string::npos);

    Outcome order = Run({"--folder", Ads(), "order"});
    EXPECT_EQ(order.exit, 0);
    EXPECT_NE(order.err.find("belongs to the process that ran the update"), std::string::npos) << order.err;
}

// At the library's own 30 s, an ad that comes at 10 bytes a second after its headers
// fails the update as one that stalls does: the same output, debug line and explanation.
// Both run at once.
TEST_F(FlbHost, ATricklingServerFailsAsAStalledOneDoes) {
    ServerRun good, servers[2];
    Program hosts[2];
    const std::string faults[] = {"stall-payload", "trickle=100"}, content = FLB_SOURCE_DIR "/tools/ads-server/demo/content";
    std::string seen[2];
    ASSERT_TRUE(good.Start(ADS_SERVER, {"--content", content}));
    m_env["no_proxy"] = "127.0.0.1";
    for (int i : {0, 1}) {
        ASSERT_TRUE(servers[i].Start(ADS_SERVER, {"--content", content, "--fault", faults[i]}));
        m_env["FLB_REGISTRY_DIR"] = m_temp.Path(faults[i]);
        m_env["FLB_DEBUG_LOG"] = m_temp.Path(faults[i] + ".log");
        ASSERT_EQ(Run({"settings", "--server-base", good.Url("ads/"), "--data", servers[i].Url("ads/getdata.php3")}).exit, 0);
        hosts[i].Start({FLB_HOST, "--folder", m_temp.Path(faults[i] + "/ads"), "update", "--user", "u1", "--version", "1.0"},
                       true, m_env);
    }
    for (int i : {0, 1}) {
        EXPECT_EQ(hosts[i].Wait(), 3) << faults[i];
        const std::string log = ReadText(m_temp.Path(faults[i] + ".log")), url = servers[i].Url("");
        seen[i] = hosts[i].Out() + hosts[i].Err() + log.substr(std::min(log.find("http\tverb=POST\turl=" + url), log.size()));
        for (size_t at; (at = seen[i].find(url)) != std::string::npos;) seen[i].replace(at, url.size(), "URL/");
        for (size_t at; (at = seen[i].find("\nfile\t")) != std::string::npos;) seen[i].erase(at, seen[i].find('\n', at + 1) - at);
    }
    EXPECT_EQ(seen[1], seen[0]);
    EXPECT_NE(seen[0].find("flb-host: the answer from URL/ads/getdata.php3 stalled"), std::string::npos) << seen[0];
    EXPECT_NE(seen[0].find("\tstep=read\tstatus=200\terror=28\t"), std::string::npos) << seen[0];
}

// What a terminal shows of `command` given `typed` at its keyboard; cut short after 20 s.
std::string AtTerminal(const std::string& command, const std::string& typed) {
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid < 0) return "";
    (void)!write(master, typed.data(), typed.size());
    std::string shown;
    char buf[512];
    pollfd p{master, POLLIN, 0};
    for (ssize_t n; poll(&p, 1, 20000) == 1 && (n = read(master, buf, sizeof buf)) > 0;) shown.append(buf, static_cast<size_t>(n));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    close(master);
    return shown;
}

// A message never takes the host's standard input, unless FLB_MESSAGE_WAIT=1 asks it to
// wait there for Enter: then it takes that one line and no more.
TEST_F(FlbHost, MessagesLeaveTheHostsInputAloneUnlessAskedToWait) {
    const std::string host = std::string(FLB_HOST) + " --folder " + m_temp.Path("missing/ads") + " pictures";
    const struct {
        std::string wait, typed, read;
    } cases[] = {{"", "hello\n\x04", "host read: hello"}, {"FLB_MESSAGE_WAIT=1 ", "one\ntwo\n\x04", "host read: two"}};
    for (const auto& c : cases) {
        const std::string shown = AtTerminal(c.wait + host + "; read line; echo \"host read: $line\"", c.typed);
        EXPECT_NE(shown.find("Flyerbank: フォルダを作成できません。"), std::string::npos) << shown;
        EXPECT_NE(shown.find(c.read + "\r\n"), std::string::npos) << shown;
        EXPECT_EQ(shown.find("[Enter]") != std::string::npos, !c.wait.empty()) << shown;
    }
}

TEST_F(FlbHost, InterruptCancelsTheUpdate) {
    ServerRun ads;
    ServeDemo(ads, {"--fault", "slow-payload=200", "--log", m_temp.Path("ads.log")});
    Start({"--folder", Ads(), "update", "--user", "u1", "--version", "1.0"});
    EXPECT_TRUE(Eventually([&] { return ReadText(m_temp.Path("ads.log")).find("getdata") != std::string::npos; }));
    m_host.Signal(SIGINT);
    EXPECT_EQ(m_host.Wait(), 4) << m_host.Err();
    EXPECT_EQ(m_host.Out(), "update cancelled\n");
    EXPECT_NE(m_host.Err().find("cancelling the update"), std::string::npos) << m_host.Err();
}

}  // namespace
#endif  // FLB_HOST
