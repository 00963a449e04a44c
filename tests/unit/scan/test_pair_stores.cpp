// The two layouts of the per-pair stores answer alike: entries for the kept
// pairs only, the other pairs counted again on demand, give every position
// the df and totals that entries for every pair give; and they hold no more
// entries than there are kept pairs, whatever the size of the combination.
#include <gtest/gtest.h>

#include <algorithm>

#include "blocks.h"
#include "console.h"
#include "naive_scan.h"
#include "pair_scorer.h"
#include "scan_types.h"
#include "test_support.h"

namespace dyadmill::testing {
namespace {

// Groups of 4, 3 and 6 SNPs whose file positions interleave, so that the
// cross-group combinations are staircases.
SetLayout interleavedLayout() {
  SetLayout layout{true, 4, 3, 6, {}};
  layout.file_index = {1, 5, 8, 12, 0, 6, 10, 2, 3, 4, 7, 9, 11};
  return layout;
}

void expectSameTotals(const PairTable& expected, const PairTable& got, const std::string& what) {
  EXPECT_EQ(expected.total_subjects, got.total_subjects) << what;
  EXPECT_EQ(expected.total_subjects_amount, got.total_subjects_amount) << what;
  EXPECT_EQ(expected.total_subjects_marg1, got.total_subjects_marg1) << what;
  EXPECT_EQ(expected.total_subjects_marg2, got.total_subjects_marg2) << what;
}

TEST(PairStores, KeptPairsLayoutAnswersEveryPositionAsTheEveryPairLayout) {
  GenotypeData data = randomGenotypes(17, 13, 97, 0.4, 0.0);
  for (std::vector<int>& subject : data.genotypes) subject[2] = 1;  // monomorphic: its pairs have df 0
  data.traits[0] = 1;
  data.traits[1] = 0;
  std::size_t positions_compared = 0, unscored = 0;
  for (const ScanMode& m : everyScanMode({1, 3})) {
    if (m.missing) continue;  // the data has no missing genotype
    RunParameters params = modeParameters(m);
    params.permutationParam = 4;
    for (bool sets : {false, true}) {
      GenotypeStore store = loadStore(data, params);
      if (sets) store.set_layout = interleavedLayout();
      for (std::uint64_t block_amount : {1, 3}) {
        const BlockTable blocks = listCombinations(store.snp_amount, block_amount, store.set_layout);
        const SubjectSubset cases(store.binary_diagnostic_vect, 1, true);
        const SubjectSubset controls(store.binary_diagnostic_vect, 1, false);
        for (std::uint64_t K = 0; K < blocks.blockcombo_amount; ++K) {
          const std::string what = describeMode(m) + (sets ? " sets" : "") + " -b " + std::to_string(block_amount) +
                                   " K " + std::to_string(K);
          BlockWorkingSet set;
          console().startCapture();
          loadBlockCombination(params, store, blocks, K, cases, controls, set);
          PairStores every, kept;
          every.defer(params, set.block2().snp_amount);
          kept.defer(params, set.block2().snp_amount);
          console().endCapture();
          ASSERT_TRUE(every.deferred() && kept.deferred()) << what;
          const PairScorer scorer(params, store, set);
          every.countEveryPair(params, store.total_amount, scorer);
          // Every third pair is "kept", in scan order.
          TopVector top;
          std::uint64_t n = 0;
          for (std::uint64_t i = 0; i < set.firstSnpEnd(); ++i) {
            for (std::uint64_t j = set.firstPartner(i); j < set.block2().snp_amount; ++j) {
              if (n++ % 3 != 1) continue;
              TestStat2DObject pair;
              pair.i = set.block1.first_snp + i;
              pair.j = set.block2().first_snp + j;
              top.push_back(pair);
            }
          }
          kept.countKeptPairs(params, store.total_amount, scorer, top);
          EXPECT_TRUE(every.everyPair()) << what;
          EXPECT_FALSE(kept.everyPair()) << what;
          EXPECT_EQ(kept.degreesoffreedom.size(), top.size()) << what;
          EXPECT_EQ(kept.totals_pairs.size(), top.size() * kCells) << what;

          const std::uint64_t columns = set.block2().snp_amount;
          for (std::uint64_t position = 0; position < set.block1.snp_amount * columns; ++position) {
            const std::uint64_t i = position / columns, j = position % columns;
            const bool pair = i < set.firstSnpEnd() && j >= set.firstPartner(i);
            const std::uint16_t df = every.df(position);
            ASSERT_EQ(df, kept.df(position)) << what << " position " << position;
            if (!pair) {
              EXPECT_EQ(df, 0u) << what << " position " << position << " is not a pair";
              continue;
            }
            PairTable counted, from_every, from_kept;
            scorer.count(i, j, counted);
            EXPECT_EQ(df, scorer.degreesOfFreedom(counted)) << what;
            every.load(position, from_every);
            kept.load(position, from_kept);
            expectSameTotals(counted, from_every, what + " every pair, position " + std::to_string(position));
            expectSameTotals(counted, from_kept, what + " kept pairs, position " + std::to_string(position));
            ++positions_compared;
            unscored += df == 0;
          }
        }
      }
    }
  }
  EXPECT_GT(positions_compared, 1000u);
  EXPECT_GT(unscored, 0u) << "the data gives pairs that are not scored";
}

}  // namespace
}  // namespace dyadmill::testing
