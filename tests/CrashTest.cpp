// A host killed at any moment while it changes the catalogue or updates the ads leaves the
// catalogue whole (the state before the call in flight or after it), every held ad whole,
// and no scratch that the next host does not clear away.
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <random>
#include <sstream>

#include "catalogue/AdCatalog.h"
#include "UpdateFixture.h"

#if defined(CRASH_HOST) && defined(ADS_SERVER)

namespace {

// How many times each test kills its host; the environment may ask for more.
int Kills(const char* variable, int fallback) {
    const char* text = std::getenv(variable);
    return text && std::atoi(text) > 0 ? std::atoi(text) : fallback;
}

// The command line of one crash_host.
std::vector<std::string> HostArgs(std::vector<std::string> args) {
    args.insert(args.begin(), {CRASH_HOST, FLB_LIBRARY});
    return args;
}

struct Stored {
    std::string name, file;
    uint32_t favorite = 0;
    int32_t size = 0;
    bool operator==(const Stored& o) const { return name == o.name && favorite == o.favorite; }
};
using Catalogue = std::map<uint32_t, Stored>;

// The catalogue file as it lies: nullopt when it is cut or not in the written form.
std::optional<Catalogue> ReadCatalogue(const std::string& dat, std::string& why) {
    std::string text;
    const platform::FileRead read = platform::ReadWholeFile(dat, text);
    if (read == platform::FileRead::Missing) return Catalogue();
    platform::ProfileReader file(text, platform::ProfileReader::FromText{});
    std::string version;
    file.GetFullString("Flyerbank", "Version", version);
    const uint32_t count = file.GetInt("Flyerbank", "Count", -1);
    if (read != platform::FileRead::Ok || version != "1.1" || file.SectionCount() != count + 1 ||
        text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) {
        why = text;
        return std::nullopt;
    }
    Catalogue ads;
    for (uint32_t i = 0; i < count; ++i) {
        std::map<std::string, std::string> r = RecordIn(file, AdSection(i));
        if (r.size() != 9) {
            why = AdSection(i) + " lacks a key:\n" + text;
            return std::nullopt;
        }
        ads[std::atoi(r["ID"].c_str())] = {r["Name"], r["File"], static_cast<uint32_t>(std::atol(r["Favorite"].c_str())),
                                           std::atoi(CSizeCodec().Decode(r["Size"]).c_str())};
    }
    return ads;
}

// Temporary catalogue files lying in the folder, by the process that made them.
std::vector<pid_t> TemporaryFiles(const std::string& folder) {
    std::vector<pid_t> pids;
    for (const std::string& name : FilesIn(folder))
        if (name.compare(0, 14, "Flyerbank.dat.") == 0) pids.push_back(std::atoi(name.c_str() + 14));
    return pids;
}

class Crash : public Update {
protected:
    void SetUp() override {
        Update::SetUp();
        m_seed = std::random_device()();
        m_random.seed(m_seed);
    }
    std::string Ad(uint32_t code, const char* extension) const { return Update::Ad(Code7(code) + "." + extension); }
    // A moment to kill at, somewhere in the first `span` after the host said it was ready.
    void SleepUpTo(std::chrono::microseconds span) {
        std::this_thread::sleep_for(std::chrono::microseconds(
            std::uniform_int_distribution<int64_t>(0, span.count())(m_random)));
    }

