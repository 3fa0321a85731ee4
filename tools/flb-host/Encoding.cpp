#include "Encoding.h"

#include <errno.h>
#include <langinfo.h>

#include <cstring>

namespace host {
namespace {

const iconv_t kNone = reinterpret_cast<iconv_t>(-1);

// Bytes of the character at p, so a bad double-byte character becomes one '?' and its
// trail byte is not misread as ASCII.
size_t CharLength(const unsigned char* p, size_t left) {
    const unsigned lead = p[0];
    const bool isLead = (lead >= 0x81 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xFC);
    if (!isLead || left < 2) return 1;
    const unsigned trail = p[1];
    return (trail >= 0x40 && trail <= 0x7E) || (trail >= 0x80 && trail <= 0xFC) ? 2 : 1;
}

// Converts text; with `lenient` every character that cannot be converted becomes '?',
// otherwise the first one fails the whole text.
bool Convert(iconv_t cd, const char* text, size_t size, std::string& result, bool lenient) {
    result.clear();
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(text);
    size_t inLeft = size;
    char buffer[256];
    bool flushed = false;
    while (!flushed) {
        char* out = buffer;
        size_t outLeft = sizeof buffer;
        const bool flushing = inLeft == 0;
        size_t r = flushing ? iconv(cd, nullptr, nullptr, &out, &outLeft)
                            : iconv(cd, &in, &inLeft, &out, &outLeft);
        const int error = errno;
        result.append(buffer, static_cast<size_t>(out - buffer));
        if (r != static_cast<size_t>(-1)) {
            flushed = flushing;
            continue;
        }
        if (error == E2BIG) continue;
        if (!lenient || flushing || (error != EILSEQ && error != EINVAL)) return false;
        result += '?';
        size_t skip = CharLength(reinterpret_cast<unsigned char*>(in), inLeft);
        in += skip;
        inLeft -= skip;
    }
    return true;
}

}  // namespace

Encoding::Encoding() {
    const char* set = nl_langinfo(CODESET);
    m_codeset = set && *set ? set : "UTF-8";
    // The C locale claims ASCII, which would turn every Japanese name into '?'.
    if (m_codeset == "ANSI_X3.4-1968" || m_codeset == "ASCII" || m_codeset == "US-ASCII")
        m_codeset = "UTF-8";
    m_show = iconv_open(m_codeset.c_str(), "CP932");
    m_toLibrary = iconv_open("CP932", m_codeset.c_str());
    if (m_show == kNone || m_toLibrary == kNone) {
        if (m_show != kNone) iconv_close(m_show);
        if (m_toLibrary != kNone) iconv_close(m_toLibrary);
        m_codeset = "UTF-8";
        m_show = iconv_open("UTF-8", "CP932");
        m_toLibrary = iconv_open("CP932", "UTF-8");
    }
}

Encoding::~Encoding() {
    if (m_show != kNone) iconv_close(m_show);
    if (m_toLibrary != kNone) iconv_close(m_toLibrary);
}

std::string Encoding::Show(const char* cp932) const {
    if (!cp932) return std::string();
    if (m_show == kNone) return cp932;
    std::string shown;
    Convert(m_show, cp932, std::strlen(cp932), shown, true);
    return shown;
}

bool Encoding::ToLibrary(const std::string& text, std::string& cp932) const {
    if (m_toLibrary == kNone) {
        cp932 = text;
        return true;
    }
    // A NUL would cut the text short on its way into the library.
    return Convert(m_toLibrary, text.data(), text.size(), cp932, false) &&
           cp932.find('\0') == std::string::npos;
}

}  // namespace host
