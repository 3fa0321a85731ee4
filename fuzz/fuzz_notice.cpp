// The log server's notice reader. Any content type and body: a notice taken is one whose
// fields make up the line that was opened. And every view a client can report, sealed as
// the library seals it, is taken with the same fields, unless its user id holds a comma
// (which makes the split ambiguous) or is longer than a client keeps.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "Notice.h"
#include "viewlog/LogSealer.h"

namespace {

std::string Line(const avls::View& v) {
    char head[48];
    std::snprintf(head, sizeof head, ",%07u,%d,", v.code, v.number);
    return v.userId + head + v.text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    // A content type up to the first line feed, the body after it.
    const size_t cut = bytes.find('\n');
    const std::string type = cut == std::string::npos ? "application/x-www-form-urlencoded" : bytes.substr(0, cut);
    const std::string body = cut == std::string::npos ? bytes : bytes.substr(cut + 1);
    avls::View view;
    std::string line;
    if (avls::ReadNotice(type, body, &view, &line) == avls::Refusal::None) {
        FUZZ_CHECK(Line(view) == line);
        FUZZ_CHECK(view.userId.size() <= 40 && !view.text.empty());
    }

    // The same bytes as a client's view: code and number from the first eight, the user
    // id up to the next NUL, the text after it.
    if (size < 8) return 0;
    avls::View sent;
    std::memcpy(&sent.code, data, 4);
    std::memcpy(&sent.number, data + 4, 4);
    const std::string rest(reinterpret_cast<const char*>(data + 8), size - 8);
    const size_t nul = rest.find('\0');
    sent.userId = rest.substr(0, nul);
    sent.text = nul == std::string::npos ? "x" : rest.substr(nul + 1).c_str();
    if (sent.text.empty()) sent.text = "x";
    const auto sealed = SealText(Line(sent).c_str());
    const avls::Refusal refusal = avls::ReadNotice("application/x-www-form-urlencoded", "MSG=" + std::string(sealed.get()),
                                                   &view, &line);
    if (sent.userId.size() > 40) {
        FUZZ_CHECK(refusal == avls::Refusal::UserId || sent.userId.find(',') != std::string::npos);
    } else if (sent.userId.find(',') == std::string::npos) {
        FUZZ_CHECK(refusal == avls::Refusal::None);
        FUZZ_CHECK(view.userId == sent.userId && view.code == sent.code && view.number == sent.number &&
                   view.text == sent.text);
    }
    return 0;
}
