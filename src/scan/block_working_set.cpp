#include "block_working_set.h"

#include <bit>
#include <cinttypes>
#include <cstdio>

#include "BinaryTestStat.h"
#include "console.h"
#include "simd_kernels.h"
#include "threads.h"

namespace dyadmill {

SubjectSubset::SubjectSubset(const std::vector<std::uint16_t>& labels, std::uint16_t label, bool match) {
  const std::uint64_t words = wordsFor(labels.size());
  mask_.assign(words, 0);
  rank_before_.assign(words, 0);
  for (std::uint64_t s = 0; s < labels.size(); ++s) {
    if ((labels[s] == label) == match) mask_[s / 64] |= std::uint64_t{1} << (s % 64);
  }
  for (std::uint64_t w = 0; w < words; ++w) {
    rank_before_[w] = members_;
    members_ += static_cast<std::uint64_t>(std::popcount(mask_[w]));
  }
}

namespace {

// Moves the bits of `source` at the members' positions to consecutive bits
// of `destination`.
[[gnu::always_inline]] inline void packBits(const std::uint64_t* mask, const std::uint64_t* rank_before,
                                            const std::uint64_t* source, std::uint64_t source_words,
                                            std::uint64_t* destination, std::uint64_t out_words) {
  for (std::uint64_t w = 0; w < out_words; ++w) destination[w] = 0;
  for (std::uint64_t w = 0; w < source_words; ++w) {
    std::uint64_t bits = source[w] & mask[w];
    while (bits != 0) {
      const unsigned b = static_cast<unsigned>(std::countr_zero(bits));
      // Member number = members before this word + members below bit b.
      const std::uint64_t member =
          rank_before[w] + static_cast<std::uint64_t>(std::popcount(mask[w] & ((std::uint64_t{1} << b) - 1)));
      destination[member / 64] |= std::uint64_t{1} << (member % 64);
      bits &= bits - 1;
    }
  }
}

// Every set bit costs a population count: where the CPU has the instruction
// it replaces a library loop several times slower. Both give the same bits.
__attribute__((target("popcnt"))) void packPopcnt(const std::uint64_t* mask, const std::uint64_t* rank_before,
                                                  const std::uint64_t* source, std::uint64_t source_words,
                                                  std::uint64_t* destination, std::uint64_t out_words) {
  packBits(mask, rank_before, source, source_words, destination, out_words);
}

void packPortable(const std::uint64_t* mask, const std::uint64_t* rank_before, const std::uint64_t* source,
                  std::uint64_t source_words, std::uint64_t* destination, std::uint64_t out_words) {
  packBits(mask, rank_before, source, source_words, destination, out_words);
}

using PackFunction = void (*)(const std::uint64_t*, const std::uint64_t*, const std::uint64_t*, std::uint64_t,
                              std::uint64_t*, std::uint64_t);

PackFunction bestPack() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("popcnt") ? packPopcnt : packPortable;
}

}  // namespace

void SubjectSubset::pack(const std::uint64_t* source, std::uint64_t source_words, std::uint64_t* destination) const {
  // A bit-extract instruction moves a word's members at once: splitting the
  // blocks of every combination then costs a small share of its scan.
  static const RowExtract extract = probeSimdKernels().extract;
  if (extract != nullptr) {
    extract(source, mask_.data(), source_words, destination, words());
    return;
  }
  static const PackFunction pack_function = bestPack();
  pack_function(mask_.data(), rank_before_.data(), source, source_words, destination, words());
}

