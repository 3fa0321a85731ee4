// Unpacks arbitrary bytes as a downloaded cabinet: whatever the member names say,
// nothing may be written outside the fuzz folder.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <string>

#include "update/Cabinet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string folder = [] {
        char name[] = "/tmp/flb-fuzz-cab-XXXXXX";
        return std::string(mkdtemp(name)) + "/";
    }();
    const std::string path = folder + "0000001.cab";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    std::vector<CString> names;
    if (CCabinet().Extract(path.c_str(), &names))
        for (const CString& n : names)
            if (n.compare(0, folder.size(), folder) != 0 || n.find('/', folder.size()) != CString::npos) abort();
    (void)!system(("rm -rf '" + folder + "'* 2>/dev/null").c_str());
    return 0;
}