    unsigned m_seed = 0;
    std::mt19937 m_random;
};

// The catalogue as the host finds it on loading: records whose files are gone drop out.
Catalogue AsLoaded(const Catalogue& ads) {
    Catalogue kept;
    for (const auto& [code, s] : ads)
        if (platform::Exists(s.file)) kept[code] = s;
    return kept;
}

std::string Describe(const Catalogue& ads) {
    std::string text;
    for (const auto& [code, s] : ads) text += std::to_string(code) + ":" + s.name + "/" + std::to_string(s.favorite) + " ";
    return text;
}

// One call as the host announced it, applied to a catalogue.
struct Call {
    char what = 0;
    uint32_t code = 0;
    std::string value;
    Catalogue After(Catalogue ads) const {
        auto it = ads.find(code);
        if (it == ads.end()) return ads;
        if (what == 'X') ads.erase(it);
        else if (what == 'N') it->second.name = value;
        else it->second.favorite = static_cast<uint32_t>(std::stoul(value));
        return ads;
    }
};

TEST_F(Crash, KilledWhileChangingTheCatalogueLeavesItOldOrNew) {
    const int kills = Kills("FLB_CRASH_KILLS", 300);
    SCOPED_TRACE("seed " + std::to_string(m_seed));
    const std::vector<uint32_t> codes{11, 12, 13, 14, 15, 16};
    Catalogue model;
    auto prepare = [&] {
        std::remove(Dat().c_str());
        CAdCatalog catalogue;
        ASSERT_TRUE(catalogue.Load((Ads() + "/").c_str()));
        for (uint32_t code : codes) {
            CAdRecord r(code);
            r.Type = AD_TYPE_PICTURE;
            r.File = Ad(code, "jpg");
            r.Name = "first";
            WriteText(r.File, "picture " + Code7(code));
            ASSERT_TRUE(catalogue.Put(r));
            model[code] = {r.Name, r.File};
        }
    };
    prepare();
    std::vector<std::string> args{Ads(), "change"};
    for (uint32_t code : codes) args.push_back(std::to_string(code));

    int inFlight = 0, cutSaves = 0;
    for (int round = 0; round < kills && !HasFailure(); ++round) {
        if (model.size() < 3) prepare();
        Program host(HostArgs(args));
        ASSERT_TRUE(host.WaitFor("R\n")) << host.Out();
        const pid_t pid = host.Pid();
        SleepUpTo(std::chrono::milliseconds(30));
        host.Kill();

        // Replay what the host said: calls that returned, and the one it was in, if any.
        std::istringstream said(host.Out().substr(host.Out().find("R\n") + 2));
        std::string line;
        std::optional<Call> pending;
        while (std::getline(said, line)) {
            if (line.empty() || said.eof()) break;  // a line the kill cut short says nothing
            if (line[0] == '=') {
                ASSERT_TRUE(pending);
                ASSERT_EQ(line, model.count(pending->code) ? "= 1" : "= 0") << "round " << round << ", the host said:\n" << host.Out();
                model = pending->After(model);
                pending.reset();
                continue;
            }
            Call call;
            std::istringstream fields(line);
            fields >> call.what >> call.code >> call.value;
            pending = call;
        }
        inFlight += pending.has_value();

        std::string why;
        const std::optional<Catalogue> disk = ReadCatalogue(Dat(), why);
        ASSERT_TRUE(disk) << "round " << round << ": a cut catalogue\n" << why;
        const Catalogue found = AsLoaded(*disk);
        const bool old = found == model, changed = pending && found == AsLoaded(pending->After(model));
        ASSERT_TRUE(old || changed) << "round " << round << ": neither the catalogue before the call nor after it\n"
                                    << Describe(found) << " is not " << Describe(model) << "\nthe host said:\n"
                                    << host.Out();
        model = found;
        // What an earlier host left went when this one loaded; one of its own may stay.
        const std::vector<pid_t> left = TemporaryFiles(Ads());
        ASSERT_TRUE(left.empty() || (left.size() == 1 && left[0] == pid)) << "round " << round << ": an earlier host's file stayed";
        cutSaves += !left.empty();
        // Loading clears the host's own file too: every other round the next host must.
        if (round % 2) {
            CAdCatalog loaded;
            ASSERT_TRUE(loaded.Load((Ads() + "/").c_str()));
            EXPECT_EQ(loaded.GetCount(), model.size());
        }
    }
    EXPECT_GT(inFlight, 0) << "no kill landed inside a call";
    RecordProperty("kills_inside_a_call", inFlight);
    RecordProperty("kills_inside_a_save", cutSaves);

    // The next host to change the catalogue clears what the last one left.
    CAdCatalog last;
    ASSERT_TRUE(last.Load((Ads() + "/").c_str()));
    EXPECT_TRUE(TemporaryFiles(Ads()).empty());
}

// One version of the ads the server hands out: a picture and a cabinet movie.
struct Version {
    std::string picture, movie, thumbnail;
    std::string log;
    ServerRun server;
};

class CrashDuringUpdate : public Crash {
protected:
    void SetUp() override {
        Crash::SetUp();
        MakeVersion(m_versions[0], "a", Bytes('a', 3000), Bytes('m', 60000), Bytes('t', 1000));
        MakeVersion(m_versions[1], "b", Bytes('z', 2500), Bytes('M', 50000), Bytes('T', 900));
        // A server with nothing to fetch: an update from it only clears away.
        ASSERT_TRUE(platform::MakeDirectory(m_root.Path("none")));
        WriteText(m_root.Path("none/manifest.txt"), "");
        ASSERT_TRUE(m_nothing.server.Start(ADS_SERVER, {"--content", m_root.Path("none")}));
    }

