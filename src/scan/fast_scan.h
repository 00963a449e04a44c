// The fast first scan of a block combination.
//
// Each first SNP is counted against the second block a tile of eight SNPs
// at a time (see tile_scan.h), and a pair gets its exact statistic only
// where an approximation cannot show that it fails the cut-off. First SNPs
// are taken in groups whose rows stay in the first-level cache while the
// tiles stream past, and the kept pairs of a group are then replayed in
// scan order, so that the list, the progress lines and the storage limit
// come out exactly as the reference scan makes them.
#pragma once

#include <ctime>

#include "block_combination.h"
#include "scan_types.h"

namespace dyadmill {

// The first scan of one combination: counts, scores and keeps every pair,
// filling the permutation stores when permutations are requested; the
// combination's start_time receives the time the loop began.
Outcome runFastPairLoop(ScanContext& ctx, BlockCombination& combo);

}  // namespace dyadmill
