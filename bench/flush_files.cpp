// The update's floor for durability: writes each file of SRC into DST as the update
// must (whole, flushed to the disk, then renamed into place) and prints the seconds.
// With --catalogue, each file is followed by a catalogue of one more record, saved as the
// update saves it (flushed, renamed over the last, the folder flushed).
//   flush_files [--catalogue] SRC DST
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

bool Replace(const std::string& path, const std::string& bytes) {
    const std::string part = path + ".part";
    int fd = open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) || fsync(fd) != 0 ||
        close(fd) != 0 || rename(part.c_str(), path.c_str()) != 0) {
        std::perror(part.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const bool catalogue = argc == 4 && std::string(argv[1]) == "--catalogue";
    if (argc != 3 + catalogue) {
        std::fprintf(stderr, "usage: flush_files [--catalogue] SRC DST\n");
        return 2;
    }
    const std::string src = argv[1 + catalogue], dst = argv[2 + catalogue];
    std::vector<std::pair<std::string, std::string>> files;
    DIR* dir = opendir(src.c_str());
    if (!dir) {
        std::perror(src.c_str());
        return 1;
    }
    while (dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::ifstream in(src + "/" + name, std::ios::binary);
        files.emplace_back(name, std::string(std::istreambuf_iterator<char>(in), {}));
    }
    closedir(dir);

    const auto start = std::chrono::steady_clock::now();
    std::string records;
    for (const auto& [name, bytes] : files) {
        if (!Replace(dst + "/" + name, bytes)) return 1;
        if (!catalogue) continue;
        records.append(120, 'x');  // about what a record takes in the file
        if (!Replace(dst + "/Flyerbank.dat", records)) return 1;
        const int dir = open(dst.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0 || fsync(dir) != 0 || close(dir) != 0) return 1;
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("%.6f\n", took.count());
    return 0;
}
