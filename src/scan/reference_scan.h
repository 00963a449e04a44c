// The reference scan: every pair counted and scored on its own with the
// exact statistics, in scan order (its rescan under permuted labels is
// reference_rescan). It is the direct statement of what the scan
// computes, and what the fast path (fast_scan, fast_rescan) is tested and
// benchmarked against: both must keep the same pairs with the same values,
// bit for bit. A run of the program never takes it; tests and the scan
// bench choose it with ScanPath::Reference.
#pragma once

#include <cstdint>
#include <ctime>

#include "block_combination.h"
#include "scan_types.h"

namespace dyadmill {

// The first scan of one combination: counts, scores and keeps every pair,
// filling the permutation stores when permutations are requested.
// The combination's start_time receives the time the loop began.
Outcome runReferencePairLoop(ScanContext& ctx, BlockCombination& combo);

}  // namespace dyadmill
