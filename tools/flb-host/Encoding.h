// The library speaks code page 932 and never converts; the host converts at the terminal.
#pragma once
#include <iconv.h>

#include <string>

namespace host {

class Encoding {
public:
    // Call after setlocale(LC_ALL, "").
    Encoding();
    ~Encoding();
    Encoding(const Encoding&) = delete;
    Encoding& operator=(const Encoding&) = delete;

    // A library text for the terminal; what cannot be shown becomes '?'. NULL gives "".
    std::string Show(const char* cp932) const;
    // A terminal text for the library; false when it has no code page 932 form.
    bool ToLibrary(const std::string& text, std::string& cp932) const;
    const std::string& Codeset() const { return m_codeset; }

private:
    std::string m_codeset;
    iconv_t m_show = reinterpret_cast<iconv_t>(-1);
    iconv_t m_toLibrary = reinterpret_cast<iconv_t>(-1);
};

}  // namespace host
