// The working set of one block combination: the two blocks' bit rows split
// into packed case rows and control rows, and the per-SNP margins that the
// pair loop and the permutation rescan need again for every pair.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "blocks.h"
#include "genotype_store.h"
#include "run_parameters.h"

namespace dyadmill {

// A subset of the subjects (the cases, or the controls) and where each
// subject lands when a row of all subjects is packed down to the subset:
// member numbers follow file order.
class SubjectSubset {
 public:
  SubjectSubset() = default;
  // Members: the subjects whose label equals `label` (when `match` is true)
  // or differs from it (when false).
  SubjectSubset(const std::vector<std::uint16_t>& labels, std::uint16_t label, bool match);

  std::uint64_t members() const { return members_; }
  std::uint64_t words() const { return wordsFor(members_); }

  // Packs `source` (a row over all subjects, source_words words) into
  // `destination` (words() words, overwritten).
  void pack(const std::uint64_t* source, std::uint64_t source_words, std::uint64_t* destination) const;

 private:
  std::vector<std::uint64_t> mask_;         // per source word: its subjects that are members
  std::vector<std::uint64_t> rank_before_;  // per source word: members in earlier words
  std::uint64_t members_ = 0;
};

// One block of consecutive SNPs of a combination, split by trait.
struct SplitBlock {
  std::uint64_t first_snp = 0;   // global index of the block's first SNP
  std::uint64_t snp_amount = 0;  // SNPs in the block
  std::uint64_t first_row = 0;   // first row of the block in snp_matrix
  BitMatrix cases;               // one row per block row, cases only
  BitMatrix controls;            // one row per block row, controls only

  // Per SNP, --nomissing only (empty otherwise): cases and subjects at each
  // level, and with the reduced KSA form, the case and control share of each
  // level (0 for a level without subjects).
  std::vector<LevelCounts> affecteds_marginal;
  std::vector<LevelCounts> totals_marginal;
  std::vector<LevelFractions> affecteds_marginal_fractions;
  std::vector<LevelFractions> unaffecteds_marginal_fractions;
};

struct BlockWorkingSet {
  std::uint64_t K = 0;
  bool coincide = false;  // both blocks are the same block: block2 aliases block1
  SplitBlock block1;
  SplitBlock block2_storage;                // unused when coincide
  std::uint64_t affected_int_amount = 0;    // words per case row
  std::uint64_t unaffected_int_amount = 0;  // words per control row
  // Run-wide constants of the reduced statistics (0 when not in use).
  double affected_fraction = 0.0;
  double unaffected_fraction = 0.0;

  // A staircase combination of pair sets: first partner of each first SNP
  // (blocks.h); empty otherwise.
  std::vector<std::uint64_t> partner_start;

  const SplitBlock& block2() const { return coincide ? block1 : block2_storage; }

  // Pairs are (i, j) with i < firstSnpEnd() and j from firstPartner(i) on:
  // a block with itself gives each unordered pair once (i < j), two blocks
  // every combination, a staircase the partners after i in the file. An
  // empty block gives no pair.
  std::uint64_t firstSnpEnd() const {
    const std::uint64_t last = coincide ? 1 : 0;
    return block1.snp_amount > last ? block1.snp_amount - last : 0;
  }
  std::uint64_t firstPartner(std::uint64_t i) const {
    if (!partner_start.empty()) return partner_start[i];
    return coincide ? i + 1 : 0;
  }
  SplitBlock& block2() { return coincide ? block1 : block2_storage; }
};

// A copy of `set` for a permutation lane that scores pairs from saved
// totals and case rows rebuilt SNP by SNP before they are read (see
// LazyCaseRows): its case rows start out zero and take memory only as SNPs
// are rebuilt, and it has no control rows, which no such rescan reads.
// Margins and shares are copied.
BlockWorkingSet copyForLazyRelabelling(const BlockWorkingSet& set);

// Builds combination K's working set: copies nothing from the store but the
// split rows; prints the combination's announcement and the margin line.
void loadBlockCombination(const RunParameters& params, const GenotypeStore& store, const BlockTable& blocks,
                          std::uint64_t K, const SubjectSubset& cases, const SubjectSubset& controls,
                          BlockWorkingSet& set);

// The working set of the pair of SNPs `snp1` and `snp2` alone, each a block
// of one SNP (block-local indices 0 and 0): what counting one pair's table
// outside the scan needs. A block that already holds its SNP is kept, so
// pairs taken in order of their first SNP split its rows once: `set` must
// be new or come from an earlier call with the same store and subsets.
// Prints nothing; the reduced statistics' constants are left at 0.
void loadSnpPair(const RunParameters& params, const GenotypeStore& store, std::uint64_t snp1, std::uint64_t snp2,
                 const SubjectSubset& cases, const SubjectSubset& controls, BlockWorkingSet& set);

// The level counts of one SNP without missing genotypes: levels 1 and 2 from
// `count_level(d)`, level 0 the rest of `all`. Every per-SNP margin is made
// this way, so that they agree to the subject.
template <typename CountLevel>
LevelCounts levelCounts(SubjectCount all, CountLevel&& count_level) {
  LevelCounts counts{};
  counts[0] = all;
  for (unsigned d = 1; d < kLevels; ++d) {
    counts[d] = count_level(d);
    counts[0] = static_cast<SubjectCount>(counts[0] - counts[d]);
  }
  return counts;
}

// Row of level d >= 1 of SNP `snp` in a block's rows without missing
// genotypes.
inline std::uint64_t nomissingLevelRow(std::uint64_t snp, unsigned d) {
  return snp * 2 + d - 1;
}

// The case and control share of each level of one SNP; a level without
// subjects keeps 0 in both.
void levelShares(const LevelCounts& affecteds, const LevelCounts& totals, LevelFractions& affected_shares,
                 LevelFractions& unaffected_shares);

// Per-SNP case counts of a split block (--nomissing), from its case rows:
// level 0 = all cases minus the counted levels.
void countCaseMargins(SubjectCount affected_amount, std::uint64_t case_words, SplitBlock& block);

// Per-SNP case and control shares of each level, from the margins.
void computeMarginFractions(SplitBlock& block);

}  // namespace dyadmill
