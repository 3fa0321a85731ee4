#pragma once

#include <cstddef>

#include <openssl/des.h>

// Two-key triple DES laid out as three complete CBC passes over the whole
// message, each from its own zero IV. This is what the log server speaks; it
// is deliberately not the outer-CBC two-key mode, which only agrees with it
// on a single block.
class CDesCipher
{
public:
    CDesCipher();
    virtual ~CDesCipher();

    CDesCipher(const CDesCipher&) = delete;
    CDesCipher& operator=(const CDesCipher&) = delete;

    // Derives both key schedules. False, and no usable keys, when the
    // passphrase is null or does not fit the fixed-size copy.
    bool SetPassphrase(const char* passphrase);

    // Reads len bytes of in and writes len rounded up to a multiple of 8 bytes
    // of out, the tail zero-padded. in and out may be the same buffer.
    void Encrypt(const unsigned char* in, unsigned char* out, size_t len) const;

    // Writes exactly len bytes. False, touching nothing, when len is not a
    // whole number of blocks: DES would read and write a full block past it.
    bool Decrypt(const unsigned char* in, unsigned char* out, size_t len) const;

protected:
    void WipeKeys();

private:
    char m_szPassphrase[1024];
    DES_key_schedule m_schedule1;   // first and third pass
    DES_key_schedule m_schedule2;   // middle pass
};
