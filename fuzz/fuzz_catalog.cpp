// Loads arbitrary bytes as "Flyerbank.dat" and saves the result: the catalogue file is
// outside data, so neither may overrun a buffer or touch anything but the fuzz folder.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <string>

#include "catalogue/AdCatalog.h"
#include "catalogue/SizeCodec.h"
#include "platform/MessageBox.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string folder = [] {
        char name[] = "/tmp/flb-fuzz-XXXXXX";
        platform::SetMessagePresenter([](unsigned, unsigned, const std::string&) {});
        return std::string(mkdtemp(name)) + "/";
    }();
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::ofstream(folder + "Flyerbank.dat", std::ios::binary) << bytes;
    CAdCatalog catalogue;
    catalogue.Load(folder.c_str());
    catalogue.Save();
    CSizeCodec().Decode(bytes);
    unlink((folder + "Flyerbank.dat").c_str());
    return 0;
}
