// The DES_* calls are deprecated in OpenSSL 3 but are the interface we rely on.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "viewlog/DesCipher.h"

#include <cstring>

#include <openssl/crypto.h>

CDesCipher::CDesCipher()
{
    std::memset(m_szPassphrase, 0, sizeof m_szPassphrase);
    std::memset(&m_schedule1, 0, sizeof m_schedule1);
    std::memset(&m_schedule2, 0, sizeof m_schedule2);
}

CDesCipher::~CDesCipher()
{
    // Also done by derived sealers; repeated so a bare cipher leaves nothing behind.
    WipeKeys();
}

void CDesCipher::WipeKeys()
{
    OPENSSL_cleanse(&m_schedule1, sizeof m_schedule1);
    OPENSSL_cleanse(&m_schedule2, sizeof m_schedule2);
}

bool CDesCipher::SetPassphrase(const char* passphrase)
{
    WipeKeys();
    if (passphrase == nullptr)
        return false;
    size_t len = std::strlen(passphrase);
    if (len >= sizeof m_szPassphrase)
        return false;
    std::memcpy(m_szPassphrase, passphrase, len + 1);

    DES_cblock key1, key2;
    DES_string_to_2keys(m_szPassphrase, &key1, &key2);
    // The log server derives the same keys; a weak-key refusal would only break the exchange.
    DES_set_key_unchecked(&key2, &m_schedule2);
    OPENSSL_cleanse(key2, sizeof key2);
    DES_set_key_unchecked(&key1, &m_schedule1);
    OPENSSL_cleanse(key1, sizeof key1);

    OPENSSL_cleanse(m_szPassphrase, sizeof m_szPassphrase);
    return true;
}

namespace {

// DES_cbc_encrypt leaves its IV untouched, but each pass gets a fresh zero
// block anyway so no chaining value can leak from one pass into the next.
void CbcPass(const unsigned char* in, unsigned char* out, size_t len,
             const DES_key_schedule& schedule, int direction)
{
    DES_cblock iv = {0};
    DES_cbc_encrypt(in, out, static_cast<long>(len),
                    const_cast<DES_key_schedule*>(&schedule), &iv, direction);
}

} // namespace

void CDesCipher::Encrypt(const unsigned char* in, unsigned char* out, size_t len) const
{
    size_t padded = (len + 7) & ~static_cast<size_t>(7);
    if (padded == 0)
        return;
    // Pad ourselves rather than let DES read past the caller's last byte.
    if (in != out)
        std::memmove(out, in, len);
    std::memset(out + len, 0, padded - len);

    CbcPass(out, out, padded, m_schedule1, DES_ENCRYPT);
    CbcPass(out, out, padded, m_schedule2, DES_DECRYPT);
    CbcPass(out, out, padded, m_schedule1, DES_ENCRYPT);
}

bool CDesCipher::Decrypt(const unsigned char* in, unsigned char* out, size_t len) const
{
    if (len % 8 != 0)
        return false;
    if (len == 0)
        return true;
    CbcPass(in, out, len, m_schedule1, DES_DECRYPT);
    CbcPass(out, out, len, m_schedule2, DES_ENCRYPT);
    CbcPass(out, out, len, m_schedule1, DES_DECRYPT);
    return true;
}
