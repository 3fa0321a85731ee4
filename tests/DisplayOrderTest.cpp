#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "catalogue/DisplayOrder.h"

namespace {
CAdRecord Ad(DWORD id, int32_t type, int32_t priority, uint32_t time = 0) {
    CAdRecord r(id);
    r.Type = type;
    r.Priority = priority;
    r.Time = time;
    return r;
}
std::vector<DWORD> Sorted(std::vector<CAdRecord> list) {
    SortForDisplay(list);
    std::vector<DWORD> codes;
    for (const auto& r : list) codes.push_back(r.ID);
    return codes;
}
}  // namespace

TEST(DisplayOrder, MoviesThenPriorityThenLeastRecentlyShown) {
    EXPECT_EQ(Sorted({Ad(1, AD_TYPE_MOVIE, 1), Ad(2, AD_TYPE_PICTURE, 9), Ad(3, AD_TYPE_MOVIE, 5)}),
              (std::vector<DWORD>{3, 1, 2}));
    EXPECT_EQ(Sorted({Ad(1, AD_TYPE_PICTURE, 2, 1000), Ad(2, AD_TYPE_PICTURE, 2, 0), Ad(3, AD_TYPE_NONE, 99)}),
              (std::vector<DWORD>{2, 1, 3}));
    // Favourites and sizes do not count.
    std::vector<CAdRecord> list = {Ad(1, AD_TYPE_PICTURE, 1, 5), Ad(2, AD_TYPE_PICTURE, 1, 4)};
    list[0].Favorite = 1;
    list[0].Size = 999;
    EXPECT_EQ(Sorted(list), (std::vector<DWORD>{2, 1}));
}

// Ties are drawn with the host's random numbers: another seed, another draw; the same seed,
// the same draw; and a lone ad draws nothing.
TEST(DisplayOrder, TiesAreDrawnWithTheProcessRandomNumbers) {
    const auto draw = [](unsigned seed, DWORD n) {
        std::srand(seed);
        std::vector<CAdRecord> list;
        for (DWORD i = 1; i <= n; ++i) list.push_back(Ad(i, AD_TYPE_PICTURE, 3));
        return Sorted(list);
    };
    std::set<std::vector<DWORD>> seen;
    for (unsigned seed = 0; seed < 64; ++seed) seen.insert(draw(seed, 2));
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_EQ(draw(12345, 8), draw(12345, 8));

    std::srand(7);
    const int expected = std::rand();
    draw(7, 1);
    EXPECT_EQ(std::rand(), expected);
}

TEST(DisplayOrder, LongListsKeepTheKeysInOrderAndShuffleEachRunOfTies) {
    std::vector<CAdRecord> list;
    for (DWORD i = 1; i <= 3000; ++i)
        list.push_back(Ad(i, i % 3 == 0 ? AD_TYPE_MOVIE : AD_TYPE_PICTURE, static_cast<int32_t>(i % 4), i % 5));
    std::srand(99);
    SortForDisplay(list);
    ASSERT_EQ(list.size(), 3000u);
    std::set<DWORD> codes;
    size_t ascendingTies = 0, ties = 0;
    for (size_t i = 0; i < list.size(); ++i) {
        codes.insert(list[i].ID);
        if (i == 0) continue;
        const CAdRecord& a = list[i - 1];
        const CAdRecord& b = list[i];
        ASSERT_GE(a.Type, b.Type);
        if (a.Type != b.Type) continue;
        ASSERT_GE(a.Priority, b.Priority);
        if (a.Priority != b.Priority) continue;
        ASSERT_LE(a.Time, b.Time);
        if (a.Time != b.Time) continue;
        ++ties;
        if (a.ID < b.ID) ++ascendingTies;
    }
    EXPECT_EQ(codes.size(), 3000u);
    // Ties left in their list order would all be ascending; drawn, about half are.
    EXPECT_GT(ties, 2000u);
    EXPECT_GT(ascendingTies, ties / 4);
    EXPECT_LT(ascendingTies, ties * 3 / 4);
}
