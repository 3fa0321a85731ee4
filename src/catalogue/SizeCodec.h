// Scrambles the decimal size text stored in the catalogue file, and reads it back.
#pragma once
#include <string>

class CSizeCodec {
public:
    CSizeCodec() = default;
    // Characters "0".."o"; a fresh random salt each time, so equal sizes differ on disk.
    std::string Encode(const std::string& text) const;
    // The same with the generator seeded from `seed` instead of the clock.
    std::string Encode(const std::string& text, unsigned seed) const;
    // Any input decodes to some text without reading past its end; damage gives garbage.
    std::string Decode(const std::string& text) const;

private:
    unsigned char m_offset = 48;
};
