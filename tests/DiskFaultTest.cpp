// A disk that fails (a full disk, a failing device, a folder or file that refuses to be
// written) while the catalogue is saved or an update writes its ads: the message that
// says so once, the failure reported to the caller, and nothing stored before lost.
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>

#include <cstring>
#include <map>
#include <optional>

#include "catalogue/AdCatalog.h"
#include "frame/App.h"
#include "platform/CatalogLock.h"
#include "platform/posix/FileFaults.h"
#include "update/UpdateThread.h"
#include "UpdateFixture.h"

#ifdef ADS_SERVER

namespace {

using platform::test::FileOp;

enum class Subject { SetName, SetFavorite, Remove, Upgrade, PictureUpdate, CabinetUpdate, MovieRenamed };
const char* const kSubjectNames[] = {"SetName", "SetFavorite", "Remove", "Upgrade", "PictureUpdate",
                                     "CabinetUpdate", "MovieRenamed"};

enum class Disk { Sound, Injected, Full, ReadOnlyFolder, ReadOnlyCatalogue, ReadOnlyAdFiles };

struct Case {
    Subject subject;
    Disk disk;
    unsigned message;  // 0: the operation succeeds
    FileOp op = FileOp::Create;
    int nth = 0;       // below 0: counted from the last call of the operation
    int error = 0;
};

std::string Describe(const Case& c) {
    static const char* const disks[] = {"sound disk", "injected", "full disk", "read-only folder", "read-only catalogue",
                                        "read-only ad files"};
    static const char* const ops[] = {"create", "write", "sync", "rename", "remove"};
    std::string text = std::string(kSubjectNames[static_cast<int>(c.subject)]) + ", " + disks[static_cast<int>(c.disk)];
    if (c.disk == Disk::Injected)
        text += std::string(" ") + ops[static_cast<int>(c.op)] + " #" + std::to_string(c.nth) + " " + std::strerror(c.error);
    return text;
}

std::vector<Case> Cases() {
    std::vector<Case> cases;
    // Every change of the catalogue and the upgrade of a 1.0 file: one save each.
    for (Subject s : {Subject::SetName, Subject::SetFavorite, Subject::Remove, Subject::Upgrade}) {
        for (auto [op, error] : {std::pair{FileOp::Create, ENOSPC}, std::pair{FileOp::Write, ENOSPC},
                                 std::pair{FileOp::Write, EIO}, std::pair{FileOp::Sync, EIO},
                                 std::pair{FileOp::Rename, EACCES}})
            cases.push_back({s, Disk::Injected, 20002, op, 1, error});
        for (Disk d : {Disk::Full, Disk::ReadOnlyFolder}) cases.push_back({s, d, 20002});
        for (Disk d : {Disk::ReadOnlyCatalogue, Disk::ReadOnlyAdFiles}) cases.push_back({s, d, 0});
    }
    // A file that cannot be deleted stays; the ad is removed all the same.
    cases.push_back({Subject::Remove, Disk::Injected, 0, FileOp::Remove, 1, EACCES});
    // The picture's file first, then the catalogue.
    for (FileOp op : {FileOp::Create, FileOp::Write, FileOp::Sync, FileOp::Rename}) {
        cases.push_back({Subject::PictureUpdate, Disk::Injected, 20003, op, 1, op == FileOp::Sync ? EIO : ENOSPC});
        cases.push_back({Subject::PictureUpdate, Disk::Injected, 20002, op, 2, EIO});
    }
    // The cabinet's scratch folder and file, its members (each created, written and
    // flushed), the members renamed to the ad's names, then the catalogue. The scratch
    // cabinet itself is not flushed: it replaces nothing.
    using T = std::tuple<FileOp, int, unsigned>;
    for (auto [op, nth, message] : {T{FileOp::Create, 1, 20003}, T{FileOp::Create, 2, 20003}, T{FileOp::Write, 1, 20003},
                                    T{FileOp::Create, 3, 20000}, T{FileOp::Create, 4, 20000}, T{FileOp::Write, 2, 20000},
                                    T{FileOp::Sync, 1, 20000}, T{FileOp::Sync, 2, 20000}, T{FileOp::Sync, -1, 20002},
                                    T{FileOp::Rename, 1, 20003}, T{FileOp::Rename, 2, 20003},
                                    T{FileOp::Create, -1, 20002}, T{FileOp::Write, -1, 20002},
                                    T{FileOp::Rename, -1, 20002}, T{FileOp::Remove, 1, 0}, T{FileOp::Remove, 3, 0}})
        cases.push_back({Subject::CabinetUpdate, Disk::Injected, message, op, nth, ENOSPC});
    for (Subject s : {Subject::PictureUpdate, Subject::CabinetUpdate}) {
        cases.push_back({s, Disk::Full, s == Subject::PictureUpdate ? 20003u : 20000u});
        cases.push_back({s, Disk::ReadOnlyFolder, 20003});
        for (Disk d : {Disk::ReadOnlyCatalogue, Disk::ReadOnlyAdFiles}) cases.push_back({s, d, 0});
    }
    // A movie that arrives under another extension: the old file goes only once the
    // catalogue names the new one.
    cases.push_back({Subject::MovieRenamed, Disk::Injected, 20002, FileOp::Create, -1, ENOSPC});
    cases.push_back({Subject::MovieRenamed, Disk::Sound, 0});
    return cases;
}

// Root passes every permission check; while this lives the calling thread, and the
// threads it starts, are held to the file modes like any other user.
class WithoutRootOverride {
public:
    WithoutRootOverride() {
        if (geteuid() != 0 || syscall(SYS_capget, &m_header, m_saved) != 0) return;
        __user_cap_data_struct lowered[2] = {m_saved[0], m_saved[1]};
        for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
            lowered[cap / 32].effective &= ~(1u << (cap % 32));
        m_lowered = syscall(SYS_capset, &m_header, lowered) == 0;
    }
    ~WithoutRootOverride() {
        if (m_lowered) syscall(SYS_capset, &m_header, m_saved);
    }

private:
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2] = {};
    bool m_lowered = false;
};

