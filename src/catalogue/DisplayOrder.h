// The order in which the host shows the announced ads: movies first, then higher
// priority, then the one shown longest ago; full ties drawn at random.
#pragma once
#include <vector>

#include "catalogue/AdRecord.h"

// Sorts in n log n: a host may be announced a hundred thousand ads.
void SortForDisplay(std::vector<CAdRecord>& list);