namespace {

void splitBlock(const RunParameters& params, const GenotypeStore& store, std::uint64_t first_snp, std::uint64_t end_snp,
                const SubjectSubset& cases, const SubjectSubset& controls, SplitBlock& block) {
  block.first_snp = first_snp;
  block.snp_amount = end_snp - first_snp;
  block.first_row = store.cumdimension_vect[first_snp];
  const std::uint64_t rows = block.snp_amount * params.rowsPerSnp();
  block.cases = BitMatrix(rows, cases.words());
  block.controls = BitMatrix(rows, controls.words());
  const std::uint64_t words = store.snp_matrix.words();
  // Rows are split independently: the run's threads share them, unless
  // there are too few to be worth waking the threads for (small blocks, and
  // a pair's SNPs split on their own, see loadSnpPair).
  forEachIndex(rows, rows >= 256, [&](std::uint64_t r) {
    const std::uint64_t* source = store.snp_matrix.row(block.first_row + r);
    cases.pack(source, words, block.cases.row(r));
    controls.pack(source, words, block.controls.row(r));
  });
}

// The CPU's population count where it has one: the same counts, several
// times faster than the portable loop, for every combination's margins.
SubjectCount hardwareRowCount(const std::uint64_t* row, std::uint64_t words) {
  static const RowCounter count_row = probeSimdKernels().count_row;
  return count_row(row, words);
}

// Subjects at each level of every SNP (--nomissing): levels 1 and 2 are
// counted, level 0 is the rest.
void countMargins(const GenotypeStore& store, std::uint64_t case_words, std::uint64_t control_words,
                  SplitBlock& block) {
  countCaseMargins(store.affected_amount, case_words, block);
  block.totals_marginal.assign(block.snp_amount, LevelCounts{});
  for (std::uint64_t i = 0; i < block.snp_amount; ++i) {
    block.totals_marginal[i] = levelCounts(store.total_amount, [&](unsigned d) {
      return static_cast<SubjectCount>(block.affecteds_marginal[i][d] +
                                       hardwareRowCount(block.controls.row(nomissingLevelRow(i, d)), control_words));
    });
  }
}

}  // namespace

void countCaseMargins(SubjectCount affected_amount, std::uint64_t case_words, SplitBlock& block) {
  block.affecteds_marginal.assign(block.snp_amount, LevelCounts{});
  for (std::uint64_t i = 0; i < block.snp_amount; ++i) {
    block.affecteds_marginal[i] = levelCounts(affected_amount, [&](unsigned d) {
      return hardwareRowCount(block.cases.row(nomissingLevelRow(i, d)), case_words);
    });
  }
}

void levelShares(const LevelCounts& affecteds, const LevelCounts& totals, LevelFractions& affected_shares,
                 LevelFractions& unaffected_shares) {
  for (unsigned d = 0; d < kLevels; ++d) {
    if (totals[d] == 0) continue;
    const double affected = static_cast<double>(affecteds[d]) / static_cast<double>(totals[d]);
    affected_shares[d] = affected;
    unaffected_shares[d] = 1.0 - affected;
  }
}

void computeMarginFractions(SplitBlock& block) {
  block.affecteds_marginal_fractions.assign(block.snp_amount, LevelFractions{});
  block.unaffecteds_marginal_fractions.assign(block.snp_amount, LevelFractions{});
  for (std::uint64_t i = 0; i < block.snp_amount; ++i) {
    levelShares(block.affecteds_marginal[i], block.totals_marginal[i], block.affecteds_marginal_fractions[i],
                block.unaffecteds_marginal_fractions[i]);
  }
}

namespace {

// Run-wide constants of the reduced statistics for this run's mode.
void reducedFormConstants(const RunParameters& params, const GenotypeStore& store, double& affected_fraction,
                          double& unaffected_fraction) {
  affected_fraction = 0.0;
  unaffected_fraction = 0.0;
  if (!params.reducedForms()) return;
  const double case_share = static_cast<double>(store.affected_amount) / static_cast<double>(store.total_amount);
  if (!params.epistasis()) {
    affected_fraction = params.score()
                            ? case_share
                            : BinaryTestStat::caseControlLogLikelihood(store.total_amount, store.affected_amount);
  } else if (!params.score()) {
    affected_fraction = case_share;
    unaffected_fraction = 1.0 - case_share;
  }
}

}  // namespace