// Files may grow to `limit` bytes while this lives; beyond, a write fails as on a full disk.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t limit) {
        getrlimit(RLIMIT_FSIZE, &m_saved);
        m_handler = signal(SIGXFSZ, SIG_IGN);
        struct rlimit tight = m_saved;
        tight.rlim_cur = limit;
        setrlimit(RLIMIT_FSIZE, &tight);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &m_saved);
        signal(SIGXFSZ, m_handler);
    }

private:
    struct rlimit m_saved;
    void (*m_handler)(int);
};

struct Held {
    std::string old, fresh;  // the file before, and as the server sends it
};

// The update runs in this process, where the file layer can be made to fail.
class DiskFaults : public Update {
protected:
    void SetUp() override {
        Update::SetUp();
        // Packed, so that a disk with room for the cabinet may lack it for the movie.
        MakeCabinet(Content("movie201.cab"), {{"movie.asf", m_movie}, {"thumb.jpg", m_thumb}}, true);
        WriteText(Content("manifest.txt"), "101\tjpg\t1\tpicture\thttp://example.test/101\tpic101.jpg\n"
                                           "201\tcab\t2\tmovie\thttp://example.test/201\tmovie201.cab\n");
        StartServer();
        theApp.m_strRegistryKey = LoadResString(IDS_REGISTRY_KEY);
        m_cabinetSize = ReadText(Content("movie201.cab")).size();
    }
    void TearDown() override {
        Update::TearDown();
        platform::test::ClearFileFaults();
        chmod(Ads().c_str(), 0755);
        theApp.m_strFolder.clear();
    }

    std::string Folder() const { return Ads() + "/"; }

