// The genome-wide permutation pass (--fwer): under the labels the working
// set holds for permutation p, every pair of the combination is scored and
// its statistic (maxT) or raw p-value at its own df (minP) is folded into
// the permutation's extreme, ctx.fwer[p - 1] (see fwer.h).
//
// The value of a pair is the statistic the first scan reports for a kept
// pair: under epistasis with the likelihood ratio the fitted statistic,
// never the KSA screen. Pairs with df 0 take no part; a relabelling changes
// no cell total, so the df saved by the first scan hold.
#pragma once

#include <cstdint>

#include "approximations.h"
#include "block_combination.h"
#include "scan_types.h"

namespace dyadmill {

// Every pair with its exact statistic: what the fast pass is tested against.
void fwerReferencePass(ScanContext& ctx, const BlockCombination& combo, std::uint64_t p);

// The same extremes, with the tile kernels: a pair gets its exact statistic
// only when a cheap upper bound of it could still beat the extreme so far.
void fwerFastPass(ScanContext& ctx, const BlockCombination& combo, const FastStatistics& fast, std::uint64_t p);

}  // namespace dyadmill
