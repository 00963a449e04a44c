// The bit-packed table count of every pair against a subject-by-subject
// count, the cell rule, the degrees of freedom and the per-df thresholds.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "block_working_set.h"
#include "blocks.h"
#include "chi_square.h"
#include "console.h"
#include "naive_scan.h"
#include "pair_table.h"
#include "scan_types.h"
#include "table_counting.h"

namespace dyadmill::testing {
namespace {

struct Shape {
  std::size_t subjects;
  bool missing;
  int min_cell;
  bool epistasis;
};

class PairTableMatchesNaiveCount : public ::testing::TestWithParam<Shape> {};

// For every combination of a 3-block split, every pair's cases and totals,
// row 0 and column 0 included, equal a direct count; so do the amounts and
// (under epistasis) the pair's own margins where the full statistics read
// them. Then the same under a relabelling of the trait, counting cases only.
TEST_P(PairTableMatchesNaiveCount, InEveryCombinationAndUnderRelabelling) {
  const Shape shape = GetParam();
  GenotypeData data = randomGenotypes(static_cast<std::uint32_t>(shape.subjects * 7 + shape.missing), 11,
                                      shape.subjects, 0.4, shape.missing ? 0.1 : 0.0);
  for (std::vector<int>& subject : data.genotypes) {
    if (subject[3] == 0) subject[3] = 1;  // a SNP without level 0
  }
  data.traits[0] = 1;  // both groups present whatever the size
  data.traits[1] = 0;
  RunParameters params;
  params.missingGenoOption = shape.missing ? 1 : 0;
  params.minGroupSizeParam = shape.min_cell;
  params.hypothesisOption = shape.epistasis ? 1 : 0;
  params.blockAmount = 3;
  const GenotypeStore store = loadStore(data, params);
  const std::vector<int> labels = recodedTraits(data);
  const BlockTable blocks = listBlockCombinations(store.snp_amount, 3);
  const SubjectSubset cases(store.binary_diagnostic_vect, 1, true);
  const SubjectSubset controls(store.binary_diagnostic_vect, 1, false);
  const bool full_forms = !params.reducedForms();

  std::mt19937 rng(99);
  std::vector<std::uint16_t> shuffled = store.binary_diagnostic_vect;
  std::shuffle(shuffled.begin(), shuffled.end(), rng);
  std::vector<int> shuffled_labels(shuffled.begin(), shuffled.end());

  std::size_t pairs = 0;
  for (std::uint64_t K = 0; K < blocks.blockcombo_amount; ++K) {
    BlockWorkingSet set;
    console().startCapture();
    loadBlockCombination(params, store, blocks, K, cases, controls, set);
    console().endCapture();
    const SplitBlock& b1 = set.block1;
    const std::uint64_t start = set.coincide ? 1 : 0;
    std::vector<PairTable> saved;
    for (std::uint64_t i = 0; i + start < b1.snp_amount; ++i) {
      for (std::uint64_t j = (i + 1) * start; j < set.block2().snp_amount; ++j) {
        PairTable table;
        countPairTable(params, set, store.affected_amount, store.total_amount, i, j, table);
        const std::size_t a = b1.first_snp + i, b = set.block2().first_snp + j;
        const NaiveTable naive = naiveTable(data, labels, a, b, params.minCellSize());
        ASSERT_TRUE(std::equal(naive.total, naive.total + 9, table.total_subjects.begin())) << a << "," << b;
        ASSERT_TRUE(std::equal(naive.affected, naive.affected + 9, table.affected_subjects.begin())) << a << "," << b;
        if (full_forms) {
          int A = 0, N = 0;
          for (int k = 0; k < 9; ++k) A += naive.affected[k], N += naive.total[k];
          EXPECT_EQ(table.affected_subjects_amount, A);
          EXPECT_EQ(table.total_subjects_amount, N);
          if (shape.epistasis) {
            for (int c = 0; c < 3; ++c) {
              EXPECT_EQ(table.total_subjects_marg1[c],
                        naive.total[c * 3] + naive.total[c * 3 + 1] + naive.total[c * 3 + 2]);
              EXPECT_EQ(table.affected_subjects_marg2[c],
                        naive.affected[c] + naive.affected[3 + c] + naive.affected[6 + c]);
            }
          }
        }
        saved.push_back(table);
        ++pairs;
      }
    }

    // Relabel: rebuild the case rows and case margins as the permutation
    // loop does, then recount cases only with the saved totals.
    const SubjectSubset permuted(shuffled, 1, true);
    SplitBlock* split[2] = {&set.block1, set.coincide ? nullptr : &set.block2()};
    for (SplitBlock* block : split) {
      if (block == nullptr) continue;
      for (std::uint64_t r = 0; r < block->snp_amount * params.rowsPerSnp(); ++r) {
        permuted.pack(store.snp_matrix.row(block->first_row + r), store.snp_matrix.words(), block->cases.row(r));
      }
      if (!shape.missing) countCaseMargins(store.affected_amount, set.affected_int_amount, *block);
    }
    std::size_t n = 0;
    for (std::uint64_t i = 0; i + start < b1.snp_amount; ++i) {
      for (std::uint64_t j = (i + 1) * start; j < set.block2().snp_amount; ++j) {
        PairTable table = saved[n++];
        countPermutedCaseTable(params, set, store.affected_amount, i, j, table);
        const NaiveTable naive =
            naiveTable(data, shuffled_labels, b1.first_snp + i, set.block2().first_snp + j, params.minCellSize());
        ASSERT_TRUE(std::equal(naive.affected, naive.affected + 9, table.affected_subjects.begin()));
        if (full_forms) {
          int A = 0;
          for (int k = 0; k < 9; ++k) A += naive.affected[k];
          EXPECT_EQ(table.affected_subjects_amount, A);
        }
      }
    }
  }
  EXPECT_EQ(pairs, 55u);
}

INSTANTIATE_TEST_SUITE_P(SubjectCountsAndModes, PairTableMatchesNaiveCount,
                         ::testing::Values(Shape{2, false, 1, true}, Shape{63, false, 1, false},
                                           Shape{64, false, 1, true}, Shape{65, true, 1, true},
                                           Shape{129, false, 3, true}, Shape{130, true, 3, true},
                                           Shape{200, false, 1, false}, Shape{200, true, 2, false},
                                           Shape{97, false, 0, true}));

PairTable tableWithTotals(std::initializer_list<int> totals) {
  PairTable t;
  int k = 0;
  for (int v : totals) t.total_subjects[k++] = static_cast<std::uint16_t>(v);
  return t;
}

TEST(DegreesOfFreedom, FollowTheOccupiedCells) {
  RunParameters association, epistasis;
  epistasis.hypothesisOption = 1;
  struct Case {
    std::initializer_list<int> totals;
    int association_df;
    int epistasis_df;
  };
  const Case cases[] = {
      {{5, 5, 5, 5, 5, 5, 5, 5, 5}, 8, 4},
      // One empty corner costs one degree in both tests, whichever corner:
      // the same table with the other allele counted.
      {{0, 5, 5, 5, 5, 5, 5, 5, 5}, 7, 3},
      {{5, 5, 5, 5, 5, 5, 5, 5, 0}, 7, 3},
      // A whole empty level of SNP 2: a 3 x 2 table.
      {{5, 5, 0, 5, 5, 0, 5, 5, 0}, 5, 2},
      // Two occupied cells that share no row or column: two separate 1 x 1
      // tables, nothing can interact.
      {{5, 0, 0, 0, 5, 0, 0, 0, 0}, 1, 0},
      // A diagonal of three: still nothing to interact.
      {{5, 0, 0, 0, 5, 0, 0, 0, 5}, 2, 0},
      // A SNP with a single level: nothing left to test for interaction.
      {{0, 0, 0, 5, 5, 5, 0, 0, 0}, 2, 0},
      {{9, 0, 0, 0, 0, 0, 0, 0, 0}, 0, 0},
      {{0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, 0},
  };
  for (const Case& c : cases) {
    const PairTable t = tableWithTotals(c.totals);
    EXPECT_EQ(degreesOfFreedom(association, t), c.association_df);
    EXPECT_EQ(degreesOfFreedom(epistasis, t), c.epistasis_df);
  }
}

// The occupied cells with SNP 1's levels reversed (0 <-> 2), SNP 2's levels
// reversed, or the two SNPs swapped.
unsigned mapCells(unsigned occupied, int (*cell)(int c, int d)) {
  unsigned mapped = 0;
  for (int c = 0; c < 3; ++c) {
    for (int d = 0; d < 3; ++d) {
      if (occupied >> (c * 3 + d) & 1u) mapped |= 1u << cell(c, d);
    }
  }
  return mapped;
}

TEST(DegreesOfFreedom, EveryPatternMatchesTheDesignRankAndIgnoresTheCountedAllele) {
  for (const bool epistasis : {false, true}) {
    for (unsigned occupied = 0; occupied < kOccupancyPatterns; ++occupied) {
      const int df = degreesOfFreedomOfPattern(epistasis, occupied);
      ASSERT_EQ(df, testing::designRankDegreesOfFreedom(occupied, epistasis)) << occupied << " " << epistasis;
      const unsigned flipped1 = mapCells(occupied, [](int c, int d) { return (2 - c) * 3 + d; });
      const unsigned flipped2 = mapCells(occupied, [](int c, int d) { return c * 3 + 2 - d; });
      const unsigned swapped = mapCells(occupied, [](int c, int d) { return d * 3 + c; });
      EXPECT_EQ(degreesOfFreedomOfPattern(epistasis, flipped1), df) << occupied;
      EXPECT_EQ(degreesOfFreedomOfPattern(epistasis, flipped2), df) << occupied;
      EXPECT_EQ(degreesOfFreedomOfPattern(epistasis, swapped), df) << occupied;
      // Through a table: only whether a total is 0 matters, not its size.
      PairTable t;
      for (unsigned k = 0; k < kCells; ++k) t.total_subjects[k] = (occupied >> k & 1u) ? 1 + 37 * k : 0;
      RunParameters params;
      params.hypothesisOption = epistasis ? 1 : 0;
      EXPECT_EQ(degreesOfFreedom(params, t), df);
    }
  }
}

TEST(Thresholds, MaxTUsesTheThresholdAsGivenAndMinPGrowsCriticalValuesLazily) {
  RunParameters params;
  params.thresholdParam = 9.487729f;
  Thresholds t;
  initThresholds(params, t);
  EXPECT_EQ(t.threshold, static_cast<double>(9.487729f));
  EXPECT_EQ(t.maxdf, 0);
  EXPECT_TRUE(t.threshold_by_df.empty());
  params.hypothesisOption = 1;
  params.thresholdParam = 60.0f;
  initThresholds(params, t);
  EXPECT_EQ(t.threshold_KSA, 60.0);
  params.testTypeOption = 1;
  initThresholds(params, t);
  EXPECT_EQ(t.threshold_KSA, 0.0);

  params.algoOption = 1;
  params.testTypeOption = 0;
  params.thresholdParam = 0.05f;
  initThresholds(params, t);
  ASSERT_EQ(t.threshold_by_df.size(), 1u);
  EXPECT_NEAR(t.threshold_by_df[0], 3.8414588, 1e-6);
  EXPECT_EQ(t.threshold, 0.0);
  EXPECT_EQ(t.maxdf, 1);
  extendThresholds(params, t, 4);
  ASSERT_EQ(t.threshold_by_df.size(), 4u);
  EXPECT_NEAR(t.threshold_by_df[3], 9.4877290, 1e-5);
  EXPECT_EQ(t.threshold_by_df_KSA, t.threshold_by_df);
  extendThresholds(params, t, 2);  // never shrinks
  EXPECT_EQ(t.maxdf, 4);

  params.testTypeOption = 1;
  initThresholds(params, t);
  extendThresholds(params, t, 3);
  EXPECT_EQ(t.threshold_by_df_KSA, std::vector<double>(3, 0.0));
  params.hypothesisOption = 0;
  initThresholds(params, t);
  EXPECT_TRUE(t.threshold_by_df_KSA.empty());
}

TEST(ChiSquare, GuardsKeepTheDistributionInItsDomain) {
  EXPECT_EQ(upperTailPValue(-1e-13, 4), 1.0);
  EXPECT_EQ(upperTailPValue(std::nan(""), 4), 1.0);
  EXPECT_EQ(upperTailPValue(INFINITY, 4), 0.0);
  EXPECT_EQ(upperTailPValue(0.0, 4), 1.0);
  EXPECT_NEAR(upperTailPValue(3.8414588, 1), 0.05, 1e-8);
  EXPECT_EQ(upperTailCriticalValue(3, 0.0), INFINITY);
  EXPECT_EQ(upperTailCriticalValue(3, 1.0), 0.0);
  EXPECT_NEAR(upperTailCriticalValue(1, static_cast<double>(0.001f)), 10.827566, 1e-5);
}

}  // namespace
}  // namespace dyadmill::testing
