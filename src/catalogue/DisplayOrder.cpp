#include "catalogue/DisplayOrder.h"

#include <algorithm>
#include <cstdlib>
#include <numeric>
#include <utility>

namespace {

// -1 when a comes first, 1 when b does, 0 when the three keys tie.
int CompareKeys(const CAdRecord& a, const CAdRecord& b) {
    if (a.Type != b.Type) return a.Type > b.Type ? -1 : 1;
    if (a.Priority != b.Priority) return a.Priority > b.Priority ? -1 : 1;
    // Compared as signed 32-bit values, as the order has always done.
    int32_t ta = static_cast<int32_t>(a.Time), tb = static_cast<int32_t>(b.Time);
    if (ta != tb) return ta < tb ? -1 : 1;
    return 0;
}

}  // namespace

void SortForDisplay(std::vector<CAdRecord>& list) {
    const size_t n = list.size();
    if (n < 2) return;
    // Indices are sorted rather than records, which copy their texts on every move.
    std::vector<size_t> order(n);
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return CompareKeys(list[a], list[b]) < 0; });
    // Ads equal in all three keys share their places at random; a lone ad draws nothing.
    for (size_t begin = 0; begin < n;) {
        size_t end = begin + 1;
        while (end < n && CompareKeys(list[order[begin]], list[order[end]]) == 0) ++end;
        for (size_t i = end - begin - 1; i > 0; --i)
            std::swap(order[begin + i], order[begin + static_cast<size_t>(std::rand()) % (i + 1)]);
        begin = end;
    }
    std::vector<CAdRecord> sorted;
    sorted.reserve(n);
    for (size_t i : order) sorted.push_back(list[i]);
    list.swap(sorted);
}
