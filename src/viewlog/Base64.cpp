#include "viewlog/Base64.h"

namespace {

const char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-/";

// 0xFF stands for the -1 of a foreign character: in 8-bit arithmetic it is
// the all-bits-set value the log server's decoder produces for one.
const unsigned char kInvalid = 0xFF;

struct DecodeTable
{
    unsigned char value[128];
    DecodeTable()
    {
        for (unsigned char& v : value)
            v = kInvalid;
        for (unsigned i = 0; i < 64; ++i)
            value[static_cast<unsigned char>(kAlphabet[i])] = static_cast<unsigned char>(i);
    }
};

unsigned ValueOf(unsigned char c)
{
    static const DecodeTable table;
    return c < 128 ? table.value[c] : kInvalid;
}

// isspace of the C locale, spelled out so a host's setlocale cannot change
// what the sealed text means.
bool IsSpace(unsigned char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Next character after white space, or 0 at the end of the text.
unsigned char Next(const unsigned char*& p)
{
    while (*p != 0 && IsSpace(*p))
        ++p;
    return *p != 0 ? *p++ : 0;
}

} // namespace

bool CBase64::Encode(const unsigned char* in, size_t len, char* out, size_t capacity) const
{
    size_t pos = 0;
    for (;;) {
        if (pos + 4 >= capacity) {
            if (capacity > 0)
                out[0] = '\0';
            return false;
        }
        if (len == 0) {
            out[pos] = '\0';
            return true;
        }
        unsigned b0 = in[0];
        unsigned b1 = len > 1 ? in[1] : 0;
        unsigned b2 = len > 2 ? in[2] : 0;
        out[pos++] = kAlphabet[b0 >> 2];
        out[pos++] = kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
        if (len < 3) {
            out[pos++] = len == 2 ? kAlphabet[(b1 & 15) << 2] : '=';
            out[pos++] = '=';
            out[pos] = '\0';
            return true;
        }
        out[pos++] = kAlphabet[((b1 & 15) << 2) | (b2 >> 6)];
        out[pos++] = kAlphabet[b2 & 63];
        in += 3;
        len -= 3;
    }
}

int CBase64::Decode(const char* text, unsigned char* out, int limit) const
{
    if (text == nullptr)
        return 0;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    int count = 0;
    auto put = [&](unsigned byte) {
        if (count >= limit)
            return false;
        out[count++] = static_cast<unsigned char>(byte);
        return count < limit;
    };

    for (;;) {
        unsigned char c1 = Next(p);
        if (c1 == 0)
            return count;
        unsigned char c2 = Next(p);
        if (c2 == 0)
            return count;
        unsigned char c3 = Next(p);
        if (c3 == 0)
            return count;
        unsigned char c4 = Next(p);
        if (c4 == 0)
            return count;
        // A padded group does not end decoding; later groups still count.
        if (c1 == '=' || c2 == '=')
            continue;

        unsigned d1 = ValueOf(c1), d2 = ValueOf(c2), d3 = ValueOf(c3), d4 = ValueOf(c4);
        if (!put((d1 << 2) | ((d2 >> 4) & 3)))
            return -1;
        if (c3 == '=')
            continue;
        if (!put((d2 << 4) | ((d3 >> 2) & 15)))
            return -1;
        if (c4 == '=')
            continue;
        if (!put((d3 << 6) | d4))
            return -1;
    }
}
