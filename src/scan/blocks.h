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
  std::uint64_t blockAmount = 0;        // B, the blocks in use: -b as given, else the automatic count
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

// A block count given with -b that exceeds the number of SNPs would make
// empty blocks and a table growing with its square: refused.
Outcome checkBlockAmount(const RunParameters& params, std::uint64_t snp_amount);

// A scanning process of a split run (-n N > 1) needs at least N block
// combinations to share: with fewer, says which -b would give them.
Outcome checkProcessDivision(const RunParameters& params, std::uint64_t snp_amount);

// The block count a run uses: the one given with -b, else the automatic one.
std::uint64_t blocksInUse(const RunParameters& params, std::uint64_t snp_amount);

// Number of the combination holding the pair of SNPs i < j, in the order of
// listBlockCombinations, computed without listing the table. Needs
// 1 <= blocks <= snp_amount.
std::uint64_t combinationOfPair(std::uint64_t snp_amount, std::uint64_t blocks, std::uint64_t i, std::uint64_t j);

// The combinations [first, second) of process `process` (1..n) when
// `combinations` are shared among n processes; empty when it gets none.
struct ProcessShare {
  std::uint64_t Kbegin = 0;
  std::uint64_t Kend = 0;
};
ProcessShare processShare(std::uint64_t combinations, std::uint64_t n, std::uint64_t process);

// Chooses the block count when none was given, prints the block table and
// this process's share, and fills `table`. Stops when the count is unusable
// or some process would get no combination.
Outcome formBlocks(const RunParameters& params, std::uint64_t snp_amount, BlockTable& table);

}  // namespace dyadmill
