#include "Notice.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <vector>

#include "viewlog/LogSealer.h"

namespace avls {

namespace {

const size_t kMaxUserId = 40;

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool IsAlphabet(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || IsDigit(c) || c == '-' || c == '/';
}

// What sealing can produce: whole groups of four, "=" only as the tail pad.
// Anything else means the client encoded the text differently ("+" of plain
// Base64, "%2F" of URL-encoding, a line break) even if opening would cope.
bool LooksSealed(const std::string& s)
{
    if (s.empty() || s.size() % 4 != 0)
        return false;
    size_t pads = 0;
    if (s[s.size() - 1] == '=')
        pads = s[s.size() - 2] == '=' ? 2 : 1;
    for (size_t i = 0; i < s.size() - pads; ++i) {
        if (!IsAlphabet(s[i]))
            return false;
    }
    return true;
}

bool IsFormType(const std::string& contentType)
{
    std::string media = contentType.substr(0, contentType.find(';'));
    size_t b = media.find_first_not_of(" \t");
    size_t e = media.find_last_not_of(" \t");
    if (b == std::string::npos)
        return false;
    media = media.substr(b, e - b + 1);
    for (auto& c : media)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return media == "application/x-www-form-urlencoded";
}

// "%07u": at least seven digits, zero-filled only up to seven.
bool ParseCode(const std::string& s, uint32_t* code)
{
    if (s.size() < 7 || s.size() > 10)
        return false;
    for (char c : s) {
        if (!IsDigit(c))
            return false;
    }
    if (s.size() > 7 && s[0] == '0')
        return false;
    unsigned long long n = std::strtoull(s.c_str(), nullptr, 10);
    if (n > UINT32_MAX)
        return false;
    *code = static_cast<uint32_t>(n);
    return true;
}

// "%d": no plus sign, no leading zeros, no "-0".
bool ParseNumber(const std::string& s, int32_t* number)
{
    size_t start = (!s.empty() && s[0] == '-') ? 1 : 0;
    std::string digits = s.substr(start);
    if (digits.empty() || digits.size() > 10)
        return false;
    for (char c : digits) {
        if (!IsDigit(c))
            return false;
    }
    if (digits.size() > 1 && digits[0] == '0')
        return false;
    if (start == 1 && digits == "0")
        return false;
    long long n = std::strtoll(s.c_str(), nullptr, 10);
    if (n < INT32_MIN || n > INT32_MAX)
        return false;
    *number = static_cast<int32_t>(n);
    return true;
}

// Code, number and a non-empty text after the user id's comma, or the first
// check that fails.
Refusal ParseTail(const std::string& line, size_t from, View* view)
{
    size_t c1 = line.find(',', from);
    if (c1 == std::string::npos)
        return Refusal::Fields;
    size_t c2 = line.find(',', c1 + 1);
    if (c2 == std::string::npos)
        return Refusal::Fields;
    if (!ParseCode(line.substr(from, c1 - from), &view->code))
        return Refusal::Code;
    if (!ParseNumber(line.substr(c1 + 1, c2 - c1 - 1), &view->number))
        return Refusal::Number;
    if (c2 + 1 == line.size())
        return Refusal::Text;
    view->text = line.substr(c2 + 1);
    return Refusal::None;
}

} // namespace

const char* RefusalName(Refusal refusal)
{
    switch (refusal) {
    case Refusal::None: return "none";
    case Refusal::NotForm: return "not-form";
    case Refusal::NoMsg: return "no-msg";
    case Refusal::NotSealed: return "not-sealed";
    case Refusal::Unopenable: return "unopenable";
    case Refusal::Fields: return "fields";
    case Refusal::UserId: return "user-id";
    case Refusal::Code: return "code";
    case Refusal::Number: return "number";
    case Refusal::Text: return "text";
    case Refusal::Padding: return "padding";
    }
    return "unknown";
}

Refusal ParseLine(const std::string& line, View* view)
{
    size_t first = line.find(',');
    if (first == std::string::npos)
        return Refusal::Fields;

    // The refusal reported is that of the plain first-comma split, which is
    // what a line without commas in its user id gets.
    View candidate;
    Refusal firstRefusal = ParseTail(line, first + 1, &candidate);
    for (size_t comma = first; comma != std::string::npos; comma = line.find(',', comma + 1)) {
        Refusal r = comma == first ? firstRefusal : ParseTail(line, comma + 1, &candidate);
        if (r == Refusal::None) {
            if (comma > kMaxUserId)
                return Refusal::UserId;
            candidate.userId = line.substr(0, comma);
            *view = candidate;
            return Refusal::None;
        }
        if (r == Refusal::Fields)
            break;
    }
    return firstRefusal;
}

Refusal ReadNotice(const std::string& contentType, const std::string& body, View* view, std::string* line)
{
    line->clear();
    if (!IsFormType(contentType))
        return Refusal::NotForm;
    static const std::string kPrefix = "MSG=";
    if (body.compare(0, kPrefix.size(), kPrefix) != 0)
        return Refusal::NoMsg;
    std::string sealed = body.substr(kPrefix.size());
    if (!LooksSealed(sealed))
        return Refusal::NotSealed;

    auto opened = OpenText(sealed.c_str());
    if (!opened)
        return Refusal::Unopenable;
    *line = opened.get();

    Refusal r = ParseLine(*line, view);
    if (r != Refusal::None)
        return r;
    // Opening forgives pad bytes it cannot see (an extra zero block, pads that
    // are not zero), so compare with the one true sealing of the line.
    auto resealed = SealText(line->c_str());
    if (!resealed || sealed != resealed.get())
        return Refusal::Padding;
    return Refusal::None;
}

} // namespace avls
