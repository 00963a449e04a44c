// The pair scan of this process's block combinations: for each
// combination its working set, stores and cut-offs, the first scan, the
// permutations, and the hand-over of the kept pairs to the run's list.
#pragma once

#include "scan_types.h"

namespace dyadmill {

// Scans every combination of this process's share into ctx.top_vect, by
// the fast path in a run of the program; tests and the scan bench also
// run the reference (see ScanPath) and choose the fast rescans (see
// FastRescan; the reference path ignores it).
Outcome scanBlockCombinations(ScanContext& ctx, ScanPath path, FastRescan rescan = FastRescan::ByCost);

}  // namespace dyadmill
