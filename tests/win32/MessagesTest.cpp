// The message boxes a user sees: their cp932 texts from the DLL's string table and their
// box types, captured as they open; and the resource table against the list it came from.
#include <gtest/gtest.h>

#include "CatalogueText.h"
#include "WinHost.h"
#include "res/resource.h"

namespace {

#define FLB_STRING(id, text) id,
const unsigned kIds[] = {
#include "res/StringTable.inc"
};
#undef FLB_STRING

using Messages = HostTest;

// The resource compiler reads the list's escapes as C does, and LoadStringA gives back
// the same bytes in code page 932.
TEST_F(Messages, ResourceStringTableHoldsTheListByteForByte) {
    ASSERT_EQ(932u, GetACP()) << "the Windows tests run with the Japanese ANSI code page";
    for (unsigned id : kIds) {
        char text[1024] = {};
        const int n = LoadStringA(lib.module, id, text, sizeof text);
        EXPECT_GT(n, 0) << id;
        EXPECT_EQ(StringOf(id), std::string(text, n > 0 ? n : 0)) << id;
    }
}

// A view notice with no log server set: the transport's box (no icon), then the
// notification's (stop icon). The boxes of bad arguments the C host checks.
TEST_F(Messages, BoxesShowTheTableTextWithTheStopIconOrNone) {
    WriteBytes(ads.Path("0000007.jpg"), "x");
    WriteBytes(ads.Path("Flyerbank.dat"), CatalogueText({{7, ads.Path("0000007.jpg")}}, "1.0"));
    ASSERT_EQ(1, lib.FLBSetFolder(ads.Folder().c_str()));
    ClearServerUrls();
    boxes.Clear();
    EXPECT_EQ(0, lib.FLBNotifyAVLS(7, 1, "shown"));
    const auto shown = boxes.Shown();
    ASSERT_EQ(2u, shown.size());
    EXPECT_EQ(StringOf(IDP_URL_PARSE), shown[0].text);
    EXPECT_FALSE(shown[0].stopIcon);
    EXPECT_EQ(StringOf(IDP_AVLS_COMM_ERROR), shown[1].text);
    EXPECT_TRUE(shown[1].stopIcon);
}

}  // namespace
