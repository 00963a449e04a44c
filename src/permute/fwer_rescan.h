// The genome-wide permutation pass (--fwer): under the labels the working
// set holds for one permutation, every pair of the combination is scored
// and its statistic (maxT) or raw p-value at its own df (minP) is folded
// into the permutation's extreme, `extreme` (see fwer.h).
//
// The value of a pair is the statistic the first scan reports for a kept
// pair: under epistasis with the likelihood ratio the fitted statistic,
// never the KSA screen. Pairs with df 0 take no part; a relabelling changes
// no cell total, so the df saved by the first scan hold.
#pragma once

#include <cstdint>

#include "approximations.h"
#include "rescan_common.h"
#include "scan_types.h"

namespace dyadmill {

// Every pair with its exact statistic: what the fast pass is tested against.
void fwerReferencePass(const RunParameters& params, const RescanTarget& target, double& extreme);

// The same extremes, with the tile kernels: a pair gets its exact statistic
// only when a cheap upper bound of it could still beat the extreme so far.
void fwerFastPass(const ScanInputs& in, const RescanTarget& target, const FastStatistics& fast, double& extreme);

}  // namespace dyadmill
