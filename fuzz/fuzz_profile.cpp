// Arbitrary bytes as a profile file: every read stays inside its buffer, and what a
// write stores reads back the same after the file has been rewritten.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "platform/Profile.h"

namespace {

// Reads through a buffer with a guard byte past its end.
void CheckGet(const platform::ProfileReader& r, const char* section, const char* key, uint32_t size) {
    std::vector<char> buf(size + 1, '\x5a');
    uint32_t n = r.GetString(section, key, "  dflt  ", buf.data(), size);
    FUZZ_CHECK(buf[size] == '\x5a');
    if (size == 0) {
        FUZZ_CHECK(n == 0);
        return;
    }
    FUZZ_CHECK(n < size && buf[n] == '\0' && std::strlen(buf.data()) == n);
    std::string full;
    if (r.GetFullString(section, key, full)) {
        FUZZ_CHECK(full.compare(0, n, buf.data(), n) == 0 && (n >= size - 1 || full.size() == n));
    } else {
        FUZZ_CHECK(std::strncmp(buf.data(), "  dflt", n) == 0);
    }
    (void)r.GetInt(section, key, -1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz::Scratch() + "p.ini";
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::ofstream(path, std::ios::binary) << bytes;

    // Names taken from the input as well, so the queries hit what the file holds.
    std::vector<std::string> names = {"", "a", "AD0000", "Flyerbank", "Count"};
    size_t start = 0;
    for (size_t i = 0; i <= bytes.size() && names.size() < 24; ++i)
        if (i == bytes.size() || bytes[i] == '\n' || bytes[i] == '=' || bytes[i] == '[' || bytes[i] == ']') {
            std::string name = bytes.substr(start, i - start);
            name.resize(std::strlen(name.c_str()));
            names.push_back(name);
            start = i + 1;
        }

    {
        platform::ProfileReader r(path);
        FUZZ_CHECK(r.SectionCount() == r.SectionNames().size());
        for (const std::string& s : r.SectionNames())
            FUZZ_CHECK(s.find('\0') == std::string::npos);
        for (size_t i = 0; i < names.size(); ++i)
            for (size_t j = 0; j < names.size(); j += 3)
                CheckGet(r, names[i].c_str(), names[j].c_str(), static_cast<uint32_t>((i * 7 + j) % 12));
    }

    // A write into the fuzzed file must read back as written, from a file that no
    // longer holds any line ending other than CR LF.
    const char* value = names.size() > 6 ? names[6].c_str() : "v";
    bool breaks = std::strpbrk(value, "\r\n") != nullptr;
    const std::string section = names.size() > 5 ? names[5] : "s";
    bool ok = platform::WriteProfileString(section.c_str(), "FuzzKey", value, path);
    bool sectionBreaks = section.find_first_of("\r\n") != std::string::npos;
    FUZZ_CHECK(ok != (breaks || sectionBreaks));
    if (ok) {
        platform::ProfileReader r(path);
        std::string back;
        std::string expect = value;
        while (!expect.empty() && (expect[0] == ' ' || expect[0] == '\t')) expect.erase(0, 1);
        while (!expect.empty() && (expect.back() == ' ' || expect.back() == '\t')) expect.pop_back();
        if (expect.size() >= 2 && (expect[0] == '"' || expect[0] == '\'') && expect.back() == expect[0])
            expect = expect.substr(1, expect.size() - 2);
        FUZZ_CHECK(r.GetFullString(section.c_str(), "FuzzKey", back) && back == expect);
        std::ifstream in(path, std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        for (size_t i = 0; i < text.size(); ++i)
            FUZZ_CHECK(text[i] != '\n' || (i > 0 && text[i - 1] == '\r'));
        FUZZ_CHECK(text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0);
        // A normalised file is its own normal form.
        FUZZ_CHECK(platform::WriteProfileString(section.c_str(), "FuzzKey", value, path));
        std::ifstream again(path, std::ios::binary);
        FUZZ_CHECK(std::string((std::istreambuf_iterator<char>(again)), std::istreambuf_iterator<char>()) == text);
    }
    // A session rewrite of the same keys must not fail on a healthy folder.
    platform::ProfileWriter w(path);
    for (size_t i = 0; i + 1 < names.size(); i += 2) w.Write(names[i].c_str(), names[i + 1].c_str(), "x");
    FUZZ_CHECK(w.Commit());
    unlink(path.c_str());
    return 0;
}
