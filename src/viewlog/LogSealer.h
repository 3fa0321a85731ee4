#pragma once

#include <memory>
#include <string>

#include "viewlog/DesCipher.h"

// Seals log lines for the log server and opens its answers, keyed by the
// passphrase both sides share. One sealer per call: keys are derived on
// construction and wiped on destruction, so nothing outlives the call.
class CLogSealer : public CDesCipher
{
public:
    CLogSealer();
    ~CLogSealer() override;

    // Printable sealed form of a NUL-terminated text; "" for "". Null only
    // for a null text.
    std::unique_ptr<char[]> Seal(const char* text) const;

    // Plain text of a sealed text, cut at its first zero byte. Null when the
    // text cannot be a sealed one: null, longer than a 32-bit length, or not
    // decoding to whole DES blocks. Other garbage opens to meaningless text.
    std::unique_ptr<char[]> Open(const char* sealed) const;
};

std::unique_ptr<char[]> SealText(const char* text);
std::unique_ptr<char[]> OpenText(const char* sealed);

// In place, up to the string's first NUL as for any C text. On failure the
// string is emptied and false returned; an empty result never equals an
// expected answer, so callers comparing texts need no separate check.
bool SealString(std::string& text);
bool OpenString(std::string& text);