    void MakeVersion(Version& v, const std::string& name, std::string picture, std::string movie, std::string thumbnail) {
        v.picture = std::move(picture);
        v.movie = std::move(movie);
        v.thumbnail = std::move(thumbnail);
        const std::string dir = m_root.Path(name);
        ASSERT_TRUE(platform::MakeDirectory(dir));
        WriteText(dir + "/pic.jpg", v.picture);
        MakeCabinet(dir + "/movie.cab", {{"movie.asf", v.movie}, {"thumb.jpg", v.thumbnail}});
        WriteText(dir + "/manifest.txt", "101\tjpg\t1\tpicture\thttp://example.test/101\tpic.jpg\n"
                                         "201\tcab\t2\tmovie\thttp://example.test/201\tmovie.cab\n");
        v.log = dir + ".log";
        ASSERT_TRUE(v.server.Start(ADS_SERVER, {"--content", dir, "--log", v.log}));
    }
    // The registry names the server of `v` for the next update.
    void Serve(const Version& v) { PointAtAdServer(v.server.Url("ads/")); }
    // Which version a held file is whole in; -1 for neither.
    int VersionOf(const std::string& path, std::string Version::*part) const {
        const std::string text = ReadText(path);
        for (int i = 0; i < 2; ++i)
            if (text == m_versions[i].*part) return i;
        return -1;
    }
    int DataRequests(const Version& v) const { return Count(ReadText(v.log), "getdata.php3"); }
    // Waits until the server of `v` has answered more than `before` data requests.
    bool AwaitDataRequest(const Version& v, int before) const {
        return Eventually([&] { return DataRequests(v) > before; });
    }
    // Updates to the end with the server of `v`; how long it wrote files once the first
    // ad had arrived (its last 200 ms it only shows its final text).
    std::chrono::microseconds UpdateWhole(const Version& v) {
        Serve(v);
        const int before = DataRequests(v);
        Program host(HostArgs({Ads(), "update"}));
        EXPECT_TRUE(host.WaitFor("R\n")) << host.Out();
        EXPECT_TRUE(AwaitDataRequest(v, before));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(host.WaitFor("D ")) << host.Out();
        const auto took = std::chrono::steady_clock::now() - start - 200ms;
        EXPECT_TRUE(host.WaitFor("\n"));
        EXPECT_NE(host.Out().find("D 0 0\n"), std::string::npos) << host.Out();
        return std::max(std::chrono::microseconds(10ms), std::chrono::duration_cast<std::chrono::microseconds>(took));
    }

