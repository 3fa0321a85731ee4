#include "catalogue/SizeCodec.h"

#include <cstdlib>
#include <ctime>
#include <vector>

std::string CSizeCodec::Encode(const std::string& text) const {
    return Encode(text, static_cast<unsigned>(std::time(nullptr)));
}

std::string CSizeCodec::Encode(const std::string& text, unsigned seed) const {
    size_t n = text.size() + 1;
    if (n % 3) n += 3 - n % 3;
    std::vector<unsigned char> b(n + 3, 0);
    std::srand(seed);
    // Fifteen bits, as the original runtime's generator gives: readers written for it
    // may rely on the salt's top bit being clear.
    unsigned r = static_cast<unsigned>(std::rand()) & 0x7FFF;
    b[1] = static_cast<unsigned char>(r >> 8);
    b[2] = static_cast<unsigned char>(r);
    for (size_t i = 0; i < text.size(); ++i) b[3 + i] = static_cast<unsigned char>(text[i]);
    for (size_t i = 3; i < b.size(); ++i) b[i] ^= b[2];

    std::string out;
    out.reserve(b.size() / 3 * 4);
    for (size_t i = 0; i < b.size(); i += 3) {
        out += static_cast<char>((b[i] >> 2) + m_offset);
        out += static_cast<char>((((b[i] & 3) << 4) | (b[i + 1] >> 4)) + m_offset);
        out += static_cast<char>((((b[i + 1] & 15) << 2) | (b[i + 2] >> 6)) + m_offset);
        out += static_cast<char>((b[i + 2] & 63) + m_offset);
    }
    return out;
}

std::string CSizeCodec::Decode(const std::string& text) const {
    if (text.empty()) return std::string();
    const unsigned char k = static_cast<unsigned char>(text[0]);
    size_t m = text.size();
    if (m % 4) m += 4 - m % 4;
    auto at = [&](size_t i) -> unsigned {
        unsigned char c = i < text.size() ? static_cast<unsigned char>(text[i]) : 0;
        return static_cast<unsigned char>(c - k);
    };
    std::vector<unsigned char> d;
    d.reserve(m / 4 * 3);
    for (size_t i = 0; i < m; i += 4) {
        unsigned w = at(i), x = at(i + 1), y = at(i + 2), z = at(i + 3);
        d.push_back(static_cast<unsigned char>((w << 2) | (x >> 4)));
        d.push_back(static_cast<unsigned char>((x << 4) | (y >> 2)));
        d.push_back(static_cast<unsigned char>(((y << 6) & 0xC0) | z));
    }
    std::string out;
    for (size_t j = 3; j < d.size(); ++j) {
        unsigned char c = d[j] ^ d[2];
        if (c == 0) break;
        out += static_cast<char>(c);
    }
    return out;
}
