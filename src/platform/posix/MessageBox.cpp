// Without a message box, the text goes to standard error. Where a person sits at a
// terminal, the operation waits for Enter as a box would; otherwise it goes on, so a
// host without a terminal never hangs. FLB_MESSAGE_LOG=file also records "id type".
#include "platform/MessageBox.h"
#include "platform/posix/Text.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace platform {

void PresentWithSystem(unsigned id, unsigned type, const std::string& text) {
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

}  // namespace platform