    Version m_versions[2];
    Version m_nothing;
};

TEST_F(CrashDuringUpdate, KilledWhileReplacingHeldAdsLeavesEachWholeAndNoScratch) {
    const int kills = Kills("FLB_UPDATE_KILLS", 40);
    SCOPED_TRACE("seed " + std::to_string(m_seed));
    const auto span = UpdateWhole(m_versions[0]);
    // Marked favourites, to see that the records survive; with no size, so that every
    // update fetches both ads again.
    auto outdate = [&] {
        CAdCatalog catalogue;
        ASSERT_TRUE(catalogue.Load((Ads() + "/").c_str()));
        for (DWORD code : {101u, 201u}) {
            ASSERT_TRUE(catalogue.SetFavorite(code, 1));
            CAdRecord r;
            ASSERT_TRUE(catalogue.Lookup(code, r));
            r.Size = 0;
            ASSERT_TRUE(catalogue.Put(r));
        }
    };
    outdate();
    const std::set<std::string> whole{"Flyerbank.dat", "0000101.jpg", "0000201.asf", "0000201.jpg"};
    ASSERT_EQ(FilesIn(Ads()), whole);

    int scratchLeft = 0;
    for (int round = 0; round < kills && !HasFailure(); ++round) {
        // Always the version not held, so each file read back tells old from new.
        const int next = 1 - std::max(0, VersionOf(Ad(101, "jpg"), &Version::picture));
        outdate();
        Serve(m_versions[next]);
        const int before = DataRequests(m_versions[next]);
        Program host(HostArgs({Ads(), "update"}));
        ASSERT_TRUE(host.WaitFor("R\n")) << host.Out();
        const pid_t pid = host.Pid();
        ASSERT_TRUE(AwaitDataRequest(m_versions[next], before)) << host.Out();
        SleepUpTo(span);
        host.Kill();

        const std::string at = "round " + std::to_string(round) + ", the host said:\n" + host.Out();
        const int picture = VersionOf(Ad(101, "jpg"), &Version::picture);
        const int movie = VersionOf(Ad(201, "asf"), &Version::movie);
        ASSERT_NE(picture, -1) << at;
        ASSERT_NE(movie, -1) << at;
        ASSERT_NE(VersionOf(Ad(201, "jpg"), &Version::thumbnail), -1) << at;
        std::string why;
        const std::optional<Catalogue> disk = ReadCatalogue(Dat(), why);
        ASSERT_TRUE(disk) << at << "\na cut catalogue\n" << why;
        ASSERT_EQ(disk->size(), 2u) << at;
        for (const auto& [code, s] : *disk) {
            EXPECT_EQ(s.favorite, 1u) << code << " " << at;
            ASSERT_TRUE(platform::Exists(s.file)) << s.file << " " << at;
        }
        // The record is the old one (no size) or names the new file with its size: it never
        // claims a file that is not on the disk yet.
        const Version& fetched = m_versions[next];
        for (auto [code, size, now] : {std::make_tuple(101u, fetched.picture.size(), picture),
                                       std::make_tuple(201u, fetched.movie.size(), movie)}) {
            const int32_t stored = disk->at(code).size;
            EXPECT_TRUE(stored == 0 || (stored == static_cast<int32_t>(size) && now == next)) << code << " " << at;
        }
        const std::vector<pid_t> temporary = TemporaryFiles(Ads());
        ASSERT_TRUE(temporary.empty() || (temporary.size() == 1 && temporary[0] == pid)) << at;
        // The next update clears what this one left, even with nothing to fetch.
        if (FilesIn(Ads()) == whole) continue;
        ++scratchLeft;
        Serve(m_nothing);
        Program cleaner(HostArgs({Ads(), "update"}));
        ASSERT_TRUE(cleaner.WaitFor("D 0 0\n")) << cleaner.Out();
        ASSERT_EQ(FilesIn(Ads()), whole) << at;
    }
    RecordProperty("kills_leaving_scratch", scratchLeft);
    EXPECT_EQ(Messages(), std::vector<unsigned>{});
}

}  // namespace

#endif