    // Two held ads, favourites: a picture and a movie with its thumbnail. The update
    // subjects find the one they fetch out of date.
    void Prepare(Subject s) {
        ASSERT_TRUE(platform::RemoveFolderAndFiles(Ads()) && platform::MakeDirectory(Ads()));
        const bool renamed = s == Subject::MovieRenamed;
        m_movieFile = Ad(renamed ? "0000201.wmv" : "0000201.asf");
        m_held = {{"0000101.jpg", {Bytes('o', 3000), m_pic101}}, {"0000201.jpg", {Bytes('q', 700), m_thumb}}};
        if (renamed) m_held["0000201.wmv"] = {Bytes('p', 50000), ""};  // "": no such file
        m_held["0000201.asf"] = {renamed ? "" : Bytes('p', 50000), m_movie};
        for (const auto& [name, held] : m_held)
            if (!held.old.empty()) WriteText(Ad(name), held.old);
        // The lock files of a folder in use before, so a read-only folder still locks.
        for (const char* lock : {"Flyerbank.lock", "Flyerbank.update.lock"})
            platform::CatalogLock made(Ad(lock), platform::CatalogLock::kTry);
        if (s == Subject::Upgrade) {
            WriteText(Dat(), CatalogueText({{101, Ad("0000101.jpg"), "ad", 0, "", 1}, {201, m_movieFile, "ad", 1, "", 1}},
                                           "1.0"));
        } else {
            CAdCatalog catalogue;
            ASSERT_TRUE(catalogue.Load(Folder().c_str()));
            for (auto [code, type, file] : {std::tuple{101u, AD_TYPE_PICTURE, Ad("0000101.jpg")},
                                            {201u, AD_TYPE_MOVIE, m_movieFile}}) {
                CAdRecord r(code);
                r.Type = type;
                r.File = file;
                r.Name = "ad";
                r.Favorite = 1;
                const bool fetched = (code == 101) == (s == Subject::PictureUpdate) ||
                                     (code == 201 && (s == Subject::CabinetUpdate || renamed));
                r.Size = fetched && s >= Subject::PictureUpdate ? 0 : static_cast<int32_t>(ReadText(file).size());
                ASSERT_TRUE(catalogue.Put(r));
            }
        }
        m_before = ReadText(Dat());
        if (s != Subject::Upgrade) {
            ASSERT_TRUE(theApp.m_catalogue.Load(Folder().c_str()));
        }
        theApp.m_strFolder = Folder();
    }

    // The subject's operation: 1 when it reports success.
    int Run(Subject s) {
        switch (s) {
            case Subject::SetName: return theApp.m_catalogue.SetName(101, "renamed");
            case Subject::SetFavorite: return theApp.m_catalogue.SetFavorite(101, 7);
            case Subject::Remove: return theApp.m_catalogue.Remove(201);
            case Subject::Upgrade: return theApp.m_catalogue.Load(Folder().c_str());
            default: break;
        }
        if (!StartUpdate("u1", m_window.Handle(), 0, "1.0")) return -1;
        const HostWindow::Record r = m_window.Wait();
        WaitForUpdateWorkers();
        return r.arrived && r.message == 0x8001 && r.lParam == 0 ? r.wParam == 0 : -1;
    }

    // How many calls of `op` the subject makes on a sound disk.
    unsigned Calls(Subject s, FileOp op) {
        Prepare(s);
        platform::test::FailFileOp(op, 0, 0);
        Run(s);
        const unsigned calls = platform::test::FileOpCalls(op);
        platform::test::ClearFileFaults();
        return calls;
    }

