// Data blocks and process shares.
//
// The SNPs are cut into blockAmount consecutive blocks; every unordered pair
// of blocks (a block with itself included) is a block combination, listed in
// a fixed order so that separately started processes agree on the table and
// each takes the contiguous slice of its own process number.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "outcome.h"
#include "run_parameters.h"
#include "set_layout.h"

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
  // Pair-set tables only (empty otherwise). A staircase combination pairs
  // SNP i of its first range only with the SNPs of the second range that
  // come after it in the input file; `pairs` holds each combination's pairs.
  std::vector<std::uint8_t> staircase;
  std::vector<std::uint64_t> pairs;
};

// Pairs of block combination K: a block with itself holds n (n - 1) / 2
// pairs, two different blocks n1 x n2, a staircase what the table counted.
std::uint64_t combinationPairs(const BlockTable& blocks, std::uint64_t K);

// Automatic block count for `snp_amount` SNPs: blocks of at most 19999 SNPs
// without permutations, of at most 1998 with them.
std::uint64_t automaticBlockAmount(std::uint64_t snp_amount, std::uint64_t permutationParam);

// Lists the combinations of `blocks` blocks over `snp_amount` SNPs, in order:
// pairs of distinct blocks first, then every block with itself.
BlockTable listBlockCombinations(std::uint64_t snp_amount, std::uint64_t blocks);

// With pair sets (set_layout.h) each group of SNPs is cut into blocks of its
// own, of at most ceil(snp_amount / blocks) SNPs, so that a block pair holds
// either only pairs of the sets or none. Blocks of the group in both sets
// pair with each other as in a full table; a block of one group pairs with a
// block of another group twice, as two staircase combinations: once with
// the first block's SNPs as first SNPs (each with the partners after it in
// the file), once the other way round, so that every pair keeps the
// orientation of a full scan. Empty combinations are not listed. The table's
// blockAmount is the number of blocks cut, which may exceed `blocks` by up
// to two.
BlockTable listSetCombinations(const SetLayout& layout, std::uint64_t blocks);

// For a staircase combination of SNPs [begin, end) with [begin2, end2)
// (ranges within one group, so in file order): for each first SNP, the
// index in the second range of its first partner, the first SNP after it in
// the file.
std::vector<std::uint64_t> staircaseStarts(const std::vector<std::uint64_t>& file_index, std::uint64_t begin,
                                           std::uint64_t end, std::uint64_t begin2, std::uint64_t end2);

// The table of a run: every pair of blocks, or with pair sets the
// combinations between the sets.
BlockTable listCombinations(std::uint64_t snp_amount, std::uint64_t blocks, const SetLayout& layout);

// Pairs of SNPs the combinations of `table` hold.
std::uint64_t pairsTested(const BlockTable& table);

// Which combination holds a pair of SNPs i < j, for a full table (computed)
// or a set table (looked up), without printing anything.
class CombinationIndex {
 public:
  CombinationIndex(std::uint64_t snp_amount, std::uint64_t blocks, const SetLayout& layout);
  std::uint64_t blocksUsed() const { return blocks_used_; }
  bool listed() const { return listed_; }  // a pair-set table
  std::uint64_t combinations() const { return combinations_; }
  // The combination holding the pair with first SNP i and second SNP j;
  // combinations() when none does.
  std::uint64_t of(std::uint64_t i, std::uint64_t j) const;

 private:
  std::uint64_t snp_amount_ = 0;
  std::uint64_t blocks_ = 0;
  std::uint64_t blocks_used_ = 0;
  std::uint64_t combinations_ = 0;
  bool listed_ = false;
  // With sets: first SNP of each block (and the end), and the combination
  // of each listed block pair (first SNPs' block * blocks + partners' block).
  std::vector<std::uint64_t> block_begin_;
  std::unordered_map<std::uint64_t, std::uint64_t> combination_;
  std::vector<std::uint64_t> set_file_index_;
};

// A block count given with -b that exceeds the number of SNPs would make
// empty blocks and a table growing with its square: refused.
Outcome checkBlockAmount(const RunParameters& params, std::uint64_t snp_amount);

// A scanning process of a split run (-n N > 1) needs at least N block
// combinations to share: with fewer, says which -b would give them.
Outcome checkProcessDivision(const RunParameters& params, std::uint64_t snp_amount, const SetLayout& layout = {});

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
Outcome formBlocks(const RunParameters& params, std::uint64_t snp_amount, BlockTable& table,
                   const SetLayout& layout = {});

}  // namespace dyadmill
