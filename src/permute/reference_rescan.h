// The reference rescan of a combination under permuted labels: what the
// fast rescans are tested against.
#pragma once

#include <cstdint>

#include "rescan_common.h"

namespace dyadmill {

// Permutation p (from 1) of the combination, under the labels the working
// set holds now: every pair rescored from the saved totals, the KSA cut-off
// carried from pair to pair, each kept pair's value recorded. `carried` is
// the value carried in from the previous combination and out to the next.
void rescanReference(const RunParameters& params, const RescanTarget& target, std::uint64_t p, double& carried);

}  // namespace dyadmill
