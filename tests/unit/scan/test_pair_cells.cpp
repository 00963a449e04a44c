// The cells of kept pairs (--cells) against a subject-by-subject count: both
// missingness modes, both hypotheses (their tables keep different margins),
// the cell rule at several sizes, groups swapped or not, pairs in any order.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "naive_scan.h"
#include "pair_cells.h"

namespace dyadmill::testing {
namespace {

TopVector everyPairShuffled(std::size_t snps, std::uint32_t seed) {
  TopVector pairs;
  for (std::size_t i = 0; i < snps; ++i) {
    for (std::size_t j = i + 1; j < snps; ++j) {
      TestStat2DObject pair;
      pair.i = i;
      pair.j = j;
      pairs.push_back(pair);
    }
  }
  std::shuffle(pairs.begin(), pairs.end(), std::mt19937(seed));
  return pairs;
}

TEST(PairCells, MatchTheFileGroupsCountedSubjectBySubjectAfterTheCellRule) {
  int dropped = 0;
  for (const bool missing : {false, true}) {
    for (const double case_share : {0.35, 0.65}) {
      // 130 subjects: both groups cross a word boundary.
      GenotypeData data = randomGenotypes(missing ? 41 : 42, 7, 130, case_share, missing ? 0.08 : 0.0);
      for (std::vector<int>& subject : data.genotypes) {
        if (subject[2] == 2) subject[2] = 1;  // a SNP without level 2: an empty row in its tables
      }
      std::size_t cases = 0;
      for (const int t : data.traits) cases += t == 1 ? 1 : 0;
      const TopVector pairs = everyPairShuffled(data.snps(), static_cast<std::uint32_t>(cases));
      for (const bool epistasis : {false, true}) {
        for (const int min_cell : {1, 3, 6}) {
          const std::string what = std::string(missing ? "missing" : "nomissing") + " cases " + std::to_string(cases) +
                                   (epistasis ? " epistasis" : " association") + " -m " + std::to_string(min_cell);
          const RunParameters params = modeParameters({epistasis, false, missing, false, min_cell});
          const GenotypeStore store = loadStore(data, params);
          // The data must exercise the swap both ways.
          ASSERT_EQ(store.groups_swapped, 2 * cases > data.subjects()) << what;
          const std::vector<PairCells> cells = countPairCells(params, store, pairs);
          ASSERT_EQ(cells.size(), pairs.size()) << what;
          for (std::size_t x = 0; x < pairs.size(); ++x) {
            const NaiveTable expected = naiveTable(data, data.traits, pairs[x].i, pairs[x].j, min_cell);
            const NaiveTable raw = naiveTable(data, data.traits, pairs[x].i, pairs[x].j, 1);
            for (unsigned k = 0; k < kCells; ++k) {
              EXPECT_EQ(cells[x].cases[k], expected.affected[k])
                  << what << " pair " << pairs[x].i << "," << pairs[x].j << " cell " << k;
              EXPECT_EQ(cells[x].controls[k], expected.total[k] - expected.affected[k])
                  << what << " pair " << pairs[x].i << "," << pairs[x].j << " cell " << k;
              if (raw.total[k] != 0 && expected.total[k] == 0) ++dropped;
            }
          }
        }
      }
    }
  }
  EXPECT_GT(dropped, 0) << "no cell was small enough for the rule";
}

}  // namespace
}  // namespace dyadmill::testing
