// The terminal progress line: within the terminal's width at every width, the text
// giving way before the bar, and never a code page 932 character cut in two.
#include <gtest/gtest.h>

#include <string>

#include "platform/posix/ProgressLine.h"
#include "res/StringTable.h"
#include "res/resource.h"

namespace {

// Columns of a code page 932 line, counting a double-byte character as two, and
// whether it ends with a character whole.
int Columns(const std::string& line, bool* whole) {
    *whole = true;
    for (size_t i = 0; i < line.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) {
            if (i + 1 >= line.size()) *whole = false;
            ++i;
        }
    }
    return static_cast<int>(line.size());
}

TEST(ProgressLine, FitsEveryWidthAndCutsTheTextBeforeTheBar) {
    const std::string updating = LoadResString(IDS_STATUS_UPDATING);
    const std::string downloading = std::string("(3/12) 0001234.wmv ") + updating + updating;
    for (const std::string& text : {updating, downloading}) {
        int lastBar = 0;
        for (int columns = 1; columns <= 200; ++columns) {
            const std::string line = platform::ProgressLine(text, 50, 100, columns);
            bool whole = false;
            EXPECT_LT(Columns(line, &whole), std::max(columns, 1)) << columns;
            EXPECT_TRUE(whole) << columns;
            EXPECT_EQ(line.find('\n'), std::string::npos);
            const size_t open = line.find('['), close = line.find(']');
            const int bar = open == std::string::npos ? 0 : static_cast<int>(close - open - 1);
            EXPECT_GE(bar, lastBar) << "the bar never shrinks as the terminal widens: " << columns;
            lastBar = bar;
            // Text only once the bar is whole.
            if (bar < 30 && open != std::string::npos) {
                EXPECT_EQ(open, 0u) << columns << ": " << line;
            }
            if (columns >= static_cast<int>(text.size()) + 40) {
                EXPECT_EQ(line.rfind(text + " [", 0), 0u) << columns;
            }
        }
        EXPECT_EQ(lastBar, 30);
    }
    EXPECT_EQ(platform::ProgressLine("x", 100, 100, 80), "x [" + std::string(30, '#') + "] 100%");
    EXPECT_EQ(platform::ProgressLine("x", 0, 0, 80), "x [" + std::string(30, '.') + "]   0%");
}

}  // namespace
