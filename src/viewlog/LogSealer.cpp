#include "viewlog/LogSealer.h"

#include <climits>
#include <cstring>

#include "viewlog/Base64.h"

namespace {

// Must match the log server's.
const char kPassphrase[] = "ZxR2pVq9TmWa";

} // namespace

CLogSealer::CLogSealer()
{
    SetPassphrase(kPassphrase);
}

CLogSealer::~CLogSealer()
{
    WipeKeys();
}

std::unique_ptr<char[]> CLogSealer::Seal(const char* text) const
{
    if (text == nullptr)
        return nullptr;
    size_t len = std::strlen(text);
    if (len > INT_MAX)
        return nullptr;
    // No pad block when the text fills its blocks: the zero bytes exist only
    // to complete the last block, so such a text carries no terminator.
    size_t padded = (len + 7) & ~static_cast<size_t>(7);

    std::unique_ptr<unsigned char[]> cipher(new unsigned char[padded]);
    Encrypt(reinterpret_cast<const unsigned char*>(text), cipher.get(), len);

    size_t capacity = 4 * ((padded + 2) / 3) + 5;
    std::unique_ptr<char[]> sealed(new char[capacity]);
    sealed[0] = '\0';
    CBase64 base64;
    base64.Encode(cipher.get(), padded, sealed.get(), capacity);   // sized for this input, cannot refuse
    return sealed;
}

std::unique_ptr<char[]> CLogSealer::Open(const char* sealed) const
{
    if (sealed == nullptr)
        return nullptr;
    size_t len = std::strlen(sealed);
    if (len > INT_MAX)
        return nullptr;

    // Three bytes per four characters stay below this limit, so Decode's -1
    // is only a guard. A byte count that is no whole number of blocks cannot
    // come from sealing, and deciphering it would overrun both buffers.
    int limit = static_cast<int>((3 * len + 3) / 4 + 1);
    std::unique_ptr<unsigned char[]> bytes(new unsigned char[limit]);
    CBase64 base64;
    int n = base64.Decode(sealed, bytes.get(), limit);
    if (n < 0 || n % 8 != 0)
        return nullptr;

    std::unique_ptr<char[]> plain(new char[static_cast<size_t>(n) + 1]);
    Decrypt(bytes.get(), reinterpret_cast<unsigned char*>(plain.get()), static_cast<size_t>(n));
    plain[n] = '\0';
    return plain;
}

std::unique_ptr<char[]> SealText(const char* text)
{
    CLogSealer sealer;
    return sealer.Seal(text);
}

std::unique_ptr<char[]> OpenText(const char* sealed)
{
    CLogSealer sealer;
    return sealer.Open(sealed);
}

namespace {

bool Replace(std::string& text, const std::unique_ptr<char[]>& result)
{
    if (!result) {
        text.clear();
        return false;
    }
    text.assign(result.get());
    return true;
}

} // namespace

bool SealString(std::string& text)
{
    return Replace(text, SealText(text.c_str()));
}

bool OpenString(std::string& text)
{
    return Replace(text, OpenText(text.c_str()));
}
