// Writes the seeds of fuzz_cabinet into the folder given: the good and damaged cabinets
// of the test suite, and, where gcab is installed, the same movie and thumbnail packed
// compressed by it. The seeds are committed; run this only to change them:
//   build-fuzz/fuzz/make_cabinet_seeds fuzz/corpus/fuzz_cabinet
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

#include "CabinetBuilder.h"
#include "DamagedCabinets.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const std::string folder = std::filesystem::absolute(argv[1]).string();
    for (const DamagedCabinet& c : DamagedCabinets()) {
        std::ofstream out(folder + "/" + c.name + ".cab", std::ios::binary | std::ios::trunc);
        out.write(c.bytes.data(), static_cast<std::streamsize>(c.bytes.size()));
        if (!out) {
            std::fprintf(stderr, "cannot write %s/%s.cab\n", folder.c_str(), c.name);
            return 1;
        }
    }
    // The movie's type decides: a program is refused, a video of another kind is taken.
    for (const auto& [name, movie] : {std::pair<const char*, const char*>{"program-as-movie", "evil.exe"},
                                      {"other-video", "clip.mp4"}}) {
        const std::string bytes = BuildCabinet({{movie, SampleMovie()}, {"thumb.jpg", SampleThumbnail()}});
        std::ofstream(folder + "/" + name + ".cab", std::ios::binary | std::ios::trunc) << bytes;
    }
    if (std::system("command -v gcab >/dev/null 2>&1") != 0) return 0;
    char work[] = "/tmp/flb-cab-seeds-XXXXXX";
    if (!mkdtemp(work)) return 1;
    std::ofstream(std::string(work) + "/movie.asf", std::ios::binary) << SampleMovie();
    std::ofstream(std::string(work) + "/thumb.jpg", std::ios::binary) << SampleThumbnail();
    const std::string command = std::string("cd '") + work + "' && gcab -c -z packed.cab movie.asf thumb.jpg && mv packed.cab '" +
                                folder + "/compressed.cab'; rm -rf '" + work + "'";
    return std::system(command.c_str()) == 0 ? 0 : 1;
}