    void Check(const Case& c, int result, const std::vector<unsigned>& shown) {
        const bool fails = c.message != 0;
        EXPECT_EQ(result, fails ? 0 : 1);
        EXPECT_EQ(shown, fails ? std::vector<unsigned>{c.message} : std::vector<unsigned>{});
        // The debug log names a failed write of an ad with the system's error.
        const std::string trail = Trail();
        if (c.disk == Disk::Injected && c.op == FileOp::Write && c.message == IDP_AD_FILE_SAVE) {
            EXPECT_NE(trail.find("\tfailed\tos_error=" + std::to_string(c.error) + "\n"), std::string::npos) << trail;
        }
        if (fails) {
            EXPECT_EQ(ReadText(Dat()), m_before) << "the catalogue changed";
        }
        // Nothing but the catalogue, the lock files and the ads' files: no scratch.
        for (const std::string& name : FilesIn(Folder()))
            EXPECT_TRUE(name == "Flyerbank.dat" || m_held.count(name)) << name;
        // Each file as it was, or for an update whole in its new form; Remove takes the
        // movie's, unless the folder or the delete refused.
        for (const auto& [name, held] : m_held) {
            const std::string now = platform::Exists(Ad(name)) ? ReadText(Ad(name)) : "";
            if (c.subject == Subject::Remove && name.compare(0, 7, "0000201") == 0) {
                const bool kept = c.disk == Disk::ReadOnlyFolder || (name == "0000201.asf" && c.op == FileOp::Remove);
                EXPECT_EQ(now, kept ? held.old : "") << name;
            } else if (c.subject >= Subject::PictureUpdate) {
                EXPECT_TRUE(now == held.old || now == held.fresh) << name << " is neither old nor new";
            } else {
                EXPECT_EQ(now, held.old) << name;
            }
        }
        CAdCatalog loaded;
        EXPECT_TRUE(loaded.Load(Folder().c_str()));
        CAdRecord picture, movie;
        EXPECT_TRUE(loaded.Lookup(101, picture));
        EXPECT_EQ(picture.Favorite, fails || c.subject != Subject::SetFavorite ? 1 : 7);
        const bool removed = c.subject == Subject::Remove && (!fails || !platform::Exists(m_movieFile));
        ASSERT_EQ(loaded.Lookup(201, movie), !removed);
        if (!removed) {
            EXPECT_EQ(movie.Favorite, 1);
            if (fails) {
                EXPECT_EQ(movie.File, m_movieFile);
            }
        }
        if (fails) return;
        switch (c.subject) {
            case Subject::SetName: EXPECT_EQ(picture.Name, "renamed"); break;
            case Subject::Upgrade: EXPECT_NE(ReadText(Dat()).find("Version=1.1"), std::string::npos); break;
            case Subject::PictureUpdate:
                EXPECT_EQ(ReadText(Ad("0000101.jpg")), m_held["0000101.jpg"].fresh);
                EXPECT_EQ(picture.Size, static_cast<int32_t>(m_pic101.size()));
                break;
            case Subject::CabinetUpdate:
            case Subject::MovieRenamed:
                EXPECT_EQ(movie.File, Ad("0000201.asf"));
                EXPECT_FALSE(platform::Exists(Ad("0000201.wmv"))) << "the old movie stays";
                EXPECT_EQ(ReadText(movie.File), m_held["0000201.asf"].fresh);
                EXPECT_EQ(ReadText(Ad("0000201.jpg")), m_held["0000201.jpg"].fresh);
                EXPECT_EQ(movie.Size, static_cast<int32_t>(m_movie.size()));
                break;
            default: break;
        }
    }

    std::map<std::string, Held> m_held;
    std::string m_movieFile, m_before;
    size_t m_cabinetSize = 0;
};

TEST_F(DiskFaults, EachFailureIsToldOnceAndLosesNothingStored) {
    std::map<std::pair<Subject, FileOp>, unsigned> calls;
    for (Case c : Cases()) {
        if (c.nth < 0) {
            auto key = std::make_pair(c.subject, c.op);
            if (!calls.count(key)) calls[key] = Calls(c.subject, c.op);
            c.nth += static_cast<int>(calls[key]) + 1;
        }
        SCOPED_TRACE(Describe(c));
        ASSERT_TRUE(c.disk != Disk::Injected || c.nth > 0);
        Prepare(c.subject);
        if (HasFatalFailure()) return;
        switch (c.disk) {
            case Disk::ReadOnlyCatalogue: chmod(Dat().c_str(), 0444); break;
            case Disk::ReadOnlyAdFiles:
                for (const auto& held : m_held) chmod(Ad(held.first).c_str(), 0444);
                chmod(m_movieFile.c_str(), 0444);
                break;
            default: break;
        }
        int result;
        MessageRecorder messages;
        {
            std::optional<WithoutRootOverride> plain;
            std::optional<FileSizeLimit> limit;
            if (c.disk == Disk::Injected) platform::test::FailFileOp(c.op, static_cast<unsigned>(c.nth), c.error);
            if (c.disk == Disk::ReadOnlyFolder) {
                chmod(Ads().c_str(), 0555);
                plain.emplace();
            }
            // Room for the cabinet, not for the movie in it; for nothing a catalogue holds.
            if (c.disk == Disk::Full)
                limit.emplace(c.subject == Subject::CabinetUpdate ? (m_cabinetSize + m_movie.size()) / 2
                              : c.subject == Subject::PictureUpdate ? 1000 : 16);
            result = Run(c.subject);
            if (c.disk == Disk::Injected) {
                EXPECT_GE(platform::test::FileOpCalls(c.op), static_cast<unsigned>(c.nth)) << "no such call";
            }
            platform::test::ClearFileFaults();
        }
        chmod(Ads().c_str(), 0755);
        Check(c, result, messages.Ids());
    }
}

}  // namespace

#endif
