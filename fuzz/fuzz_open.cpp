// Arbitrary bytes into everything that reads a server's answer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "viewlog/Base64.h"
#include "viewlog/LogSealer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    const char* ctext = text.c_str();   // up to the first NUL, as a server answer is read
    size_t clen = std::strlen(ctext);

    // Decode into a buffer of exactly the limit, with the limit taken from the
    // input too so small and non-positive limits get exercised.
    CBase64 base64;
    int limit = size > 0 ? static_cast<int>(data[0]) - 8 : 0;
    std::unique_ptr<unsigned char[]> out(new unsigned char[limit > 0 ? limit : 1]);
    int n = base64.Decode(ctext, out.get(), limit);
    if (n < -1 || (limit > 0 && n >= limit) || static_cast<size_t>(n < 0 ? 0 : n) > clen)
        abort();

    std::unique_ptr<char[]> opened = OpenText(ctext);
    if (opened && std::strlen(opened.get()) > clen)
        abort();

    std::string s = text;
    bool ok = OpenString(s);
    if (ok != (opened != nullptr) || (ok && s != opened.get()) || (!ok && !s.empty()))
        abort();

    // The bytes as a plain text must come back from their own sealed form.
    std::unique_ptr<char[]> sealed = SealText(ctext);
    if (!sealed)
        abort();
    std::unique_ptr<char[]> back = OpenText(sealed.get());
    if (!back || std::strcmp(back.get(), ctext) != 0)
        abort();

    // Encode into an exact-size buffer of the smallest capacity it accepts:
    // four spare bytes before every group, and a group of three is followed
    // by one more check before the NUL.
    size_t chars = 4 * ((size + 2) / 3);
    size_t capacity = chars + (size % 3 == 0 ? 5 : 1);
    std::unique_ptr<char[]> enc(new char[capacity]);
    if (!base64.Encode(data, size, enc.get(), capacity) || std::strlen(enc.get()) != chars)
        abort();
    if (base64.Encode(data, size, enc.get(), capacity - 1) || enc[0] != '\0')
        abort();
    return 0;
}
