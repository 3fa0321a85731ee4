// The catalogue's size codec: any text decodes without reading past its end to a text
// without a NUL, and any text without a NUL comes back from its own encoding, whatever
// the salt, in the encoder's alphabet and length.
#include <cstdint>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "catalogue/SizeCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const CSizeCodec codec;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string decoded = codec.Decode(bytes);
    FUZZ_CHECK(decoded.find('\0') == std::string::npos);
    FUZZ_CHECK(decoded.size() <= (size + 3) / 4 * 3);

    if (size < sizeof(unsigned)) return 0;
    unsigned seed;
    std::memcpy(&seed, data, sizeof seed);
    const std::string text = bytes.substr(sizeof seed).c_str();
    const std::string encoded = codec.Encode(text, seed);
    size_t n = text.size() + 1;
    n += (3 - n % 3) % 3;
    FUZZ_CHECK(encoded.size() == (n + 3) / 3 * 4);
    FUZZ_CHECK(encoded[0] == '0');
    for (char c : encoded) FUZZ_CHECK(c >= '0' && c <= 'o');
    FUZZ_CHECK(codec.Decode(encoded) == text);
    return 0;
}
