// The fast path's full passes over a combination under the epistasis
// likelihood-ratio test, taken where kept pairs are too dense for the
// kept-pair rescan to pay (see runPermutations). Each records every kept
// pair's value for permutation p (from 1) under the labels the working set
// holds now, exactly as the reference rescan does.
#pragma once

#include <cstdint>

#include "approximations.h"
#include "rescan_common.h"
#include "scan_types.h"

namespace dyadmill {

// Epistasis likelihood ratio under minP: every pair is scored with its
// exact statistics, its cases counted a tile at a time, and the carried
// KSA cut-off is the critical value at the previous unkept pair's p-value.
// `carried` is the value carried in from the previous combination and out
// to the next.
void rescanCarriedPairs(const ScanInputs& in, const RescanTarget& target, std::uint64_t p, double& carried);

// Epistasis likelihood ratio under maxT: every pair is screened, a tile at
// a time, against the cut-off carried from the previous unkept pair, and
// gets an exact statistic only where the approximations cannot settle it.
void rescanScreenChain(const ScanInputs& in, const RescanTarget& target, std::uint64_t p, FastStatistics& fast);

}  // namespace dyadmill
