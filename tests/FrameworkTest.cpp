#include <gtest/gtest.h>

#include "frame/Afx.h"
#include "frame/Exceptions.h"
#include "frame/Messages.h"
#include "TestSupport.h"

TEST(Map, EnumeratesBucketByBucketNewestFirst) {
    CMap<int> map;
    // Buckets: 0x10 -> 1, 0x20 -> 2, 0x120 -> (18 % 17) 1, 0x00 -> 0, 0x05 -> 0.
    for (DWORD code : {0x10u, 0x20u, 0x120u, 0x00u, 0x05u}) map.SetAt(code, static_cast<int>(code));
    std::vector<DWORD> order;
    map.ForEach([&](DWORD code, int) { order.push_back(code); });
    EXPECT_EQ(order, (std::vector<DWORD>{0x05, 0x00, 0x120, 0x10, 0x20}));

    map.SetAt(0x10, 99);  // replacing keeps the place
    order.clear();
    map.ForEach([&](DWORD code, int) { order.push_back(code); });
    EXPECT_EQ(order, (std::vector<DWORD>{0x05, 0x00, 0x120, 0x10, 0x20}));
    EXPECT_EQ(map.GetCount(), 5u);
    int value = -1;
    EXPECT_FALSE(map.Lookup(0x30, value));
    EXPECT_EQ(value, -1);
    EXPECT_TRUE(map.RemoveKey(0x120));
    EXPECT_FALSE(map.RemoveKey(0x120));
    EXPECT_EQ(map.GetCount(), 4u);
}

TEST(DoubleByteText, SeparatorScansStepOverTrailBytes) {
    // 0x95 0x5C is one character whose second byte is a backslash.
    const std::string folder = "C:\\\x95\x5C";
    EXPECT_EQ(FindLastSingleByte(folder, '\\'), 2u);
    EXPECT_FALSE(EndsWithSingleByte(folder, '\\'));
    EXPECT_TRUE(EndsWithSingleByte(folder + "\\", '\\'));
    EXPECT_EQ(FindLastSingleByte("abc", '\\'), std::string::npos);

    std::string text(258, 'a');
    text += "\x82\xA0";  // a two-byte character across the 259-byte cut
    EXPECT_EQ(CutToCharBoundary(text, 259), 258u);
    EXPECT_EQ(CutToCharBoundary(text, 260), 260u);
    EXPECT_EQ(CutToCharBoundary("\x82", 5), 1u);  // a lone lead byte at the end is kept
}

TEST(Messages, StopIconForLibraryMessagesPlainForTransport) {
    MessageRecorder recorder;
    ShowMessage(IDP_UPDATE_RUNNING);
    ShowMessage(IDP_RECEIVE);
    EXPECT_THROW(ShowMessageAndThrow(IDP_AD_FILE_SAVE), CUserException);
    SetMessagesSuppressed(true);
    ShowMessage(IDP_CATALOG_ACCESS);
    SetMessagesSuppressed(false);
    ASSERT_EQ(recorder.Shown().size(), 3u);
    EXPECT_EQ(recorder.Shown()[0].id, 20006u);
    EXPECT_EQ(recorder.Shown()[0].type, platform::kMbIconHand);
    EXPECT_EQ(recorder.Shown()[1].type, platform::kMbOk);
    EXPECT_EQ(recorder.Shown()[2].id, 20003u);
}

TEST(ReallocOrThrow, KeepsTheOldBlockOnFailure) {
    void* block = ReallocOrThrow(nullptr, 16);
    ASSERT_NE(block, nullptr);
    static_cast<char*>(block)[0] = 'x';
    EXPECT_THROW(ReallocOrThrow(block, SIZE_MAX / 2), CMemoryException);
    EXPECT_EQ(static_cast<char*>(block)[0], 'x');
    std::free(block);
}
