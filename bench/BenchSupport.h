// An ad folder for the benches: payload files and a catalogue file that names them.
#pragma once
#ifdef _WIN32
#include <process.h>
#else
#include <stdlib.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "catalogue/AdRecord.h"
#include "catalogue/SizeCodec.h"
#include "platform/Files.h"
#include "platform/Profile.h"

namespace bench {

// Removed with its files when the bench ends.
class AdFolder {
public:
    AdFolder() {
#ifdef _WIN32
        // No OS header here: the core's own types would clash with it.
        const char* temp = std::getenv("TEMP");
        for (unsigned i = static_cast<unsigned>(_getpid());; ++i) {
            const std::string name = std::string(temp ? temp : ".") + "\\flb-bench-" + std::to_string(i);
            if (platform::MakeDirectory(name)) {
                m_path = name + "\\";
                break;
            }
            if (!platform::Exists(name)) std::abort();
        }
#else
        char name[] = "/tmp/flb-bench-XXXXXX";
        if (!mkdtemp(name)) std::abort();
        m_path = std::string(name) + "/";
#endif
    }
    ~AdFolder() { platform::RemoveFolderAndFiles(m_path.substr(0, m_path.size() - 1)); }
    AdFolder(const AdFolder&) = delete;
    AdFolder& operator=(const AdFolder&) = delete;

    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

// The i-th of n ads: codes from 1000001, one movie in six (40 of a full 240), ties in all
// three order keys among the rest.
inline CAdRecord Ad(const std::string& folder, unsigned i) {
    CAdRecord r(1000001 + i);
    r.Type = i % 6 == 0 ? AD_TYPE_MOVIE : AD_TYPE_PICTURE;
    char file[32];
    std::snprintf(file, sizeof file, "%07u.%s", static_cast<unsigned>(r.ID), r.Type ? "wmv" : "jpg");
    r.File = folder + file;
    r.Name = "an ad with a name of a usual length " + std::to_string(i);
    r.URL = "http://ads.example/jump?code=" + std::to_string(r.ID);
    r.Priority = static_cast<int32_t>(i % 10);
    r.Time = i % 13 == 0 ? 0 : 1500000000u + i % 500;
    r.Size = 12345 + static_cast<int32_t>(i);
    return r;
}

// Writes n payload files and the catalogue file of their ads. Favourites, when asked, let a
// catalogue hold more than a full one: pruning never deletes them. With shared files, all
// pictures name one file and all movies another, for benches that never look at the files:
// a hundred thousand of them would take the bench longer to make than to measure.
inline void WriteCatalogue(const std::string& folder, unsigned n, bool favourites, bool sharedFiles = false) {
    platform::ProfileWriter w(folder + "Flyerbank.dat");
    w.Write("Flyerbank", "Version", "1.1");
    w.Write("Flyerbank", "Count", std::to_string(n).c_str());
    char section[16];
    for (unsigned i = 0; i < n; ++i) {
        CAdRecord r = Ad(folder, i);
        if (sharedFiles) r.File = folder + (r.Type ? "movie.wmv" : "picture.jpg");
        // Not synced: they need to exist, not to last.
        if (!sharedFiles || i < 2) {
            std::FILE* f = std::fopen(r.File.c_str(), "wb");
            if (!f || std::fputs("ad", f) < 0 || std::fclose(f) != 0) std::abort();
        }
        std::snprintf(section, sizeof section, "AD%04u", i);
        w.Write(section, "Name", r.Name.c_str());
        w.Write(section, "File", r.File.c_str());
        w.Write(section, "ID", std::to_string(r.ID).c_str());
        w.Write(section, "Type", std::to_string(r.Type).c_str());
        w.Write(section, "URL", r.URL.c_str());
        w.Write(section, "Time", std::to_string(r.Time).c_str());
        w.Write(section, "Favorite", favourites ? "1" : "0");
        w.Write(section, "Priority", std::to_string(r.Priority).c_str());
        w.Write(section, "Size", CSizeCodec().Encode(std::to_string(r.Size), 1).c_str());
    }
    if (!w.Commit()) std::abort();
}

// One key of a catalogue file.
struct Key {
    std::string section, name, value;
};

// Every key of the catalogue file at `path` as our save wrote it, in file order.
inline std::vector<Key> KeysOf(const std::string& path) {
    static const char* const kEntryKeys[] = {"Name", "File", "ID", "Type", "URL", "Time", "Favorite", "Priority", "Size"};
    platform::ProfileReader file(path);
    std::vector<Key> keys;
    for (const std::string& section : file.SectionNames()) {
        std::vector<const char*> names;
        if (section == "Flyerbank") names = {"Version", "Count"};
        else names.assign(std::begin(kEntryKeys), std::end(kEntryKeys));
        for (const char* name : names) {
            Key k{section, name, ""};
            if (!file.GetFullString(section.c_str(), name, k.value)) std::abort();
            keys.push_back(std::move(k));
        }
    }
    return keys;
}

}  // namespace bench
