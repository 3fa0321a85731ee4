// Without a message box, the text goes to standard error. Where a person sits at a
// terminal, the operation waits for Enter as a box would; otherwise it goes on, so a
// host without a terminal never hangs. FLB_MESSAGE_LOG=file also records "id type".
#include "platform/MessageBox.h"

#include <iconv.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace platform {
namespace {

std::mutex& Lock() {
    static std::mutex lock;
    return lock;
}
MessagePresenter& Current() {
    static MessagePresenter presenter;
    return presenter;
}

std::string ToUtf8(const std::string& text) {
    iconv_t cd = iconv_open("UTF-8", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1)) return text;
    std::string out(text.size() * 3 + 4, '\0');
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char* o = &out[0];
    size_t outLeft = out.size();
    while (inLeft > 0) {
        if (iconv(cd, &in, &inLeft, &o, &outLeft) != static_cast<size_t>(-1)) break;
        if (outLeft == 0) break;
        // Show what cannot be converted as "?" rather than lose the rest of the text.
        *o++ = '?';
        --outLeft;
        ++in;
        --inLeft;
    }
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

void DefaultPresenter(unsigned id, unsigned type, const std::string& text) {
    if (const char* log = std::getenv("FLB_MESSAGE_LOG"); log && *log) {
        if (FILE* f = std::fopen(log, "a")) {
            std::fprintf(f, "%u %u\n", id, type);
            std::fclose(f);
        }
    }
    std::string shown = ToUtf8(text);
    std::fprintf(stderr, "Flyerbank: %s\n", shown.c_str());
    if (isatty(STDIN_FILENO) && isatty(STDERR_FILENO)) {
        std::fputs("[Enter] ", stderr);
        int c;
        while ((c = std::getchar()) != EOF && c != '\n') {
        }
    }
}

}  // namespace

void PresentMessage(unsigned id, unsigned type, const std::string& text) {
    MessagePresenter presenter;
    {
        std::lock_guard<std::mutex> hold(Lock());
        presenter = Current();
    }
    if (presenter) presenter(id, type, text);
    else DefaultPresenter(id, type, text);
}

MessagePresenter SetMessagePresenter(MessagePresenter presenter) {
    std::lock_guard<std::mutex> hold(Lock());
    MessagePresenter old = std::move(Current());
    Current() = std::move(presenter);
    return old;
}

}  // namespace platform
