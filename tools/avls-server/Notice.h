#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace avls {

// The largest request body taken, "MSG=" and the sealed line: room for a notice text
// of about 760 KiB. A larger one is refused with 413.
constexpr size_t kMaxNoticeBytes = 1024 * 1024;

// One shown ad as the client reported it.
struct View {
    std::string userId;
    uint32_t code = 0;
    int32_t number = 0;
    std::string text;
};

// Why a notice was not taken, first failing check first. The names travel in
// the X-AVLS-Refused header and the log, so clients' tests can tell the
// causes apart.
enum class Refusal {
    None,
    NotForm,      // Content-Type is not a URL-encoded form
    NoMsg,        // body does not start with "MSG="
    NotSealed,    // not a Base64 text of the sealing's alphabet and shape
    Unopenable,   // decodes to no whole number of cipher blocks
    Fields,       // fewer than four comma-separated fields
    UserId,       // longer than the 40 bytes a client keeps
    Code,         // not "%07u"
    Number,       // not "%d"
    Text,         // empty
    Padding,      // the line is fine, but sealing it again gives other text
};

const char* RefusalName(Refusal refusal);

// Checks a request as the client sends it: the body is "MSG=" and the sealed
// line, taken byte for byte (no URL-decoding). On None the view is filled;
// *line gets the opened line whenever it could be opened.
Refusal ReadNotice(const std::string& contentType, const std::string& body, View* view, std::string* line);

// Splits "%s,%07u,%d,%s". User id and text may hold commas, so the user id
// ends at the first comma that a valid code and number follow.
Refusal ParseLine(const std::string& line, View* view);

} // namespace avls
