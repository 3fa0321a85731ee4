// Without a message box, the text goes to standard error. Where a person sits at a
// terminal, the operation waits for Enter as a box would; otherwise it goes on, so a
// host without a terminal never hangs. FLB_MESSAGE_LOG=file also records "id type".
#include "platform/MessageBox.h"
#include "platform/posix/Text.h"

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

// Built before theApp, so destroyed after it: its end joins a worker that uses them.
struct BuiltFirst {
    BuiltFirst() { Lock(); Current(); }
} builtFirst __attribute__((init_priority(101)));

void DefaultPresenter(unsigned id, unsigned type, const std::string& text) {
    if (const char* log = std::getenv("FLB_MESSAGE_LOG"); log && *log) {
        if (FILE* f = std::fopen(log, "a")) {
            std::fprintf(f, "%u %u\n", id, type);
            std::fclose(f);
        }
    }
    std::string shown = Cp932ToUtf8(text);
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
