// The message boxes a user sees: their cp932 texts from the DLL's string table and their
// box types, captured as they open; and the resource table against the list it came from.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

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

// What Explorer's properties and installers read: the install's version, as numbers and
// as text, and the product's name.
TEST_F(Messages, TheDllCarriesItsVersion) {
    char path[MAX_PATH];
    ASSERT_TRUE(GetModuleFileNameA(lib.module, path, sizeof path));
    std::vector<char> info(GetFileVersionInfoSizeA(path, nullptr));
    ASSERT_FALSE(info.empty());
    ASSERT_TRUE(GetFileVersionInfoA(path, 0, static_cast<DWORD>(info.size()), info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT size = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &size));
    unsigned major = 0, minor = 0, patch = 0;
    ASSERT_EQ(3, std::sscanf(FLB_VERSION, "%u.%u.%u", &major, &minor, &patch));
    EXPECT_EQ(MAKELONG(minor, major), fixed->dwFileVersionMS);
    EXPECT_EQ(MAKELONG(0, patch), fixed->dwFileVersionLS);
    EXPECT_EQ(fixed->dwFileVersionMS, fixed->dwProductVersionMS);
    EXPECT_EQ(fixed->dwFileVersionLS, fixed->dwProductVersionLS);
    EXPECT_EQ(static_cast<DWORD>(VFT_DLL), fixed->dwFileType);
    const struct {
        const char* key;
        std::string value;
    } strings[] = {{"FileVersion", FLB_VERSION}, {"ProductVersion", FLB_VERSION}, {"ProductName", "Flyerbank"},
                   {"FileDescription", "Flyerbank ad library"}, {"OriginalFilename", "Flyerbank.dll"}};
    for (const auto& row : strings) {
        char* value = nullptr;
        const std::string key = std::string("\\StringFileInfo\\041104b0\\") + row.key;
        ASSERT_TRUE(VerQueryValueA(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &size)) << row.key;
        EXPECT_EQ(row.value, value) << row.key;
    }
}

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
