#include "catalogue/DisplayOrder.h"

#include <cstdlib>
#include <utility>

int CompareForDisplay(const std::vector<CAdRecord>& list, size_t i, size_t j) {
    const CAdRecord& a = list[i];
    const CAdRecord& b = list[j];
    if (a.Type != b.Type) return a.Type > b.Type ? -1 : 1;
    if (a.Priority != b.Priority) return a.Priority > b.Priority ? -1 : 1;
    // Compared as signed 32-bit values, as the order has always done.
    int32_t ta = static_cast<int32_t>(a.Time), tb = static_cast<int32_t>(b.Time);
    if (ta != tb) return ta < tb ? -1 : 1;
    return std::rand() % 2;
}

void SortForDisplay(std::vector<CAdRecord>& list) {
    // An exchange sort on purpose: the tie draws depend on this exact pair order.
    const size_t n = list.size();
    if (n < 2) return;
    for (size_t i = 0; i + 1 < n; ++i)
        for (size_t j = i + 1; j < n; ++j)
            if (CompareForDisplay(list, i, j) > 0) std::swap(list[i], list[j]);
}
