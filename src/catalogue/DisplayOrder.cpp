#include "catalogue/DisplayOrder.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace {

// The three keys of one record, packed so the sort runs through memory in order.
struct Keys {
    int32_t type;
    int32_t priority;
    int32_t time;  // compared as a signed 32-bit value, as the order has always done
    size_t index;
};

// -1 when a comes first, 1 when b does, 0 when the three keys tie.
int CompareKeys(const Keys& a, const Keys& b) {
    if (a.type != b.type) return a.type > b.type ? -1 : 1;
    if (a.priority != b.priority) return a.priority > b.priority ? -1 : 1;
    if (a.time != b.time) return a.time < b.time ? -1 : 1;
    return 0;
}

}  // namespace

void SortForDisplay(std::vector<CAdRecord>& list) {
    const size_t n = list.size();
    if (n < 2) return;
    // The keys are sorted, and each record moved once to its place.
    std::vector<Keys> order(n);
    for (size_t i = 0; i < n; ++i)
        order[i] = {list[i].Type, list[i].Priority, static_cast<int32_t>(list[i].Time), i};
    std::stable_sort(order.begin(), order.end(), [](const Keys& a, const Keys& b) { return CompareKeys(a, b) < 0; });
    // Ads equal in all three keys share their places at random; a lone ad draws nothing.
    for (size_t begin = 0; begin < n;) {
        size_t end = begin + 1;
        while (end < n && CompareKeys(order[begin], order[end]) == 0) ++end;
        for (size_t i = end - begin - 1; i > 0; --i)
            std::swap(order[begin + i], order[begin + static_cast<size_t>(std::rand()) % (i + 1)]);
        begin = end;
    }
    std::vector<CAdRecord> sorted;
    sorted.reserve(n);
    for (const Keys& k : order) sorted.push_back(std::move(list[k.index]));
    list.swap(sorted);
}
