// One block combination and everything that lives as long as it: the
// working set (the two blocks' split rows and margins), the scorer over it,
// the cut-offs, the per-pair stores the permutation rescans reuse and the
// kept pairs. The first scan fills it, the rescans and the genome-wide pass
// read it, and the run's list takes its kept pairs at the end.
#pragma once

#include <cstdint>
#include <ctime>

#include "block_working_set.h"
#include "pair_scorer.h"
#include "scan_types.h"

namespace dyadmill {

struct BlockCombination {
  // Builds combination K of `blocks`: its working set, its cut-offs, and,
  // when permutations are requested, its stores: sized for every pair when
  // `every_pair_stores` (the first scan fills them), else chosen after the
  // first scan.
  BlockCombination(const RunParameters& params, const GenotypeStore& store, const BlockTable& blocks, std::uint64_t K,
                   const SubjectSubset& cases, const SubjectSubset& controls, bool every_pair_stores);
  BlockCombination(const BlockCombination&) = delete;
  BlockCombination& operator=(const BlockCombination&) = delete;

  BlockWorkingSet set;  // rewritten by the relabellings of the permutations
  const PairScorer scorer;
  Thresholds thresholds;
  PairStores stores;
  TopVector top_vect_block;    // kept pairs in scan order
  std::time_t start_time = 0;  // start of the first scan, for the run-time estimates
};

}  // namespace dyadmill
