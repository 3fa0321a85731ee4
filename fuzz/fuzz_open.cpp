// Any bytes as a sealed answer of the log server: opening never reads or writes past
// its buffers and gives at most as many bytes as it was given; the in-place form agrees
// with it. Any text comes back from its own sealing, which only ever holds the
// characters the server's check of a sealed text allows.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "viewlog/LogSealer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const char* ctext = text.c_str();  // up to the first NUL, as an answer is read
    const size_t clen = std::strlen(ctext);

    const std::unique_ptr<char[]> opened = OpenText(ctext);
    FUZZ_CHECK(!opened || std::strlen(opened.get()) <= clen);
    std::string inPlace = text;
    const bool ok = OpenString(inPlace);
    FUZZ_CHECK(ok == (opened != nullptr));
    FUZZ_CHECK(ok ? inPlace == opened.get() : inPlace.empty());

    const std::unique_ptr<char[]> sealed = SealText(ctext);
    FUZZ_CHECK(sealed != nullptr);
    const size_t blocks = (clen + 7) / 8;
    FUZZ_CHECK(std::strlen(sealed.get()) == 4 * ((blocks * 8 + 2) / 3));
    for (const char* p = sealed.get(); *p; ++p)
        FUZZ_CHECK((*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z') || (*p >= '0' && *p <= '9') || *p == '-' ||
                   *p == '/' || *p == '=');
    const std::unique_ptr<char[]> back = OpenText(sealed.get());
    FUZZ_CHECK(back && std::strcmp(back.get(), ctext) == 0);
    std::string again = ctext;
    FUZZ_CHECK(SealString(again) && again == sealed.get() && OpenString(again) && again == ctext);
    return 0;
}
