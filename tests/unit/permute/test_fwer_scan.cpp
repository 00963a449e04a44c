// The genome-wide permutation extremes (--fwer): the fast pass against the
// reference pass bit for bit, and both against a brute force that rescores
// every pair subject by subject under every permutation.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>

#include "BinaryTestStat.h"
#include "approximations.h"
#include "blocks.h"
#include "chi_square.h"
#include "console.h"
#include "fwer.h"
#include "naive_scan.h"
#include "scan_driver.h"

namespace dyadmill::testing {
namespace {

using Mode = ScanMode;

std::string describe(const Mode& m, std::uint16_t blocks) {
  return describeMode(m) + "/b" + std::to_string(blocks);
}

RunParameters parametersOf(const Mode& m, std::uint16_t blocks, std::uint64_t permutations) {
  RunParameters p = modeParameters(m);
  p.processAmount = 1;
  p.blockAmount = blocks;
  p.permutationParam = permutations;
  p.randomParam = 4242;
  p.fwerOption = true;
  p.thresholdParam = m.minP ? 0.2f : 4.0f;
  return p;
}

std::vector<double> scanExtremes(const RunParameters& params, const GenotypeStore& store, ScanPath path,
                                 FastRescan rescan = FastRescan::ByCost) {
  RunParameters run = params;
  BlockTable blocks;
  console().startCapture();
  const bool formed = !formBlocks(run, store.snp_amount, blocks).stopped();
  ScanContext ctx(run, store, blocks);
  const bool scanned = formed && !scanBlockCombinations(ctx, path, rescan).stopped();
  const std::string output = console().endCapture();
  EXPECT_TRUE(scanned) << output;
  return ctx.fwer;
}

GenotypeData fwerData(std::uint32_t seed, std::size_t snps, std::size_t subjects, bool missing) {
  GenotypeData data = randomGenotypes(seed, snps, subjects, 0.35, missing ? 0.06 : 0.0);
  // Rare levels, so that cells empty out and the cell rule drops some.
  for (std::vector<int>& subject : data.genotypes) {
    if (subject[2] == 2) subject[2] = 1;
    if (subject[5] == 0) subject[5] = 1;
  }
  return data;
}

// In every mode the extremes are those of the brute force, exactly, with
// one block or three (so they do not depend on how the pairs are cut up),
// on the reference path and on every fast rescan.
TEST(FwerScan, ExtremesMatchTheBruteForceInEveryMode) {
  const std::uint64_t P = 7;
  for (const Mode& m : everyScanMode({1, 4})) {
    const GenotypeData data = fwerData(m.missing ? 91 : 19, 13, 97, m.missing);
    const std::vector<double> brute = naiveFwerExtremes(parametersOf(m, 1, P), data);
    ASSERT_EQ(brute.size(), P);
    for (const std::uint16_t blocks : {1, 3}) {
      const RunParameters params = parametersOf(m, blocks, P);
      const GenotypeStore store = loadStore(data, params);
      const std::string what = describe(m, blocks);
      EXPECT_EQ(scanExtremes(params, store, ScanPath::Reference), brute) << what;
      for (FastRescan rescan : {FastRescan::KeptPairs, FastRescan::FullPasses}) {
        EXPECT_EQ(scanExtremes(params, store, ScanPath::Fast, rescan), brute) << what;
      }
    }
  }
}

// Larger data, where the bound skips most pairs: still the exact extremes.
TEST(FwerScan, BoundedPassMatchesTheReferenceOnLargerData) {
  for (const Mode& m :
       {Mode{true, false, false, false, 1}, Mode{true, false, false, true, 1}, Mode{true, false, true, false, 1},
        Mode{false, false, false, false, 1}, Mode{false, true, false, true, 1}, Mode{true, false, false, false, 3}}) {
    const GenotypeData data = fwerData(5, 60, 300, m.missing);
    const RunParameters params = parametersOf(m, 2, 5);
    const GenotypeStore store = loadStore(data, params);
    EXPECT_EQ(scanExtremes(params, store, ScanPath::Fast), scanExtremes(params, store, ScanPath::Reference))
        << describe(m, 2);
  }
}

// On data without signal the observed data set is one more permutation, so
// the best pair's genome-wide p-value is uniform on {1, ..., P + 1} / (P + 1):
// with 19 permutations it is 0.05 in one data set in 20. Over 300 null data
// sets (fixed seeds) the share must be near 5 %; a pass that missed pairs,
// or compared in the wrong direction, lands far outside.
TEST(FwerScan, BestPairIsCalibratedOnDataWithoutSignal) {
  for (const Mode& m : {Mode{true, false, false, false, 1}, Mode{false, true, true, true, 1}}) {
    const RunParameters params = parametersOf(m, 1, 19);
    int significant = 0;
    const int data_sets = 300;
    for (int seed = 1; seed <= data_sets; ++seed) {
      const GenotypeData data = randomGenotypes(static_cast<std::uint32_t>(seed), 10, 80, 0.3, m.missing ? 0.05 : 0.0);
      const std::vector<int> labels = recodedTraits(data);
      double best = fwerNeutral(params);
      for (std::size_t i = 0; i < data.snps(); ++i) {
        for (std::size_t j = i + 1; j < data.snps(); ++j) {
          const NaiveTable table = naiveTable(data, labels, i, j, 1);
          const std::uint16_t df = naiveDegreesOfFreedom(table, m.epistasis);
          if (df == 0) continue;
          // The first scan's statistic: without a KSA cut-off the fitted one.
          const double statistic = naiveStatistic(params, table, -std::numeric_limits<double>::infinity());
          fwerTake(m.minP, m.minP ? upperTailPValue(statistic, df) : statistic, best);
        }
      }
      const GenotypeStore store = loadStore(data, params);
      if (fwerPValue(params, scanExtremes(params, store, ScanPath::Fast), best) <= 0.05) ++significant;
    }
    EXPECT_GE(significant, 5) << describe(m, 1);   // 15 expected; below 5 has probability < 0.3 %
    EXPECT_LE(significant, 28) << describe(m, 1);  // above 28 has probability < 0.2 %
  }
}

// The bound the fast pass screens the fitted statistic with is never below
// the statistic (up to its tolerance), over random tables with empty
// cells, empty levels and unbalanced margins, for every number of sweeps the
// fit takes.
TEST(FwerScan, FittedBoundIsAnUpperBoundOfTheFittedStatistic) {
  RunParameters params;
  params.hypothesisOption = 1;
  params.minGroupSizeParam = 2;  // full forms: the pair's own margins
  std::mt19937 rng(2026);
  const BinaryTestStat stat(params);
  int tight = 0;
  for (int r = 0; r < 20000; ++r) {
    std::uniform_int_distribution<int> size(0, r % 3 == 0 ? 3 : 60);
    std::uniform_int_distribution<int> empty(0, 4);
    PairTable t;
    std::uint32_t N = 0, A = 0;
    for (unsigned k = 0; k < kCells; ++k) {
      const int a = empty(rng) == 0 ? 0 : size(rng);
      const int u = empty(rng) == 0 ? 0 : size(rng);
      t.affected_subjects[k] = static_cast<SubjectCount>(a);
      t.total_subjects[k] = static_cast<SubjectCount>(a + u);
      N += static_cast<std::uint32_t>(a + u);
      A += static_cast<std::uint32_t>(a);
      t.affected_subjects_marg1[k / 3] += static_cast<SubjectCount>(a);
      t.total_subjects_marg1[k / 3] += static_cast<SubjectCount>(a + u);
      t.affected_subjects_marg2[k % 3] += static_cast<SubjectCount>(a);
      t.total_subjects_marg2[k % 3] += static_cast<SubjectCount>(a + u);
    }
    if (N == 0) continue;
    t.affected_subjects_amount = A;
    t.total_subjects_amount = N;
    const FastStatistics fast(params, N, A, VectorLevel::Portable);
    const double fitted = stat.computeBinary2DEpistasisIPFTestStat(
        t.affected_subjects, t.total_subjects, t.affected_subjects_marg1, t.affected_subjects_marg2,
        t.total_subjects_marg1, t.total_subjects_marg2, A, N, 3, 3);
    const double bound = fast.fittedBound(t);
    if (std::isnan(fitted)) continue;
    ASSERT_TRUE(fast.mayExceed(bound, fitted)) << "table " << r << ": bound " << bound << " fitted " << fitted;
    if (bound - fitted < 1e-6 * (1 + fitted)) ++tight;
  }
  // The bound is reached (a table whose second SNP adds nothing once the
  // first is fitted), so it cannot be loosened by a constant.
  EXPECT_GT(tight, 0);
}

}  // namespace
}  // namespace dyadmill::testing
