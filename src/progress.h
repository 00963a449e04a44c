// Progress lines and run-time estimates of long scans. They are only
// printed; nothing in the scan depends on them.
#pragma once

#include <cstdint>
#include <ctime>

namespace dyadmill {

// Whether the pair loop reports before first-block SNP i: at i = 0, h, 2h, ...
// with h = (SNPs of block 1 - coincide) / 2, or at i = 0 only when h is 0.
bool progressStepDue(std::uint64_t i, std::uint64_t half_snp_amount_block);

struct PairLoopProgress {
  std::uint64_t i;                 // first-block SNP about to be scanned
  std::time_t start_time;          // start of this combination's pair loop
  std::uint64_t snp_amount_block;  // SNPs of block 1
  bool coincide;
  std::uint64_t top_vect_size;        // kept pairs of earlier combinations
  std::uint64_t top_vect_block_size;  // kept pairs of this combination so far
  std::uint64_t K;                    // combination index, from 0
  std::uint64_t Kend;                 // end of this process's range
};

// Kept-pair count, hours left, and the storage warning when the kept-pair
// rate of this combination, extrapolated, would overflow the result list.
void reportPairLoopProgress(const PairLoopProgress& progress);

// Estimated total hours of the permutation phase, taken at the start of
// permutation 2 of a combination.
void reportPermutationEstimate(std::uint64_t permutationParam, std::uint64_t remain_blocks, std::time_t now_perm,
                               std::time_t start_time);

}  // namespace dyadmill