void loadBlockCombination(const RunParameters& params, const GenotypeStore& store, const BlockTable& blocks,
                          std::uint64_t K, const SubjectSubset& cases, const SubjectSubset& controls,
                          BlockWorkingSet& set) {
  console().print("\n\nINFO: Processing data block combinatation %" PRIu64 " out of %" PRIu64 " \n\n", K + 1,
                  blocks.Kend);
  set.K = K;
  // A single block is the whole data set, whatever the table says.
  const bool whole = blocks.blockAmount == 1;
  const std::uint64_t b1 = whole ? 0 : blocks.begin[K];
  const std::uint64_t e1 = whole ? store.snp_amount : blocks.end[K];
  set.coincide = blocks.begin[K] == blocks.begin2[K];
  set.partner_start.clear();
  if (!blocks.staircase.empty() && blocks.staircase[K] != 0) {
    set.partner_start =
        staircaseStarts(store.set_layout.file_index, blocks.begin[K], blocks.end[K], blocks.begin2[K], blocks.end2[K]);
  }
  set.affected_int_amount = cases.words();
  set.unaffected_int_amount = controls.words();

  splitBlock(params, store, b1, e1, cases, controls, set.block1);
  console().print("INFO: SNPs in the block: %" PRIu64 " \n", set.block1.snp_amount);
  if (!set.coincide) {
    splitBlock(params, store, blocks.begin2[K], blocks.end2[K], cases, controls, set.block2_storage);
  } else {
    set.block2_storage = SplitBlock{};
  }

  reducedFormConstants(params, store, set.affected_fraction, set.unaffected_fraction);
  console().line("INFO: Calculating marginal fractions for the 1st marker (BEFORE PERMUTATION if any)");
  if (params.missing()) return;
  countMargins(store, set.affected_int_amount, set.unaffected_int_amount, set.block1);
  if (!set.coincide) countMargins(store, set.affected_int_amount, set.unaffected_int_amount, set.block2());
  if (params.epistasis() && !params.score() && params.reducedForms()) {
    computeMarginFractions(set.block1);
    if (!set.coincide) computeMarginFractions(set.block2());
  }
}

namespace {

SplitBlock caseSideOf(const SplitBlock& block) {
  SplitBlock copy;
  copy.first_snp = block.first_snp;
  copy.snp_amount = block.snp_amount;
  copy.first_row = block.first_row;
  copy.cases = BitMatrix(block.cases.rows(), block.cases.words());
  copy.affecteds_marginal = block.affecteds_marginal;
  copy.totals_marginal = block.totals_marginal;
  copy.affecteds_marginal_fractions = block.affecteds_marginal_fractions;
  copy.unaffecteds_marginal_fractions = block.unaffecteds_marginal_fractions;
  return copy;
}

}  // namespace

BlockWorkingSet copyForLazyRelabelling(const BlockWorkingSet& set) {
  BlockWorkingSet copy;
  copy.K = set.K;
  copy.coincide = set.coincide;
  copy.block1 = caseSideOf(set.block1);
  if (!set.coincide) copy.block2_storage = caseSideOf(set.block2_storage);
  copy.affected_int_amount = set.affected_int_amount;
  copy.unaffected_int_amount = set.unaffected_int_amount;
  copy.affected_fraction = set.affected_fraction;
  copy.unaffected_fraction = set.unaffected_fraction;
  copy.partner_start = set.partner_start;
  return copy;
}

void loadSnpPair(const RunParameters& params, const GenotypeStore& store, std::uint64_t snp1, std::uint64_t snp2,
                 const SubjectSubset& cases, const SubjectSubset& controls, BlockWorkingSet& set) {
  set.coincide = false;
  set.affected_int_amount = cases.words();
  set.unaffected_int_amount = controls.words();
  auto load = [&](std::uint64_t snp, SplitBlock& block) {
    if (block.snp_amount == 1 && block.first_snp == snp) return;
    splitBlock(params, store, snp, snp + 1, cases, controls, block);
    if (!params.missing()) countMargins(store, set.affected_int_amount, set.unaffected_int_amount, block);
  };
  load(snp1, set.block1);
  load(snp2, set.block2_storage);
}

}  // namespace dyadmill
