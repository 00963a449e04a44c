// Data blocks and process shares.
//
// The SNPs are cut into blockAmount consecutive blocks; every unordered pair
// of blocks (a block with itself included) is a block combination, listed in
// a fixed order so that separately started processes agree on the table and
// each takes the contiguous slice of its own process number.
#pragma once

#include <cstdint>
#include <vector>

#include "outcome.h"
#include "run_parameters.h"

namespace dyadmill {

struct BlockTable {
  std::uint64_t blockcombo_amount = 0;  // B (B + 1) / 2
  std::uint64_t maxblock_size = 0;      // S = ceil(snp_amount / B), size of the larger blocks
  std::uint64_t maxblock_amount = 0;    // A = number of larger blocks; the others hold S - 1 SNPs
  // Combination K covers SNPs [begin[K], end[K]) and [begin2[K], end2[K]).
  std::vector<std::uint64_t> begin, end, begin2, end2;
  std::uint64_t Kbegin = 0;  // this process's combinations: Kbegin <= K < Kend
  std::uint64_t Kend = 0;
};

// Automatic block count for `snp_amount` SNPs: blocks of at most 19999 SNPs
// without permutations, of at most 1998 with them.
std::uint64_t automaticBlockAmount(std::uint64_t snp_amount, std::uint64_t permutationParam);

// Lists the combinations of `blocks` blocks over `snp_amount` SNPs, in order:
// pairs of distinct blocks first, then every block with itself.
BlockTable listBlockCombinations(std::uint64_t snp_amount, std::uint64_t blocks);

// Chooses the block count when none was given, prints the block table and
// this process's share, and fills `table`. Stops when the count is unusable
// or some process would get no combination.
Outcome formBlocks(RunParameters& params, std::uint64_t snp_amount, BlockTable& table);

}  // namespace dyadmill
