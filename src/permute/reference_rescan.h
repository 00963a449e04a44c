// The reference rescan of a combination under permuted labels: what the
// fast rescans are tested against.
#pragma once

#include <cstdint>

#include "block_combination.h"
#include "scan_types.h"

namespace dyadmill {

// Permutation p (from 1) of the combination, under the labels the working
// set holds now: every pair rescored from the saved totals, the KSA cut-off
// carried from pair to pair, each kept pair's value recorded.
void rescanReference(ScanContext& ctx, BlockCombination& combo, std::uint64_t p);

}  // namespace dyadmill
