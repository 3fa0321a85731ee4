// The sealing's Base64: decoding any text stays within its limit, and every byte string
// comes back from its own encoding, also with white space strewn through it. Encoding
// fits the smallest buffer it accepts and refuses one byte less, writing nothing past it.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "viewlog/Base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const CBase64 base64;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const char* ctext = text.c_str();  // up to the first NUL, as an answer is read
    const size_t clen = std::strlen(ctext);

    // The limit from the input too, so small and non-positive limits get their turn.
    const int limit = size > 0 ? static_cast<int>(data[0]) - 8 : 0;
    std::vector<unsigned char> out(limit > 0 ? static_cast<size_t>(limit) : 1);
    const int n = base64.Decode(ctext, out.data(), limit);
    FUZZ_CHECK(n >= -1 && (limit <= 0 || n < limit) && static_cast<size_t>(n < 0 ? 0 : n) <= clen);

    // Smallest capacity: four spare bytes before every group, and after a whole last
    // group one more check before the NUL.
    const size_t chars = 4 * ((size + 2) / 3);
    const size_t capacity = chars + (size % 3 == 0 ? 5 : 1);
    std::vector<char> enc(capacity + 1, '\x5a');
    FUZZ_CHECK(base64.Encode(data, size, enc.data(), capacity));
    FUZZ_CHECK(std::strlen(enc.data()) == chars && enc[capacity] == '\x5a');
    for (size_t i = 0; i < chars; ++i)
        FUZZ_CHECK(std::isalnum(static_cast<unsigned char>(enc[i])) || enc[i] == '-' || enc[i] == '/' || enc[i] == '=');
    std::vector<char> small(capacity, '\x5a');
    FUZZ_CHECK(!base64.Encode(data, size, small.data(), capacity - 1) && small[0] == '\0' && small[capacity - 1] == '\x5a');

    std::vector<unsigned char> back(size + 1);
    FUZZ_CHECK(base64.Decode(enc.data(), back.data(), static_cast<int>(size + 1)) == static_cast<int>(size));
    FUZZ_CHECK(std::memcmp(back.data(), data, size) == 0);
    // White space anywhere in the text is skipped.
    std::string spaced;
    for (size_t i = 0; i < chars; ++i) spaced.append(1, enc[i]).append(i % (1 + data[i % size] % 5) ? "" : " \r\n\t");
    FUZZ_CHECK(base64.Decode(spaced.c_str(), back.data(), static_cast<int>(size + 1)) == static_cast<int>(size));
    FUZZ_CHECK(std::memcmp(back.data(), data, size) == 0);
    return 0;
}
