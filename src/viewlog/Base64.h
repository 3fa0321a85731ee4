#pragma once

#include <cstddef>

// Base64 with "-" in place of "+" (value 62); "/" stays 63, "=" pads.
class CBase64
{
public:
    virtual ~CBase64() = default;

    // Writes the text and its NUL. False when capacity is too small; Encode
    // insists on four spare bytes before every group, the last one included,
    // so a capacity of 4 * ceil(len / 3) + 5 always suffices. On false the
    // output holds the empty text (if capacity allows even that).
    bool Encode(const unsigned char* in, size_t len, char* out, size_t capacity) const;

    // Decodes a NUL-terminated text; white space is skipped, an unfinished
    // last group is dropped, and characters outside the alphabet are not
    // refused but decode as all bits set. Returns the byte count, or -1 as
    // soon as limit bytes have been written (or one is due and limit <= 0).
    // Never writes more than limit bytes.
    int Decode(const char* text, unsigned char* out, int limit) const;
};
