// The order in which the host shows the announced ads: movies first, then higher
// priority, then the one shown longest ago; full ties drawn at random.
#pragma once
#include <vector>

#include "catalogue/AdRecord.h"

int CompareForDisplay(const std::vector<CAdRecord>& list, size_t i, size_t j);
void SortForDisplay(std::vector<CAdRecord>& list);
